#include "starter/child_process.h"

#include <windows.h>

bool RunChildAndWait(const ChildCommand& command, wchar_t* commandLine,
                     std::uint32_t& creationError) {
  // The program is checked, and the handle released before the process is
  // created, so the child may move or remove its own tree at once.
  std::intptr_t opened = -1;
  if (!OpenChildProgram(command, ERROR_INVALID_PARAMETER, opened, creationError)) {
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(opened));

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
