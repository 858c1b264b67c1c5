#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/host_io.h"

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

}  // namespace
