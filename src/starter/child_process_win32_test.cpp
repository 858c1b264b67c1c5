#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "starter/child_process.h"

namespace {

std::wstring SystemFolder() {
  wchar_t folder[MAX_PATH];
  GetSystemDirectoryW(folder, MAX_PATH);
  return folder;
}

TEST(RunChildAndWaitWin32, WaitsForTheChildWhateverItsExitCode) {
  const std::wstring line = L"\"" + SystemFolder() + L"\\cmd.exe\" /c exit 7";
  auto writable = MakeWritableCommandLine(line);
  std::uint32_t error = 0;
  EXPECT_TRUE(RunChildAndWait(SystemFolder(), writable.get(), error)) << error;
}

TEST(RunChildAndWaitWin32, AMissingProgramIsACreationFailureWithTheSystemCode) {
  auto writable = MakeWritableCommandLine(L"\"C:\\no\\such\\folder\\app.exe\" quillorbite");
  std::uint32_t error = 0;
  EXPECT_FALSE(RunChildAndWait(L"C:\\no\\such", writable.get(), error));
  EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << error;
}

TEST(RunChildAndWaitWin32, AProgramOutsideTheDestinationIsRefused) {
  const std::wstring line = L"\"" + SystemFolder() + L"\\cmd.exe\" /c exit 7";
  auto writable = MakeWritableCommandLine(line);
  std::uint32_t error = 0;
  EXPECT_FALSE(RunChildAndWait(SystemFolder() + L"\\drivers", writable.get(), error));
  EXPECT_NE(error, 0u);
}

}  // namespace
