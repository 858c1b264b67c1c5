#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pack/host_io.h"
#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"

namespace {

TEST(PackHostIo, FolderOfAPosixPath) {
  EXPECT_EQ(pack::FolderOfPath("a.zip"), ".");
  EXPECT_EQ(pack::FolderOfPath("/a.zip"), "/");
  EXPECT_EQ(pack::FolderOfPath("out/a.zip"), "out");
  EXPECT_EQ(pack::FolderOfPath("/tmp/out/a.zip"), "/tmp/out");
  // A backslash is part of a name here, and "C:" is a name too.
  EXPECT_EQ(pack::FolderOfPath("out\\a.zip"), ".");
  EXPECT_EQ(pack::FolderOfPath("C:a.zip"), ".");
}

TEST(PackHostIo, TakesTheArgumentsAfterTheProgramName) {
  char program[] = "pack";
  char first[] = "caf\xC3\xA9";
  char second[] = "-o";
  char* argv[] = {program, first, second, nullptr};
  EXPECT_EQ(pack::CommandLineArguments(3, argv), (std::vector<std::string>{"caf\xC3\xA9", "-o"}));
  EXPECT_TRUE(pack::CommandLineArguments(1, argv).empty());
}

TEST(PackHostIo, GivesTheUnixPermissionBits) {
  testing_support::TempFolder folder("pack-host-io-");
  pack_test::PutFile(folder, "dir/tool", "#!/bin/sh\n");
  const std::string dir = (folder / "dir").string();
  const std::string tool = (folder / "dir/tool").string();
  ASSERT_EQ(chmod(tool.c_str(), 04750), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0701), 0);
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(pack::InspectNode(tool, false, info, error)) << error;
  EXPECT_EQ(info.permissions, 04750u);
  ASSERT_TRUE(pack::InspectNode(dir, false, info, error)) << error;
  EXPECT_EQ(info.permissions, 0701u);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);  // so the folder can be removed
}

TEST(PackHostIo, OpensBelowAFolderWithoutPassingThroughSymbolicLinks) {
  testing_support::TempFolder root("pack-host-io-");
  pack_test::PutFile(root, "dir/real", "abc");
  std::filesystem::create_symlink("real", root / "dir/alias");
  std::filesystem::create_directory_symlink("dir", root / "linked");
  const std::string folder = root.path().string();
  pack::InputFile input;
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(input.Open(folder, "dir/real", false, info, error)) << error;
  pack::NodeInfo walked;
  ASSERT_TRUE(pack::InspectNode((root / "dir/real").string(), false, walked, error)) << error;
  EXPECT_EQ(info.device, walked.device);
  EXPECT_EQ(info.inode, walked.inode);
  EXPECT_EQ(info.size, 3u);
  EXPECT_EQ(info.modified, walked.modified);
  EXPECT_EQ(info.modifiedNanoseconds, walked.modifiedNanoseconds);

  EXPECT_FALSE(input.Open(folder, "dir/alias", false, info, error));
  EXPECT_EQ(error, "it has been replaced by a symbolic link");
  EXPECT_FALSE(input.Open(folder, "linked/real", false, info, error));
  EXPECT_EQ(error, "a folder above it has been replaced by a symbolic link");
  // Following, both lead to the file; the folder opened from may be a link.
  for (const char* path : {"dir/alias", "linked/real", "linked/alias"}) {
    ASSERT_TRUE(input.Open(folder, path, true, info, error)) << path << ": " << error;
    EXPECT_EQ(info.inode, walked.inode) << path;
  }
  ASSERT_TRUE(input.Open((root / "linked").string(), "real", false, info, error)) << error;
  EXPECT_EQ(info.inode, walked.inode);
}

TEST(PackHostIo, DescribesTheOpenFileNotWhatNowHasItsName) {
  testing_support::TempFolder root("pack-host-io-");
  pack_test::PutFile(root, "file", "12345");
  pack::InputFile input;
  pack::NodeInfo opened;
  std::string error;
  ASSERT_TRUE(input.Open(root.path().string(), "file", false, opened, error)) << error;
  pack_test::PutFile(root, "newcomer", "1234567");
  std::filesystem::rename(root / "newcomer", root / "file");
  pack::NodeInfo now;
  ASSERT_TRUE(input.Describe(now, error)) << error;
  EXPECT_EQ(now.inode, opened.inode);
  EXPECT_EQ(now.size, 5u);
  char buffer[8] = {};
  EXPECT_EQ(input.ReadAt(0, buffer, sizeof buffer, error), 5);
  EXPECT_EQ(std::string(buffer, 5), "12345");
}

}  // namespace
