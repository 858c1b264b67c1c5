#include "pack/host_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::PutFile;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

TEST(PackHostIo, DescribesFilesAndFoldersAndTellsThemApart) {
  TempFolder root("pack-io-");
  PutFile(root, "dir/file.bin", "12345");
  PutFile(root, "other/x", "x");
  pack::NodeInfo file;
  pack::NodeInfo folder;
  pack::NodeInfo again;
  pack::NodeInfo other;
  std::string error;
  ASSERT_TRUE(pack::InspectNode((root / "dir/file.bin").string(), false, file, error)) << error;
  ASSERT_TRUE(pack::InspectNode((root / "dir").string(), false, folder, error)) << error;
  // The same folder by another spelling, and a different folder.
  ASSERT_TRUE(pack::InspectNode((root / "other/../dir/").string(), true, again, error)) << error;
  ASSERT_TRUE(pack::InspectNode((root / "other").string(), true, other, error)) << error;
  EXPECT_EQ(file.kind, pack::NodeKind::kFile);
  EXPECT_EQ(file.size, 5u);
  EXPECT_EQ(folder.kind, pack::NodeKind::kFolder);
  EXPECT_EQ(folder.size, 0u);
  EXPECT_EQ(again.device, folder.device);
  EXPECT_EQ(again.inode, folder.inode);
  EXPECT_TRUE(other.device != folder.device || other.inode != folder.inode);
  EXPECT_FALSE(pack::InspectNode((root / "missing").string(), true, file, error));
  EXPECT_FALSE(error.empty());
}

TEST(PackHostIo, ListsAFolderWithoutItsDotEntries) {
  TempFolder root("pack-io-");
  PutFile(root, "a", "");
  PutFile(root, "sub/b", "");
  std::vector<std::string> names;
  std::string error;
  ASSERT_TRUE(pack::ListFolder(root.path().string(), names, error)) << error;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "sub"}));
  std::filesystem::create_directory(root / "empty");
  ASSERT_TRUE(pack::ListFolder((root / "empty").string(), names, error)) << error;
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(pack::ListFolder((root / "missing").string(), names, error));
  EXPECT_FALSE(error.empty());
}

TEST(PackHostIo, ReadsAtOffsetsAndShortOnlyAtTheEnd) {
  TempFolder root("pack-io-");
  PutFile(root, "data", "0123456789");
  pack::InputFile file;
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(file.Open(root.path().string(), "data", false, info, error)) << error;
  EXPECT_EQ(info.kind, pack::NodeKind::kFile);
  EXPECT_EQ(info.size, 10u);
  char buffer[8] = {};
  EXPECT_EQ(file.ReadAt(3, buffer, 4, error), 4);
  EXPECT_EQ(std::string(buffer, 4), "3456");
  EXPECT_EQ(file.ReadAt(7, buffer, 8, error), 3);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(file.ReadAt(10, buffer, 8, error), 0);
}

TEST(PackHostIo, OpensOnlyRegularFilesForReadingAndMapping) {
  TempFolder root("pack-io-");
  std::filesystem::create_directory(root / "folder");
  pack::InputFile input;
  pack::MappedFile mapped;
  pack::NodeInfo info;
  std::string error;
  EXPECT_FALSE(input.Open(root.path().string(), "folder", false, info, error));
  EXPECT_EQ(error, "not a regular file");
  error.clear();
  EXPECT_FALSE(mapped.Open((root / "folder").string(), error));
  EXPECT_EQ(error, "not a regular file");
  error.clear();
  EXPECT_FALSE(input.Open(root.path().string(), "missing", false, info, error));
  EXPECT_FALSE(error.empty());
}

TEST(PackHostIo, MapsAWholeFileAndAnEmptyOne) {
  TempFolder root("pack-io-");
  const std::string bytes = pack_test::RandomBytes(70000, 3);
  PutFile(root, "full", bytes);
  PutFile(root, "empty", "");
  std::string error;
  pack::MappedFile full;
  ASSERT_TRUE(full.Open((root / "full").string(), error)) << error;
  ASSERT_EQ(full.size(), bytes.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(full.data()), bytes.size()), bytes);
  pack::MappedFile empty;
  ASSERT_TRUE(empty.Open((root / "empty").string(), error)) << error;
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.data(), nullptr);
}

TEST(PackHostIo, WritesBesideTheTargetAndReplacesItOnlyOnCommit) {
  TempFolder root("pack-io-");
  const std::string target = (root / "a.zip").string();
  ASSERT_TRUE(WriteFileBytes(target, "previous"));
  std::string error;
  pack::OutputFile output;
  ASSERT_TRUE(output.Create(target, error)) << error;
  const std::string temporary = output.temporaryPath();
  EXPECT_EQ(pack::FolderOfPath(temporary), pack::FolderOfPath(target));
  EXPECT_TRUE(std::filesystem::exists(temporary));
  ASSERT_TRUE(output.WriteAt(4, "tail", 4, error)) << error;
  ASSERT_TRUE(output.WriteAt(0, "head", 4, error)) << error;
  ASSERT_TRUE(output.Truncate(10, error)) << error;
  EXPECT_EQ(ReadFileBytes(target), "previous");
  ASSERT_TRUE(output.Commit(error)) << error;
  EXPECT_EQ(output.temporaryPath(), "");
  EXPECT_EQ(ReadFileBytes(target), std::string("headtail\0\0", 10));
  EXPECT_EQ(pack_test::FolderNames(root.path()), std::vector<std::string>{"a.zip"});
}

TEST(PackHostIo, RemovesTheTemporaryOnDiscardAndOnDestruction) {
  TempFolder root("pack-io-");
  std::string error;
  {
    pack::OutputFile output;
    ASSERT_TRUE(output.Create((root / "kept.zip").string(), error)) << error;
    ASSERT_TRUE(output.WriteAt(0, "x", 1, error)) << error;
    EXPECT_EQ(pack_test::FolderNames(root.path()).size(), 1u);
  }
  EXPECT_TRUE(pack_test::FolderNames(root.path()).empty());
  pack::OutputFile output;
  ASSERT_TRUE(output.Create((root / "dropped.zip").string(), error)) << error;
  output.Discard();
  EXPECT_EQ(output.temporaryPath(), "");
  EXPECT_TRUE(pack_test::FolderNames(root.path()).empty());
  EXPECT_FALSE(output.Create((root / "missing/a.zip").string(), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
