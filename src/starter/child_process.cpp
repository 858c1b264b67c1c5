#include "starter/child_process.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "destination/folder_walker.h"
#include "starter/identity_block.h"
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
  auto copy = std::make_unique<wchar_t[]>(commandLine.size() + 20);  // zeroed
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

std::string FormatLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError) {
  char code[16];
  std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(creationError));
  return "Couldn't start:\n" + WideToUtf8(commandLine.c_str()) + "\nCreateProcess() returned " +
         code + ".";
}
