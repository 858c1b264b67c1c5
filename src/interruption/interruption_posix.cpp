#include "interruption/interruption.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "interruption/interruption_posix.h"

namespace {

// Lock-free atomics are the only shared state a signal handler may touch.
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free atomics");
static_assert(std::atomic<pid_t>::is_always_lock_free, "the handler needs lock-free atomics");

constexpr int kManagedSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

// Written by the main thread only, while the handler cannot run or does not
// read it.
struct GuardState {
  bool installed = false;
  struct sigaction found[NSIG];  // by signal number
  sigset_t maskFound;
  sigset_t defaultForChild;  // the managed signals that were not ignored
};
GuardState g_guard;

std::atomic<int> g_recorded{0};  // the first signal recorded, 0 for none
std::atomic<pid_t> g_child{0};   // the child to pass signals on to, 0 for none

void OnSignal(int number) {
  const int savedErrno = errno;
  int none = 0;
  g_recorded.compare_exchange_strong(none, number);
  const pid_t child = g_child.load();
  if (child > 0) {
    kill(child, number);
  }
  errno = savedErrno;
}

void SetDisposition(int number, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Restarted calls keep the extraction's writes and the wait undisturbed.
  action.sa_flags = handler == OnSignal ? SA_RESTART : 0;
  sigaction(number, &action, nullptr);
}

sigset_t SignalSet(std::initializer_list<int> numbers) {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : numbers) {
    sigaddset(&set, number);
  }
  return set;
}

// Blocks `numbers` while it lives, so that the main thread can read the
// record and change dispositions without a handler in between.
class HeldSignals {
 public:
  explicit HeldSignals(std::initializer_list<int> numbers) {
    const sigset_t held = SignalSet(numbers);
    sigprocmask(SIG_BLOCK, &held, &before_);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t before_;
};

}  // namespace

InterruptionGuard::InterruptionGuard() {
  sigprocmask(SIG_SETMASK, nullptr, &g_guard.maskFound);
  sigemptyset(&g_guard.defaultForChild);
  g_recorded = 0;
  g_child = 0;
  g_guard.installed = true;
  for (const int number : kManagedSignals) {
    struct sigaction& found = g_guard.found[number];
    sigaction(number, nullptr, &found);
    // Whoever started the starter ignoring a signal (nohup, a background job
    // of a non-interactive shell) meant it for the application too.
    if ((found.sa_flags & SA_SIGINFO) == 0 && found.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&g_guard.defaultForChild, number);
    if (number == SIGPIPE || number == SIGXFSZ) {
      SetDisposition(number, SIG_IGN);
    } else if (number != SIGQUIT) {
      SetDisposition(number, OnSignal);
    }
  }
}

InterruptionGuard::~InterruptionGuard() {
  const HeldSignals held{SIGINT, SIGQUIT, SIGTERM, SIGHUP};
  for (const int number : kManagedSignals) {
    sigaction(number, &g_guard.found[number], nullptr);
  }
  g_guard.installed = false;
  g_child = 0;
  g_recorded = 0;
}

void ThrowIfInterrupted() {
  const int recorded = g_recorded.load();
  if (g_guard.installed && recorded != 0) {
    throw Interrupted(recorded);
  }
}

bool InterruptionRecorded() {
  // The guard clears the record when it is made and when it ends, so a
  // recorded signal means a guard exists.
  return g_recorded.load() != 0;
}

void EndExtractionPhase() {
  if (!g_guard.installed) {
    return;
  }
  const HeldSignals held{SIGINT, SIGTERM, SIGHUP};
  ThrowIfInterrupted();
  // A SIGINT still held back is dropped by SIG_IGN: it came after the
  // extraction, and is the application's to answer.
  for (const int number : {SIGINT, SIGQUIT}) {
    if (sigismember(&g_guard.defaultForChild, number)) {
      SetDisposition(number, SIG_IGN);
    }
  }
}

int SpawnChild(pid_t& child, const char* program, char* const argv[], char* const envp[]) {
  if (!g_guard.installed) {
    return posix_spawn(&child, program, nullptr, nullptr, argv, envp);
  }
  posix_spawnattr_t attributes;
  int error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    return error;
  }
  posix_spawnattr_setsigmask(&attributes, &g_guard.maskFound);
  posix_spawnattr_setsigdefault(&attributes, &g_guard.defaultForChild);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  {
    // Held from before the child exists until its id is known, so that each
    // signal is passed on exactly once: here, or later by the handler.
    const HeldSignals held{SIGTERM, SIGHUP};
    error = posix_spawn(&child, program, nullptr, &attributes, argv, envp);
    if (error == 0) {
      g_child = child;
      const int recorded = g_recorded.load();
      if (recorded != 0) {
        kill(child, recorded);
      }
    }
  }
  posix_spawnattr_destroy(&attributes);
  return error;
}

void WaitForChild(pid_t child) {
  // Not reaped yet: until then the ended child's id stays its own, so a
  // signal passed on in between reaches no other process.
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) == -1 &&
         errno == EINTR) {
  }
  g_child = 0;
  int status = 0;
  while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
  }
}

int EndAsInterrupted(const Interrupted& interruption) {
  const int number = interruption.cause();
  SetDisposition(number, SIG_DFL);
  const sigset_t unblocked = SignalSet({number});
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  raise(number);
  return 128 + number;
}
