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
// Report lines: "arg=<argument>" for each argument including the program,
// "cwd=<current directory>", "marker=<PROBE_MARKER>", "removed=<yes|no>".
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

}  // namespace

int main(int argc, char** argv) {
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
    std::ofstream report(std::filesystem::u8path(reportPath), std::ios::binary);
    for (const std::string& argument : Arguments(argc, argv)) {
      report << "arg=" << argument << "\n";
    }
    report << "cwd=" << std::filesystem::current_path().u8string() << "\n";
    report << "marker=" << Environment("PROBE_MARKER") << "\n";
    report << "removed=" << (removed ? "yes" : "no") << "\n";
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
