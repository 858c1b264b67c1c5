#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "starter/child_process.h"

namespace {

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH];
  GetSystemDirectoryW(folder, MAX_PATH);
  return folder;
}

// The command of `program` below `folder`, with `argument`.
ChildCommand Command(const std::wstring& folder, const std::string& program,
                     const std::wstring& argument) {
  std::wstring below(program.begin(), program.end());
  std::replace(below.begin(), below.end(), L'/', L'\\');
  return ChildCommand{folder, program, argument,
                      L"\"" + folder + L"\\" + below + L"\" " + argument};
}

TEST(RunChildAndWaitWin32, WaitsForTheChildWhateverItsExitCode) {
  std::uint32_t error = 0;
  EXPECT_TRUE(RunChildAndWait(Command(SystemFolder(), "cmd.exe", L"/c exit 7"), error)) << error;
}

TEST(RunChildAndWaitWin32, AMissingProgramIsACreationFailureWithTheSystemCode) {
  std::uint32_t error = 0;
  EXPECT_FALSE(RunChildAndWait(Command(L"C:\\no\\such", "folder/app.exe", L"quillorbite"), error));
  EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << error;
}

TEST(RunChildAndWaitWin32, AProgramOutsideTheDestinationIsRefused) {
  std::uint32_t error = 0;
  EXPECT_FALSE(
      RunChildAndWait(Command(SystemFolder() + L"\\drivers", "../cmd.exe", L"/c exit 7"), error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
}

}  // namespace
