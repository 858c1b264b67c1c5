#include "starter/child_process.h"

#include <windows.h>

bool RunChildAndWait(const ChildCommand& command, std::uint32_t& creationError) {
  // The program is checked, and the handle released before the process is
  // created, so the child may move or remove its own tree at once.
  std::intptr_t opened = -1;
  if (!OpenChildProgram(command, ERROR_INVALID_PARAMETER, opened, creationError)) {
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(opened));

  STARTUPINFOW startupInfo{};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION processInfo{};

  const std::unique_ptr<wchar_t[]> commandLine = MakeWritableCommandLine(command.line);
  if (!CreateProcessW(nullptr, commandLine.get(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startupInfo, &processInfo)) {
    creationError = GetLastError();
    return false;
  }
  // The application's own exit code does not change the starter's; unread.
  WaitForSingleObject(processInfo.hProcess, INFINITE);
  CloseHandle(processInfo.hThread);
  CloseHandle(processInfo.hProcess);
  return true;
}
