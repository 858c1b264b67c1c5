#include "starter/child_process.h"

#include <algorithm>
#include <cwchar>
#include <system_error>

#include "destination/folder_walker.h"
#include "starter/app_identity.h"
#include "text/entry_name.h"
#include "text/text_convert.h"

ChildCommand BuildChildCommand(const std::wstring& destination) {
  ChildCommand command{destination, {}, kAppName, {}};
  command.line = L"\"" + destination + kExeRelativePath + L"\" " + kAppName;
  // kExeRelativePath begins with the separator that joins it to the folder.
  std::wstring program = kExeRelativePath.substr(1);
  std::replace(program.begin(), program.end(), L'\\', L'/');
  command.program = WideToUtf8(program.c_str());
  return command;
}

std::unique_ptr<wchar_t[]> MakeWritableCommandLine(const std::wstring& commandLine) {
  const std::size_t room = commandLine.size() + 20;
  std::unique_ptr<wchar_t[]> copy(new wchar_t[room]());
  commandLine.copy(copy.get(), commandLine.size());
  return copy;
}

bool OpenChildProgram(const ChildCommand& command, std::uint32_t invalidProgram,
                      std::intptr_t& program, std::uint32_t& creationError) {
  if (!IsSafeEntryName(command.program, kPlatformEntryNameRules)) {
    creationError = invalidProgram;
    return false;
  }
  FolderWalker walker;
  std::error_code error;
  if (!walker.Open(WideToPath(command.destination), error) ||
      !walker.OpenExisting(command.program, program, error)) {
    creationError = static_cast<std::uint32_t>(error.value());
    return false;
  }
  return true;
}

std::wstring FormatLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError) {
  wchar_t code[16];
  std::swprintf(code, sizeof code / sizeof code[0], L"%x", static_cast<unsigned>(creationError));
  return L"Couldn't start:\n" + commandLine + L"\nCreateProcess() returned " + code + L".";
}
