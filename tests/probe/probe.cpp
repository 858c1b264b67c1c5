// A stand-in application for end-to-end tests. Packed at the application's
// executable path inside test archives, it records how it was started and
// does what the test asks through its environment:
//   PROBE_REPORT              file to write the report to (UTF-8 lines)
//   PROBE_MARKER              copied into the report, to show the environment arrived
//   PROBE_REMOVE_FOLDER       a folder to remove (with everything in it) before exiting
//   PROBE_MOVE_SELF_TO        where to move the probe's own file first: Windows
//                             cannot delete a running image, but it can move one
//   PROBE_WAIT_FOR            a file to wait for (at most a minute) after writing
//                             the report, so a test can hold the probe running
//   PROBE_EXIT_CODE           the exit code to end with (default 0)
//   PROBE_SIGNAL_LOG          a file to append a line to for each interruption
//                             the probe gets: on POSIX "signal=<number>" for
//                             SIGINT, SIGTERM and SIGHUP, after which the probe
//                             ends by that signal as it would have without the
//                             log; on Windows "event=<number>" for Ctrl-C and
//                             Ctrl-Break, after which it goes on (until
//                             PROBE_WAIT_FOR appears), so a test can hold it
//                             running after the console has delivered the event
// Report lines: "arg=<argument>" for each argument including the program,
// "cwd=<current directory>", "marker=<PROBE_MARKER>", "removed=<yes|no>",
// "pid=<process id>"; on POSIX also "ignored=<numbers>" and "blocked=<numbers>",
// the signals from 1 to 31 ignored and blocked when the probe started, in
// ascending order, separated by commas.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#endif

namespace {

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#ifdef _WIN32
  // The ANSI argv would lose characters; take the wide command line.
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; i < count; ++i) {
    arguments.push_back(std::filesystem::path(wide[i]).u8string());
  }
  LocalFree(wide);
#else
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(argv[i]);
  }
#endif
  return arguments;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The handlers may only use what is safe in them: the log's name is kept
// ready, and the line is made by hand.
std::string g_signalLog;

void AppendToSignalLog(const char* word, int number) {
  char line[32];
  std::size_t length = 0;
  for (const char* c = word; *c != '\0'; ++c) {
    line[length++] = *c;
  }
  line[length++] = '=';
  char digits[12];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0);
  while (count > 0) {
    line[length++] = digits[--count];
  }
  line[length++] = '\n';
#ifdef _WIN32
  HANDLE log =
      CreateFileA(g_signalLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(log);
  }
#else
  const int log = open(g_signalLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log >= 0) {
    (void)!write(log, line, length);
    close(log);
  }
#endif
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    return FALSE;
  }
  AppendToSignalLog("event", static_cast<int>(event));
  return TRUE;
}

void LogInterruptions() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

std::string SignalReport() {
  return "";
}
#else
void OnSignal(int number) {
  AppendToSignalLog("signal", number);
  signal(number, SIG_DFL);
  raise(number);  // delivered when the handler returns
}

void LogInterruptions() {
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    signal(number, OnSignal);
  }
}

// The signals the probe started with ignored and blocked: what its parent
// left it.
std::string SignalReport() {
  sigset_t blocked;
  sigprocmask(SIG_SETMASK, nullptr, &blocked);
  std::string ignoredText;
  std::string blockedText;
  for (int number = 1; number < 32; ++number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    if (sigaction(number, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
        action.sa_handler == SIG_IGN) {
      ignoredText += (ignoredText.empty() ? "" : ",") + std::to_string(number);
    }
    if (sigismember(&blocked, number) == 1) {
      blockedText += (blockedText.empty() ? "" : ",") + std::to_string(number);
    }
  }
  return "ignored=" + ignoredText + "\nblocked=" + blockedText + "\n";
}
#endif

int ProcessId() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const std::string startingSignals = SignalReport();
  g_signalLog = Environment("PROBE_SIGNAL_LOG");
  if (!g_signalLog.empty()) {
    LogInterruptions();
  }
  std::cout << "probe: started" << std::endl;
  const std::string reportPath = Environment("PROBE_REPORT");
  const std::string removeFolder = Environment("PROBE_REMOVE_FOLDER");
  bool removed = false;
  if (!removeFolder.empty()) {
    std::error_code error;
    const std::string moveSelfTo = Environment("PROBE_MOVE_SELF_TO");
    if (!moveSelfTo.empty()) {
      std::filesystem::rename(std::filesystem::u8path(Arguments(argc, argv).front()),
                              std::filesystem::u8path(moveSelfTo), error);
    }
    std::filesystem::remove_all(std::filesystem::u8path(removeFolder), error);
    removed = !error && !std::filesystem::exists(std::filesystem::u8path(removeFolder));
  }
  if (!reportPath.empty()) {
    // Written whole under another name first, so that a test waiting for the
    // report never reads half of it.
    const std::filesystem::path finalPath = std::filesystem::u8path(reportPath);
    const std::filesystem::path partPath = std::filesystem::u8path(reportPath + ".part");
    {
      std::ofstream report(partPath, std::ios::binary);
      for (const std::string& argument : Arguments(argc, argv)) {
        report << "arg=" << argument << "\n";
      }
      report << "cwd=" << std::filesystem::current_path().u8string() << "\n";
      report << "marker=" << Environment("PROBE_MARKER") << "\n";
      report << "removed=" << (removed ? "yes" : "no") << "\n";
      report << "pid=" << ProcessId() << "\n";
      report << startingSignals;
    }
    std::error_code error;
    std::filesystem::rename(partPath, finalPath, error);
  }
  const std::string waitFor = Environment("PROBE_WAIT_FOR");
  for (int waited = 0; !waitFor.empty() && waited < 600; ++waited) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::u8path(waitFor), error)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::atoi(Environment("PROBE_EXIT_CODE").c_str());
}
