#include "starter/child_process.h"

#include <windows.h>

#include <string>
#include <system_error>
#include <vector>

#include "destination/folder_walker.h"

namespace {

// The program is reached the way it was written: from the destination,
// through no reparse point. The handles are released before the process is
// created, so the child may move or remove its own tree at once.
bool CheckProgramPath(const std::wstring& destination, const std::string& relative,
                      std::uint32_t& creationError) {
  FolderWalker walker;
  std::error_code error;
  std::intptr_t opened = -1;
  if (!walker.Open(destination, error) || !walker.OpenExisting(relative, opened, error)) {
    creationError = static_cast<std::uint32_t>(error.value());
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(opened));
  return true;
}

}  // namespace

bool RunChildAndWait(const std::wstring& destination, wchar_t* commandLine,
                     std::uint32_t& creationError) {
  const std::vector<std::wstring> words = SplitCommandLine(commandLine);
  std::string relative;
  if (words.empty() || !ProgramBelowDestination(destination, words.front(), relative)) {
    creationError = words.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!CheckProgramPath(destination, relative, creationError)) {
    return false;
  }

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
