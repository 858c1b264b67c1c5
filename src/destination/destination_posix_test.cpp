#include <gtest/gtest.h>
#include <sys/stat.h>
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

std::string RefusalOf(const fs::path& path) {
  try {
    CheckDestinationFolder(path);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(CheckDestinationFolderPosix, AcceptsAPrivateFolderOfThisUser) {
  TempFolder temp;
  fs::create_directory(temp / "quillorbite");
  fs::permissions(temp / "quillorbite", fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read);
  EXPECT_EQ(RefusalOf(temp / "quillorbite"), "");
}

TEST(CheckDestinationFolderPosix, RefusesWhatOthersCouldChange) {
  TempFolder temp;
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", temp / "link");
  EXPECT_EQ(RefusalOf(temp / "link"),
            "Refusing to unpack into " + (temp / "link").string() + ": it is a symbolic link");

  testing_support::WriteFileBytes(temp / "file", "x");
  EXPECT_EQ(RefusalOf(temp / "file"),
            "Refusing to unpack into " + (temp / "file").string() + ": it is not a folder");

  fs::create_directory(temp / "shared");
  fs::permissions(temp / "shared", fs::perms::all);
  EXPECT_NE(RefusalOf(temp / "shared").find("other users may write to it"), std::string::npos);
  fs::permissions(temp / "shared", fs::perms::owner_all | fs::perms::group_write);
  EXPECT_NE(RefusalOf(temp / "shared").find("other users may write to it"), std::string::npos);

  if (geteuid() == 0) {
    fs::create_directory(temp / "foreign");
    ASSERT_EQ(chown((temp / "foreign").c_str(), 65534, 65534), 0);
    EXPECT_NE(RefusalOf(temp / "foreign").find("it belongs to another user (uid 65534)"),
              std::string::npos);
  }
}

TEST(CreateDestinationFolderPosix, CreatesTheFolderPrivateAndItsParentsNormally) {
  TempFolder temp;
  const fs::path destination = temp / "parent/quillorbite";
  CreateDestinationFolder(destination);
  struct stat info;
  ASSERT_EQ(stat(destination.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_TRUE(fs::is_directory(temp / "parent"));
}

TEST(CreateDestinationFolderPosix, AFolderMadeMeanwhileMustPassTheCheck) {
  TempFolder temp;
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", temp / "quillorbite");
  EXPECT_THROW(CreateDestinationFolder(temp / "quillorbite"), std::runtime_error);
  fs::create_directory(temp / "mine");
  fs::permissions(temp / "mine", fs::perms::owner_all);
  EXPECT_NO_THROW(CreateDestinationFolder(temp / "mine"));
}

TEST(CreateDestinationFolderPosix, AFailureNamesCreateDirectories) {
  TempFolder temp;
  testing_support::WriteFileBytes(temp / "file", "x");
  try {
    CreateDestinationFolder(temp / "file" / "quillorbite");
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("create_directories"), std::string::npos);
  }
}

}  // namespace
