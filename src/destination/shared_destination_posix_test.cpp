#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "destination/destination.h"
#include "testing/temp_folder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

constexpr ArchiveIdentity kArchive{4096, 0x12345678};

void NeverInterrupted() {}

struct RunFixture {
  TempFolder temp;
  fs::path destinationPath = temp / "app";
  std::wstring destination = PathToWide(destinationPath);
  fs::path lock = LockFilePath(destinationPath);
};

std::string RefusalOf(const RunFixture& f) {
  try {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(SharedDestinationPosix, ARunThatDiesLeavesNoLockAndItsTreeIsKnownAsARuns) {
  RunFixture f;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A run killed while its application runs: no destructor, no leaving.
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    run.PrepareForUnpacking();
    testing_support::WriteFileBytes(f.destinationPath / "file.txt", "from the dead run");
    run.UnpackingEnded();
    run.BeginUse();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(fs::exists(f.destinationPath / "file.txt"));

  // Its locks died with it: the next run is not kept waiting and finds the
  // tree unused.
  SharedDestination next(f.destination, kArchive, NeverInterrupted);
  EXPECT_EQ(next.plan(), TreePlan::kReplaceStaleTree);
  next.PrepareForUnpacking();
  EXPECT_FALSE(fs::exists(f.destinationPath / "file.txt"));
  next.UnpackingEnded();
  next.BeginUse();
  next.Leave();
  EXPECT_TRUE(fs::is_empty(f.temp.path()));
}

TEST(SharedDestinationPosix, ALockFileThatIsALinkIsRefusedAndNotFollowed) {
  RunFixture f;
  const fs::path elsewhere = f.temp / "elsewhere";
  fs::create_symlink(elsewhere, f.lock);
  const std::string refusal = RefusalOf(f);
  EXPECT_NE(refusal.find("its lock file " + f.lock.string() + " is a symbolic link"),
            std::string::npos)
      << refusal;
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_FALSE(fs::exists(f.destinationPath));
}

TEST(SharedDestinationPosix, ALockFileOthersMayWriteIsRefused) {
  RunFixture f;
  testing_support::WriteFileBytes(f.lock, "");
  fs::permissions(f.lock, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write);
  const std::string refusal = RefusalOf(f);
  EXPECT_NE(refusal.find("may be written to by other users"), std::string::npos) << refusal;
  EXPECT_FALSE(fs::exists(f.destinationPath));
}

TEST(SharedDestinationPosix, ALockFileOfAnotherUserIsRefused) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a file to uid 65534";
  }
  RunFixture f;
  testing_support::WriteFileBytes(f.lock, "");
  ASSERT_EQ(chown(f.lock.c_str(), 65534, 65534), 0);
  const std::string refusal = RefusalOf(f);
  EXPECT_NE(refusal.find("belongs to another user (uid 65534)"), std::string::npos) << refusal;
}

TEST(SharedDestinationPosix, ANewLockFileIsPrivateToItsUser) {
  RunFixture f;
  SharedDestination run(f.destination, kArchive, NeverInterrupted);
  struct stat info;
  ASSERT_EQ(lstat(f.lock.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(SharedDestinationPosix, AParentOthersMayWriteToIsRefusedBeforeTheLockFileIsMade) {
  RunFixture f;
  fs::permissions(f.temp.path(), fs::perms::group_write, fs::perm_options::add);
  const std::string refusal = RefusalOf(f);
  EXPECT_NE(refusal.find("its parent " + f.temp.path().string() +
                         " may be written to by other users and is not sticky"),
            std::string::npos)
      << refusal;
  EXPECT_FALSE(fs::exists(f.lock));
}

}  // namespace
