#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "interruption/interruption.h"
#include "interruption/interruption_posix.h"
#include "testing/temp_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

// Sets a signal's disposition for one test and puts back the one before.
class ScopedDisposition {
 public:
  ScopedDisposition(int number, void (*handler)(int)) : number_(number) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, &before_);
  }
  ~ScopedDisposition() { sigaction(number_, &before_, nullptr); }
  ScopedDisposition(const ScopedDisposition&) = delete;
  ScopedDisposition& operator=(const ScopedDisposition&) = delete;

 private:
  int number_;
  struct sigaction before_;
};

void (*HandlerOf(int number))(int) {
  struct sigaction action;
  sigaction(number, nullptr, &action);
  return action.sa_handler;
}

void RecognisableHandler(int) {}

// The cause the poll throws, 0 when it throws nothing.
int PolledCause() {
  try {
    ThrowIfInterrupted();
  } catch (const Interrupted& interruption) {
    return interruption.cause();
  }
  return 0;
}

// Runs `script` with /bin/sh under the guard's process creation, the words
// after it as $0, $1, ..., and waits for its end.
void RunScript(const std::string& script, const std::vector<std::string>& words) {
  std::vector<std::string> arguments = {"/bin/sh", "-c", script};
  arguments.insert(arguments.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  ASSERT_EQ(SpawnChild(child, "/bin/sh", argv.data(), environ), 0);
  WaitForChild(child);
}

// The blocked and the ignored signals among 1 to 31 in a /proc/<pid>/status
// text, as "blocked <hex> ignored <hex>". (glibc's own signals above 31 are
// set apart: its posix_spawn leaves them ignored in every child.)
std::string StandardSignalMasks(const std::string& status) {
  std::string masks;
  for (const std::string field : {"SigBlk:\t", "SigIgn:\t"}) {
    const std::size_t at = status.find(field);
    if (at == std::string::npos) {
      return "";
    }
    const unsigned long long bits = std::stoull(status.substr(at + field.size(), 16), nullptr, 16);
    char text[32];
    std::snprintf(text, sizeof text, "%llx", bits & 0x7fffffffULL);
    masks += (masks.empty() ? "blocked " : " ignored ") + std::string(text);
  }
  return masks;
}

void WaitForFile(const fs::path& path) {
  for (int i = 0; i < 6000 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(InterruptionGuardPosix, RecordsSigintSigtermAndSighupForThePoll) {
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    const ScopedDisposition defaultFirst(number, SIG_DFL);
    const InterruptionGuard guard;
    EXPECT_EQ(PolledCause(), 0);
    raise(number);
    EXPECT_EQ(PolledCause(), number);
  }
}

TEST(InterruptionGuardPosix, TheFirstSignalRecordedIsTheOneThrown) {
  const InterruptionGuard guard;
  raise(SIGHUP);
  raise(SIGINT);
  EXPECT_EQ(PolledCause(), SIGHUP);
}

TEST(InterruptionGuardPosix, IgnoresSigpipeAndSigxfszAndRestoresWhatItFound) {
  const ScopedDisposition pipe(SIGPIPE, SIG_DFL);
  const ScopedDisposition fileSize(SIGXFSZ, SIG_DFL);
  const ScopedDisposition term(SIGTERM, RecognisableHandler);
  {
    const InterruptionGuard guard;
    raise(SIGPIPE);
    raise(SIGXFSZ);
    EXPECT_EQ(PolledCause(), 0);
  }
  EXPECT_EQ(HandlerOf(SIGPIPE), SIG_DFL);
  EXPECT_EQ(HandlerOf(SIGXFSZ), SIG_DFL);
  EXPECT_EQ(HandlerOf(SIGTERM), RecognisableHandler);
}

TEST(InterruptionGuardPosix, ASignalIgnoredWhenTheGuardWasMadeStaysIgnored) {
  const ScopedDisposition ignored(SIGHUP, SIG_IGN);
  const InterruptionGuard guard;
  raise(SIGHUP);
  EXPECT_EQ(PolledCause(), 0);
  EXPECT_EQ(HandlerOf(SIGHUP), SIG_IGN);
}

TEST(InterruptionGuardPosix, ANewGuardForgetsWhatTheLastOneRecorded) {
  {
    const InterruptionGuard guard;
    raise(SIGTERM);
  }
  const InterruptionGuard guard;
  EXPECT_EQ(PolledCause(), 0);
}

TEST(InterruptionGuardPosix, EndingTheExtractionPhaseThrowsWhatWasRecordedBefore) {
  const InterruptionGuard guard;
  raise(SIGINT);
  try {
    EndExtractionPhase();
    ADD_FAILURE() << "no Interrupted";
  } catch (const Interrupted& interruption) {
    EXPECT_EQ(interruption.cause(), SIGINT);
  }
}

TEST(InterruptionGuardPosix, InTheChildPhaseSigintAndSigquitAreIgnored) {
  const ScopedDisposition quit(SIGQUIT, SIG_DFL);
  const InterruptionGuard guard;
  EndExtractionPhase();
  raise(SIGINT);
  raise(SIGQUIT);
  EXPECT_EQ(PolledCause(), 0);
}

TEST(InterruptionGuardPosix, TheChildStartsWithTheDispositionsAndMaskFoundByTheGuard) {
  TempFolder temp;
  const fs::path status = temp / "status";
  // One signal ignored on purpose, to see that it reaches the child ignored,
  // and the ones the guard ignores at their default.
  const ScopedDisposition hangUp(SIGHUP, SIG_IGN);
  const ScopedDisposition pipe(SIGPIPE, SIG_DFL);
  const ScopedDisposition fileSize(SIGXFSZ, SIG_DFL);
  const std::string expected = StandardSignalMasks(
      testing_support::ReadFileBytes("/proc/" + std::to_string(getpid()) + "/status"));
  ASSERT_NE(expected, "") << "no /proc status to compare with";

  const InterruptionGuard guard;
  EndExtractionPhase();
  RunScript("exec cat /proc/self/status > \"$0\"", {status.string()});
  EXPECT_EQ(StandardSignalMasks(testing_support::ReadFileBytes(status)), expected);
}

TEST(InterruptionGuardPosix, PassesSigtermOnToTheRunningChildAndRecordsIt) {
  TempFolder temp;
  const fs::path ready = temp / "ready";
  const fs::path received = temp / "received";
  const InterruptionGuard guard;
  EndExtractionPhase();

  std::thread signaller([&] {
    WaitForFile(ready);
    kill(getpid(), SIGTERM);
  });
  // The script gives up after a minute, so that a signal not passed on fails
  // the test instead of hanging it.
  RunScript(
      "trap 'echo passed-on > \"$1\"; exit 0' TERM; : > \"$0\"; "
      "i=0; while [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done",
      {ready.string(), received.string()});
  signaller.join();
  EXPECT_EQ(testing_support::ReadFileBytes(received), "passed-on\n");
  EXPECT_EQ(PolledCause(), SIGTERM);
}

TEST(InterruptionGuardPosix, ASignalBetweenThePhasesIsPassedOnOnceTheChildExists) {
  TempFolder temp;
  const fs::path finished = temp / "finished";
  const InterruptionGuard guard;
  EndExtractionPhase();
  raise(SIGTERM);  // no child yet
  // Ended by the SIGTERM passed on, the script never gets to its last command.
  RunScript("sleep 2; : > \"$0\"", {finished.string()});
  EXPECT_FALSE(fs::exists(finished));
  EXPECT_EQ(PolledCause(), SIGTERM);
}

}  // namespace
