#include "pack/tree_walk.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pack/host_io.h"
#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::Names;
using pack_test::PutFile;
using pack_test::Walk;
using pack_test::WalkResult;
using testing_support::TempFolder;

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
  EXPECT_EQ(result.entries[2].sourcePath, app.path().string() + "/b/two");
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

}  // namespace
