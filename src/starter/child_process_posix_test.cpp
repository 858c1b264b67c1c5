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

// Runs `program` ('/'-separated, below `folder`) with `argument`.
bool RunProgram(const fs::path& folder, const std::string& program, const std::wstring& argument,
                std::uint32_t& error) {
  const ChildCommand command{PathToWide(folder), program, argument, L"unused on POSIX"};
  return RunChildAndWait(command, error);
}

TEST(RunChildAndWaitPosix, WaitsForTheChildWhateverItsExitCode) {
  TempFolder temp;
  const fs::path script = temp / "child.sh";
  const fs::path marker = temp / "ran";
  testing_support::WriteFileBytes(
      script, "#!/bin/sh\nsleep 0.2\necho \"$1\" > \"" + marker.string() + "\"\nexit 7\n");
  std::uint32_t error = 0;
  EXPECT_TRUE(RunProgram(temp.path(), "child.sh", L"quillorbite", error));
  // The child has ended when the call returns, so its marker is complete.
  EXPECT_EQ(testing_support::ReadFileBytes(marker), "quillorbite\n");
}

TEST(RunChildAndWaitPosix, GivesTheOwnerExecutePermissionOnTheProgram) {
  TempFolder temp;
  const fs::path script = temp / "app.exe";
  testing_support::WriteFileBytes(script, "#!/bin/sh\nexit 0\n");
  fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
  std::uint32_t error = 0;
  EXPECT_TRUE(RunProgram(temp.path(), "app.exe", L"quillorbite", error)) << error;
  EXPECT_NE(fs::status(script).permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(fs::status(script).permissions() & fs::perms::others_exec, fs::perms::none);
}

TEST(RunChildAndWaitPosix, RunsAProgramSeveralLevelsBelow) {
  TempFolder temp;
  fs::create_directories(temp / "quillorbite" / "Binaries");
  const fs::path script = temp / "quillorbite" / "Binaries" / "app.exe";
  testing_support::WriteFileBytes(script, "#!/bin/sh\nexit 3\n");
  std::uint32_t error = 0;
  EXPECT_TRUE(RunProgram(temp.path(), "quillorbite/Binaries/app.exe", L"x", error)) << error;
}

TEST(RunChildAndWaitPosix, AMissingProgramIsACreationFailureWithErrno) {
  TempFolder temp;
  std::uint32_t error = 0;
  EXPECT_FALSE(RunProgram(temp.path(), "missing.exe", L"quillorbite", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
}

TEST(RunChildAndWaitPosix, AFileThatIsNoProgramIsACreationFailure) {
  TempFolder temp;
  const fs::path notProgram = temp / "data.exe";
  testing_support::WriteFileBytes(notProgram, std::string("\x7f\x01\x02 garbage", 12));
  std::uint32_t error = 0;
  EXPECT_FALSE(RunProgram(temp.path(), "data.exe", L"quillorbite", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ENOEXEC));
}

// A program outside the destination that leaves a marker when it runs.
fs::path PlantProgram(const fs::path& path, fs::perms perms) {
  const fs::path marker = path.string() + ".ran";
  testing_support::WriteFileBytes(path, "#!/bin/sh\necho ran > \"" + marker.string() + "\"\n");
  fs::permissions(path, perms);
  return marker;
}

TEST(RunChildAndWaitPosix, ALinkAtTheProgramIsRefusedAndItsTargetLeftAsItWas) {
  TempFolder temp;
  const fs::path destination = temp / "quillorbite";
  fs::create_directory(destination);
  const fs::path victim = temp / "victim.sh";
  const fs::perms readWrite = fs::perms::owner_read | fs::perms::owner_write;
  const fs::path marker = PlantProgram(victim, readWrite);
  fs::create_symlink(victim, destination / "app.exe");
  std::uint32_t error = 0;
  EXPECT_FALSE(RunProgram(destination, "app.exe", L"x", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ELOOP));
  EXPECT_EQ(fs::status(victim).permissions(), readWrite);
  EXPECT_FALSE(fs::exists(marker));
}

TEST(RunChildAndWaitPosix, ALinkOnTheWayToTheProgramIsRefusedAndNothingRuns) {
  TempFolder temp;
  const fs::path destination = temp / "quillorbite";
  fs::create_directory(destination);
  fs::create_directory(temp / "elsewhere");
  const fs::path marker = PlantProgram(temp / "elsewhere" / "app.exe", fs::perms::owner_all);
  fs::create_directory_symlink(temp / "elsewhere", destination / "Binaries");
  std::uint32_t error = 0;
  EXPECT_FALSE(RunProgram(destination, "Binaries/app.exe", L"x", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ELOOP));
  EXPECT_FALSE(fs::exists(marker));
}

TEST(RunChildAndWaitPosix, AProgramOutsideTheDestinationIsRefused) {
  TempFolder temp;
  fs::create_directory(temp / "quillorbite");
  const fs::path marker = PlantProgram(temp / "app.exe", fs::perms::owner_all);
  std::uint32_t error = 0;
  EXPECT_FALSE(RunProgram(temp / "quillorbite", "../app.exe", L"x", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(EINVAL));
  EXPECT_FALSE(RunProgram(temp / "quillorbite", "/" + (temp / "app.exe").string(), L"x", error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(EINVAL));
  EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
