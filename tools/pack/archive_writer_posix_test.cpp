// What only POSIX systems give the writer: permission bits that lock a file,
// and the ones a native starter's archive records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/archive_writer.h"
#include "pack/pack_test_support.h"
#include "testing/temp_folder.h"
#include "zip/zip_reader.h"

namespace {

using pack_test::PutFile;
using testing_support::TempFolder;

// Walks `app` (following links when `follow`), lets `change` act on it, then
// writes `output`; returns the writer's error, or "" when it wrote.
template <typename Change>
std::string WalkChangeAndWrite(const TempFolder& app, const std::filesystem::path& output,
                               bool follow, Change change,
                               pack::WriteOptions options = pack::WriteOptions()) {
  pack::WalkOptions walk;
  walk.followSymlinks = follow;
  std::vector<pack::TreeEntry> entries;
  std::string error;
  if (!pack::WalkTree(app.path().string(), walk, entries, error)) {
    return "walk: " + error;
  }
  change();
  pack::WriteSummary summary;
  return pack::WriteArchive(entries, output.string(), options, summary, error) ? "" : error;
}

TEST(PackWriter, RefusesAFileReplacedByASymbolicLinkAfterTheWalk) {
  TempFolder app("pack-app-");
  TempFolder outside("pack-outside-");
  TempFolder out("pack-out-");
  PutFile(app, "data", "public");
  PutFile(outside, "secret", "hidden");
  ASSERT_EQ(chmod((outside / "secret").c_str(), 0600), 0);
  const std::string error = WalkChangeAndWrite(app, out / "a.zip", false, [&] {
    std::filesystem::remove(app / "data");
    std::filesystem::create_symlink(outside / "secret", app / "data");
  });
  EXPECT_NE(error.find("data: cannot open: it has been replaced by a symbolic link"),
            std::string::npos)
      << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, RefusesAFolderReplacedByASymbolicLinkAfterTheWalk) {
  TempFolder app("pack-app-");
  TempFolder outside("pack-outside-");
  TempFolder out("pack-out-");
  PutFile(app, "sub/data", "public");
  PutFile(outside, "data", "hidden");
  const std::string error = WalkChangeAndWrite(app, out / "a.zip", false, [&] {
    std::filesystem::rename(app / "sub", app / "moved");
    std::filesystem::create_directory_symlink(outside.path(), app / "sub");
  });
  EXPECT_NE(error.find("sub/data: cannot open: a folder above it has been replaced by a symbolic "
                       "link"),
            std::string::npos)
      << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, ChecksAFollowedLinkAgainstWhatTheWalkSawThroughIt) {
  TempFolder app("pack-app-");
  TempFolder outside("pack-outside-");
  TempFolder out("pack-out-");
  PutFile(outside, "first", "first!");
  PutFile(outside, "other", "other!");
  std::filesystem::create_symlink(outside / "first", app / "link");
  ASSERT_EQ(WalkChangeAndWrite(app, out / "a.zip", true, [] {}), "");
  std::vector<pack_test::ReadBackEntry> read;
  std::string error;
  ASSERT_TRUE(pack_test::ReadBack(testing_support::ReadFileBytes(out / "a.zip"), read, error))
      << error;
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].data, "first!");

  error = WalkChangeAndWrite(app, out / "b.zip", true, [&] {
    std::filesystem::remove(app / "link");
    std::filesystem::create_symlink(outside / "other", app / "link");
  });
  EXPECT_NE(error.find("link: changed while being packed (another file took its place)"),
            std::string::npos)
      << error;
  EXPECT_EQ(pack_test::FolderNames(out.path()), std::vector<std::string>{"a.zip"});
}

// All of a file comes from the one the walk saw, however many pieces it has
// and whatever takes its name meanwhile.
TEST(PackWriter, ReadsAFileRenamedOverWhilePackingFromTheFileItOpened) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  constexpr std::uint32_t kPiece = 4096;
  constexpr std::size_t kPieces = 64;
  const std::string original = pack_test::TextBytes(kPiece * kPieces, 43);
  PutFile(app, "big", original);
  pack::WriteOptions options;
  options.pieceSize = kPiece;
  options.threads = 2;
  bool renamed = false;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (!renamed) {
      renamed = true;
      PutFile(out, "newcomer", pack_test::TextBytes(kPiece * kPieces, 44));
      std::filesystem::rename(out / "newcomer", app / "big");
    }
  };
  ASSERT_EQ(WalkChangeAndWrite(
                app, out / "a.zip", false, [] {}, options),
            "");
  EXPECT_TRUE(renamed);
  std::vector<pack_test::ReadBackEntry> read;
  std::string error;
  ASSERT_TRUE(pack_test::ReadBack(testing_support::ReadFileBytes(out / "a.zip"), read, error))
      << error;
  ASSERT_EQ(read.size(), 1u);
  EXPECT_TRUE(read[0].data == original);
}

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
    EXPECT_EQ(record.central.versionMadeBy, 0x033F) << record.central.name;
    EXPECT_EQ(record.central.externalAttributes, expected[i]) << record.central.name;
  }
  zip::ZipClose(archive);
}

}  // namespace
