#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "starter/child_process.h"

namespace {

std::wstring SystemProgram(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder) + L"\\" + name;
}

TEST(RunChildAndWaitWin32, WaitsForTheChildWhateverItsExitCode) {
  const std::wstring line = L"\"" + SystemProgram(L"cmd.exe") + L"\" /c exit 7";
  auto writable = MakeWritableCommandLine(line);
  std::uint32_t error = 0;
  EXPECT_TRUE(RunChildAndWait(writable.get(), error));
}

TEST(RunChildAndWaitWin32, AMissingProgramIsACreationFailureWithTheSystemCode) {
  auto writable = MakeWritableCommandLine(L"\"C:\\no\\such\\folder\\app.exe\" quillorbite");
  std::uint32_t error = 0;
  EXPECT_FALSE(RunChildAndWait(writable.get(), error));
  EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << error;
}

}  // namespace
