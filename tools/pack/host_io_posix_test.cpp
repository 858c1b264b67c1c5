#include <gtest/gtest.h>
#include <sys/stat.h>

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

}  // namespace
