// bench_launch.exe: runs a program under Wine with TEMP and TMP pointing at a
// given folder (Wine takes them from its registry, not from the Unix
// environment), waits for it, and exits with its exit code.
//
// Usage: bench_launch.exe TEMP_FOLDER PROGRAM
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: bench_launch.exe TEMP_FOLDER PROGRAM\n", stderr);
    return 2;
  }
  SetEnvironmentVariableW(L"TEMP", argv[1]);
  SetEnvironmentVariableW(L"TMP", argv[1]);
  std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";

  STARTUPINFOW startupInfo = {};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION processInfo = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startupInfo, &processInfo)) {
    std::fprintf(stderr, "bench_launch: CreateProcessW failed with %lu\n", GetLastError());
    return 3;
  }
  WaitForSingleObject(processInfo.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(processInfo.hProcess, &exitCode);
  CloseHandle(processInfo.hThread);
  CloseHandle(processInfo.hProcess);
  return static_cast<int>(exitCode);
}
