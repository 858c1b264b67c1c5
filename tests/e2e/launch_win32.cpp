// Runs a command line under Wine with environment variables set inside the
// Windows process (Wine takes TEMP and TMP from its registry, not from the
// Unix environment) and records the child's full 32-bit exit code, which
// Wine's own exit status cuts to 8 bits.
//
// Usage: e2e_launch.exe EXIT_CODE_FILE [NAME=VALUE ...] -- PROGRAM [ARGUMENT ...]
// The program is quoted; arguments holding a blank are quoted too. When the
// environment names a file in E2E_HOLD_OPEN, it is held open without sharing
// while the command runs, the way another program may hold a file. When it
// names a path in E2E_CTRL_C_WHEN, a Ctrl-C goes to every process on the
// console once that path exists (within a minute), the way a user's key press
// would; the launcher itself lives on through every such event.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

BOOL WINAPI OutliveConsoleControl(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

DWORD WINAPI CtrlCWhenPathExists(void* path) {
  const wchar_t* awaited = static_cast<const wchar_t*>(path);
  for (int waited = 0; waited < 60000; ++waited) {
    if (GetFileAttributesW(awaited) != INVALID_FILE_ATTRIBUTES) {
      if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        std::fprintf(stderr, "e2e_launch: GenerateConsoleCtrlEvent failed with %lu\n",
                     GetLastError());
      }
      return 0;
    }
    Sleep(1);
  }
  return 0;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  int split = 2;
  while (split < count && std::wstring(words[split]) != L"--") {
    ++split;
  }
  if (count < 2 || split + 1 >= count) {
    std::fputs("usage: e2e_launch.exe EXIT_CODE_FILE [NAME=VALUE ...] -- PROGRAM [ARGUMENT ...]\n",
               stderr);
    return 2;
  }
  const std::wstring exitCodeFile = words[1];
  for (int i = 2; i < split; ++i) {
    const std::wstring setting = words[i];
    const std::size_t equals = setting.find(L'=');
    if (equals == std::wstring::npos) {
      return 2;
    }
    SetEnvironmentVariableW(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str());
  }
  std::wstring commandLine = L"\"" + std::wstring(words[split + 1]) + L"\"";
  for (int i = split + 2; i < count; ++i) {
    const std::wstring word = words[i];
    commandLine += word.find(L' ') == std::wstring::npos ? L" " + word : L" \"" + word + L"\"";
  }
  LocalFree(words);

  HANDLE held = INVALID_HANDLE_VALUE;
  wchar_t holdPath[1024];
  if (GetEnvironmentVariableW(L"E2E_HOLD_OPEN", holdPath, 1024) > 0) {
    held = CreateFileW(holdPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "e2e_launch: cannot hold the file open (%lu)\n", GetLastError());
      return 3;
    }
  }
  // A handler of its own, not the ignore flag, which the child would inherit.
  SetConsoleCtrlHandler(OutliveConsoleControl, TRUE);
  static wchar_t ctrlCWhen[1024];
  if (GetEnvironmentVariableW(L"E2E_CTRL_C_WHEN", ctrlCWhen, 1024) > 0) {
    CloseHandle(CreateThread(nullptr, 0, CtrlCWhenPathExists, ctrlCWhen, 0, nullptr));
  }
  STARTUPINFOW startupInfo = {};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION processInfo = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startupInfo, &processInfo)) {
    std::fprintf(stderr, "e2e_launch: CreateProcessW failed with %lu\n", GetLastError());
    return 3;
  }
  WaitForSingleObject(processInfo.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(processInfo.hProcess, &exitCode);
  CloseHandle(processInfo.hThread);
  CloseHandle(processInfo.hProcess);
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
  }
  if (FILE* out = _wfopen(exitCodeFile.c_str(), L"w")) {
    std::fprintf(out, "%lu\n", exitCode);
    std::fclose(out);
  }
  return static_cast<int>(exitCode);
}
