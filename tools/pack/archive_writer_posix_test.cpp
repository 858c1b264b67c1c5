// What only POSIX systems give the writer: permission bits that lock a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pack/archive_writer.h"
#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::PutFile;
using testing_support::TempFolder;

TEST(PackWriter, FailsOnAnUnreadableFileWhenNotRoot) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root can read any file";
  }
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "secret", "s");
  ASSERT_EQ(chmod((app / "secret").c_str(), 0), 0);
  const std::string error = pack_test::Pack(app.path(), out / "a.zip");
  EXPECT_NE(error.find("secret"), std::string::npos) << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

}  // namespace
