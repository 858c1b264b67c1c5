#include "starter/child_process.h"

#include <windows.h>

bool RunChildAndWait(wchar_t* commandLine, std::uint32_t& creationError) {
  STARTUPINFOW startupInfo;
  ZeroMemory(&startupInfo, sizeof startupInfo);
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION processInfo;
  ZeroMemory(&processInfo, sizeof processInfo);

  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startupInfo, &processInfo)) {
    creationError = GetLastError();
    return false;
  }
  WaitForSingleObject(processInfo.hProcess, INFINITE);
  // The application's own exit code does not change the starter's status; it
  // is read for a debugger's benefit and goes nowhere.
  DWORD childExitCode = 9006;
  GetExitCodeProcess(processInfo.hProcess, &childExitCode);
  (void)childExitCode;
  CloseHandle(processInfo.hThread);
  CloseHandle(processInfo.hProcess);
  return true;
}
