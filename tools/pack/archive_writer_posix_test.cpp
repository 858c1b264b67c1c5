// What only POSIX systems give the writer: permission bits that lock a file,
// and the ones a native starter's archive records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pack/archive_writer.h"
#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"
#include "zip/zip_reader.h"

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

TEST(PackWriter, RecordsThePermissionsOnDiskForANativeStarter) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "tools/helper.sh", "#!/bin/sh\necho helper\n");
  PutFile(app, "tools/notes.txt", "notes");
  ASSERT_EQ(chmod((app / "tools/helper.sh").c_str(), 0755), 0);
  ASSERT_EQ(chmod((app / "tools/notes.txt").c_str(), 0604), 0);
  ASSERT_EQ(chmod((app / "tools").c_str(), 0711), 0);
  pack::WriteOptions options;
  options.unixModes = true;
  ASSERT_EQ(pack_test::Pack(app.path(), out / "a.zip", options), "");
  const std::string bytes = testing_support::ReadFileBytes(out / "a.zip");
  zip::ZipArchive archive;
  ASSERT_TRUE(zip::ZipOpenMemory(archive, bytes.data(), bytes.size()));
  ASSERT_EQ(zip::ZipEntryCount(archive), 3u);
  const std::uint32_t expected[] = {(040711u << 16) | 0x10u, (0100755u << 16) | 0x20u,
                                    (0100604u << 16) | 0x20u};
  for (std::uint32_t i = 0; i < 3; ++i) {
    zip::ZipEntryRecord record;
    ASSERT_TRUE(zip::ZipReadEntryRecord(archive, i, record));
    EXPECT_EQ(record.versionMadeBy, 0x033F) << record.name;
    EXPECT_EQ(record.externalAttributes, expected[i]) << record.name;
  }
  zip::ZipClose(archive);
}

}  // namespace
