// What only POSIX systems give the walker: symbolic links made without
// privileges, FIFOs, names holding '\\' or bytes that are not UTF-8, and
// permission bits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pack/pack_test_support.h"
#include "pack/tree_walk.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::Names;
using pack_test::PutFile;
using pack_test::Walk;
using pack_test::WalkResult;
using testing_support::TempFolder;

TEST(PackTreeWalk, RefusesSymbolicLinksUnlessFollowing) {
  TempFolder app("pack-walk-");
  PutFile(app, "real/file.txt", "content");
  std::filesystem::create_symlink("real/file.txt", app / "link.txt");
  std::filesystem::create_directory_symlink("real", app / "linkdir");
  WalkResult result = Walk(app.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("link"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("symbolic link"), std::string::npos) << result.error;

  result = Walk(app.path(), true);
  ASSERT_TRUE(result.ok) << result.error;
  const std::vector<std::string> expected = {"link.txt", "linkdir/", "linkdir/file.txt", "real/",
                                             "real/file.txt"};
  EXPECT_EQ(Names(result), expected);
  EXPECT_EQ(result.entries[0].size, 7u);
  EXPECT_FALSE(result.entries[0].isFolder);
  EXPECT_TRUE(result.entries[1].isFolder);
}

// What the writer needs to find each file again and know it: the folder
// walked, whether a link led there, and the identity of what the link named.
TEST(PackTreeWalk, RecordsWhereEachFileIsAndWhatItWas) {
  TempFolder app("pack-walk-");
  PutFile(app, "real/file.txt", "content");
  std::filesystem::create_symlink("real/file.txt", app / "link.txt");
  std::filesystem::create_directory_symlink("real", app / "linkdir");
  const WalkResult result = Walk(app.path(), true);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.entries.size(), 5u);
  struct stat file;
  ASSERT_EQ(stat((app / "real/file.txt").c_str(), &file), 0);
  const bool throughLink[] = {true, true, true, false, false};
  for (std::size_t i = 0; i < result.entries.size(); ++i) {
    const pack::TreeEntry& entry = result.entries[i];
    EXPECT_EQ(entry.root, app.path().string()) << entry.name;
    EXPECT_EQ(entry.throughLink, throughLink[i]) << entry.name;
    if (!entry.isFolder) {
      EXPECT_EQ(entry.device, static_cast<std::uint64_t>(file.st_dev)) << entry.name;
      EXPECT_EQ(entry.inode, static_cast<std::uint64_t>(file.st_ino)) << entry.name;
      EXPECT_EQ(entry.modified, file.st_mtim.tv_sec) << entry.name;
      EXPECT_EQ(entry.modifiedNanoseconds, static_cast<std::uint32_t>(file.st_mtim.tv_nsec))
          << entry.name;
    }
  }
}

TEST(PackTreeWalk, RefusesADanglingSymbolicLinkEvenWhenFollowing) {
  TempFolder app("pack-walk-");
  std::filesystem::create_symlink("nowhere", app / "dangling");
  for (const bool follow : {false, true}) {
    const WalkResult result = Walk(app.path(), follow);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("dangling"), std::string::npos) << result.error;
  }
}

TEST(PackTreeWalk, RefusesASymbolicLinkLoopWhenFollowing) {
  TempFolder app("pack-walk-");
  std::filesystem::create_directories(app / "a/b");
  std::filesystem::create_directory_symlink("../..", app / "a/b/up");
  const WalkResult result = Walk(app.path(), true);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("loop"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("up"), std::string::npos) << result.error;
}

TEST(PackTreeWalk, RefusesAFifo) {
  TempFolder app("pack-walk-");
  ASSERT_EQ(mkfifo((app / "pipe").c_str(), 0644), 0);
  const WalkResult result = Walk(app.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("pipe"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("neither a regular file nor a folder"), std::string::npos)
      << result.error;
}

TEST(PackTreeWalk, RefusesANameWithABackslash) {
  TempFolder app("pack-walk-");
  PutFile(app, "dir/bad\\name.txt", "x");
  const WalkResult result = Walk(app.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("backslash"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("bad\\name.txt"), std::string::npos) << result.error;
}

TEST(PackTreeWalk, RefusesANameThatIsNotUtf8) {
  TempFolder app("pack-walk-");
  // Latin-1 "é" alone is not valid UTF-8.
  PutFile(app, "caf\xE9.txt", "x");
  const WalkResult result = Walk(app.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("not valid UTF-8"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("caf\\xE9.txt"), std::string::npos) << result.error;
}

TEST(PackTreeWalk, RefusesAnUnreadableFolderWhenNotRoot) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root can read any folder";
  }
  TempFolder app("pack-walk-");
  std::filesystem::create_directories(app / "locked");
  ASSERT_EQ(chmod((app / "locked").c_str(), 0), 0);
  const WalkResult result = Walk(app.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("locked"), std::string::npos) << result.error;
}

}  // namespace
