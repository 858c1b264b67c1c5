#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "starter/child_process.h"
#include "testing/temp_folder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

bool RunLine(const std::wstring& line, std::uint32_t& error) {
  auto writable = MakeWritableCommandLine(line);
  return RunChildAndWait(writable.get(), error);
}

TEST(RunChildAndWaitPosix, WaitsForTheChildWhateverItsExitCode) {
  TempFolder temp;
  const fs::path script = temp / "child.sh";
  const fs::path marker = temp / "ran";
  testing_support::WriteFileBytes(
      script, "#!/bin/sh\nsleep 0.2\necho \"$1\" > \"" + marker.string() + "\"\nexit 7\n");
  std::uint32_t error = 0;
  EXPECT_TRUE(RunLine(L"\"" + PathToWide(script) + L"\" quillorbite", error));
  // The child has ended when the call returns, so its marker is complete.
  EXPECT_EQ(testing_support::ReadFileBytes(marker), "quillorbite\n");
}

TEST(RunChildAndWaitPosix, GivesTheOwnerExecutePermissionOnTheProgram) {
  TempFolder temp;
  const fs::path script = temp / "app.exe";
  testing_support::WriteFileBytes(script, "#!/bin/sh\nexit 0\n");
  fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
  std::uint32_t error = 0;
  EXPECT_TRUE(RunLine(L"\"" + PathToWide(script) + L"\" quillorbite", error)) << error;
  EXPECT_NE(fs::status(script).permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(fs::status(script).permissions() & fs::perms::others_exec, fs::perms::none);
}

TEST(RunChildAndWaitPosix, TurnsBackslashesOfTheProgramIntoSlashes) {
  TempFolder temp;
  fs::create_directories(temp / "quillorbite" / "Binaries");
  const fs::path script = temp / "quillorbite" / "Binaries" / "app.exe";
  testing_support::WriteFileBytes(script, "#!/bin/sh\nexit 3\n");
  std::uint32_t error = 0;
  EXPECT_TRUE(
      RunLine(L"\"" + PathToWide(temp.path()) + L"\\quillorbite\\Binaries\\app.exe\" x", error))
      << error;
}

TEST(RunChildAndWaitPosix, AMissingProgramIsACreationFailureWithErrno) {
  TempFolder temp;
  std::uint32_t error = 0;
  EXPECT_FALSE(RunLine(L"\"" + PathToWide(temp / "missing.exe") + L"\" quillorbite", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
}

TEST(RunChildAndWaitPosix, AFileThatIsNoProgramIsACreationFailure) {
  TempFolder temp;
  const fs::path notProgram = temp / "data.exe";
  testing_support::WriteFileBytes(notProgram, std::string("\x7f\x01\x02 garbage", 12));
  std::uint32_t error = 0;
  EXPECT_FALSE(RunLine(L"\"" + PathToWide(notProgram) + L"\" quillorbite", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOEXEC));
}

}  // namespace
