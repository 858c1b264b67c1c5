#include "pack/tree_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pack/host_io.h"
#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::PutFile;
using testing_support::TempFolder;

struct WalkResult {
  bool ok = false;
  std::string error;
  std::vector<pack::TreeEntry> entries;
};

WalkResult Walk(const std::filesystem::path& root, bool follow = false) {
  WalkResult result;
  pack::WalkOptions options;
  options.followSymlinks = follow;
  result.ok = pack::WalkTree(root.string(), options, result.entries, result.error);
  return result;
}

std::vector<std::string> Names(const WalkResult& result) {
  std::vector<std::string> names;
  for (const auto& e : result.entries) {
    names.push_back(e.name);
  }
  return names;
}

TEST(PackTreeWalk, ListsFilesAndFoldersWithSizesInArchiveOrder) {
  TempFolder app("pack-walk-");
  PutFile(app, "b/two", "22");
  PutFile(app, "A", "1");
  std::filesystem::create_directories(app / "c");
  const WalkResult result = Walk(app.path());
  ASSERT_TRUE(result.ok) << result.error;
  const std::vector<std::string> expected = {"A", "b/", "b/two", "c/"};
  EXPECT_EQ(Names(result), expected);
  EXPECT_EQ(result.entries[0].size, 1u);
  EXPECT_FALSE(result.entries[0].isFolder);
  EXPECT_TRUE(result.entries[1].isFolder);
  EXPECT_EQ(result.entries[2].size, 2u);
  EXPECT_EQ(result.entries[2].sourcePath, (app / "b/two").string());
}

TEST(PackTreeWalk, RefusesAMissingRootAndARootThatIsAFile) {
  TempFolder app("pack-walk-");
  WalkResult result = Walk(app / "missing");
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("missing"), std::string::npos) << result.error;
  PutFile(app, "file", "f");
  result = Walk(app / "file");
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("not a folder"), std::string::npos) << result.error;
}

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

TEST(PackTreeWalk, RefusesTheExcludedFolder) {
  TempFolder app("pack-walk-");
  std::filesystem::create_directories(app / "sub/out");
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(pack::InspectNode((app / "sub/out").string(), true, info, error)) << error;
  pack::WalkOptions options;
  options.hasExcludedFolder = true;
  options.excludedDevice = info.device;
  options.excludedInode = info.inode;
  std::vector<pack::TreeEntry> entries;
  EXPECT_FALSE(pack::WalkTree(app.path().string(), options, entries, error));
  EXPECT_NE(error.find("sub/out"), std::string::npos) << error;
  EXPECT_NE(error.find("output"), std::string::npos) << error;
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
