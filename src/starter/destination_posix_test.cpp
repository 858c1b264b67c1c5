#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "extract/text_convert.h"
#include "starter/destination.h"
#include "testing/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

TEST(PathExistsPosix, ADanglingLinkCountsAsPresent) {
  TempFolder temp;
  fs::create_symlink(temp / "nowhere", temp / "dangling");
  EXPECT_TRUE(PathExists(PathToWide(temp / "dangling")));
}

TEST(PathExistsPosix, AProbeFailureOtherThanAbsenceCountsAsPresent) {
  TempFolder temp;
  // A name longer than any file system allows: ENAMETOOLONG, not ENOENT.
  EXPECT_TRUE(PathExists(PathToWide(temp / std::string(300, 'n'))));
  // A loop of links: ELOOP.
  fs::create_symlink(temp / "loop", temp / "loop");
  EXPECT_TRUE(PathExists(PathToWide(temp / "loop" / "child")));
}

TEST(RemoveDestinationTreePosix, RemovesLinksWithoutFollowingThem) {
  TempFolder temp;
  const fs::path outside = temp / "outside";
  fs::create_directory(outside);
  testing_support::WriteFileBytes(outside / "keep.txt", "keep");
  const fs::path root = temp / "quillorbite";
  fs::create_directory(root);
  fs::create_directory_symlink(outside, root / "link-to-folder");
  fs::create_symlink(outside / "keep.txt", root / "link-to-file");
  RemoveDestinationTree(PathToWide(root));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
  EXPECT_EQ(testing_support::ReadFileBytes(outside / "keep.txt"), "keep");
}

TEST(RemoveDestinationTreePosix, AFailedRemovalThrowsNamingRemoveAll) {
  // sysfs refuses to remove anything, even for root.
  const fs::path undeletable = "/sys/kernel";
  if (!fs::exists(undeletable)) {
    GTEST_SKIP() << "no sysfs";
  }
  try {
    RemoveDestinationTree(PathToWide(undeletable / "mm"));
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("remove_all"), std::string::npos) << error.what();
  }
}

}  // namespace
