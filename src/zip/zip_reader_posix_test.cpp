#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::ZipBuilder;
using zip::ZipArchive;
using zip::ZipError;

class ZipExtractPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    // Read the umask without leaving it changed.
    umask_ = ::umask(022);
    ::umask(umask_);
  }
  void TearDown() override { zip::ZipClose(archive_); }

  void OpenBuilt(const ZipBuilder& builder) {
    bytes_ = builder.Build();
    ASSERT_TRUE(zip::ZipOpenMemory(archive_, bytes_.data(), bytes_.size()));
  }
  ZipError Extract(std::uint32_t index, const std::string& name) {
    const std::string path = (folder_ / name).string();
    if (testing_support::ExtractEntryToFile(archive_, index, path.c_str())) {
      return ZipError::kNone;
    }
    return zip::ZipTakeLastError(archive_);
  }
  mode_t Mode(const std::string& name) {
    struct stat info;
    EXPECT_EQ(::lstat((folder_ / name).c_str(), &info), 0);
    return info.st_mode & 07777;
  }

  TempFolder folder_;
  std::string bytes_;
  ZipArchive archive_;
  mode_t umask_ = 022;
};

TEST_F(ZipExtractPosix, NewFilesGetUnixModesFromUnixHostsOnly) {
  ZipBuilder builder;
  builder.AddStored("exec", "x").externalAttributes = 0100755u << 16;
  builder.AddStored("private", "x").externalAttributes = 0100600u << 16;
  builder.AddStored("setuid", "x").externalAttributes = 0104755u << 16;
  auto& dos = builder.AddStored("dos", "x");
  dos.versionMadeBy = 0x0014;  // MS-DOS host: the high half means nothing
  dos.externalAttributes = 0100700u << 16;
  builder.AddStored("no-bits", "x").externalAttributes = 0x20;
  builder.AddStored("read-only", "x").externalAttributes = 0100444u << 16;
  OpenBuilt(builder);
  ASSERT_EQ(Extract(0, "exec"), ZipError::kNone);
  ASSERT_EQ(Extract(1, "private"), ZipError::kNone);
  ASSERT_EQ(Extract(2, "setuid"), ZipError::kNone);
  ASSERT_EQ(Extract(3, "dos"), ZipError::kNone);
  ASSERT_EQ(Extract(4, "no-bits"), ZipError::kNone);
  ASSERT_EQ(Extract(5, "read-only"), ZipError::kNone);
  EXPECT_EQ(Mode("exec"), 0755 & ~umask_);
  EXPECT_EQ(Mode("private"), 0600 & ~umask_);
  EXPECT_EQ(Mode("setuid"), 0755 & ~umask_);  // never the set-id bits
  EXPECT_EQ(Mode("dos"), 0666 & ~umask_);
  EXPECT_EQ(Mode("no-bits"), 0666 & ~umask_);
  // The owner can always write what it unpacked, so a later run overwrites it.
  EXPECT_EQ(Mode("read-only"), 0644 & ~umask_);
}

TEST_F(ZipExtractPosix, DoesNotWriteThroughASymlink) {
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  builder.AddDeflated("b", "payload");
  OpenBuilt(builder);
  ASSERT_TRUE(testing_support::WriteFileBytes(folder_ / "target", "original"));
  std::filesystem::create_symlink(folder_ / "target", folder_ / "link");
  std::filesystem::create_symlink(folder_ / "absent", folder_ / "dangling");
  EXPECT_EQ(Extract(0, "link"), ZipError::kFileOpenFailed);
  EXPECT_EQ(Extract(1, "link"), ZipError::kFileOpenFailed);
  EXPECT_EQ(Extract(0, "dangling"), ZipError::kFileOpenFailed);
  EXPECT_EQ(ReadFileBytes(folder_ / "target"), "original");
  EXPECT_TRUE(std::filesystem::is_symlink(folder_ / "link"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "absent"));
}

TEST_F(ZipExtractPosix, WritesIntoAFileTheCallerOpenedAndAlwaysClosesIt) {
  ZipBuilder builder;
  builder.AddDeflated("a", "deflated content");
  builder.AddStored("b", "x").method = 12;
  auto& damaged = builder.AddStored("c", "stored content");
  damaged.central.crc32 = 0x12345678;
  OpenBuilt(builder);
  const auto openNew = [this](const char* name) {
    return ::open((folder_ / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  };
  const int written = openNew("a");
  ASSERT_GE(written, 0);
  EXPECT_TRUE(testing_support::ExtractEntryToOpenFile(archive_, 0, written));
  EXPECT_EQ(::fcntl(written, F_GETFD), -1);  // closed
  EXPECT_EQ(ReadFileBytes(folder_ / "a"), "deflated content");

  const int unsupported = openNew("b");
  ASSERT_GE(unsupported, 0);
  EXPECT_FALSE(testing_support::ExtractEntryToOpenFile(archive_, 1, unsupported));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kUnsupportedFeature);
  EXPECT_EQ(::fcntl(unsupported, F_GETFD), -1);
  EXPECT_EQ(ReadFileBytes(folder_ / "b"), "");

  const int badCrc = openNew("c");
  ASSERT_GE(badCrc, 0);
  EXPECT_FALSE(testing_support::ExtractEntryToOpenFile(archive_, 2, badCrc));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kDecompressionFailed);
  EXPECT_EQ(::fcntl(badCrc, F_GETFD), -1);

  EXPECT_FALSE(testing_support::ExtractEntryToOpenFile(archive_, 0, -1));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kInvalidParameter);
}

TEST_F(ZipExtractPosix, ReportsAFileOpenedOnlyForReadingAsAFailedWrite) {
  ZipBuilder builder;
  builder.AddStored("a", "content");
  OpenBuilt(builder);
  ASSERT_TRUE(testing_support::WriteFileBytes(folder_ / "a", ""));
  const int readOnly = ::open((folder_ / "a").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  EXPECT_FALSE(testing_support::ExtractEntryToOpenFile(archive_, 0, readOnly));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kFileWriteFailed);
  EXPECT_EQ(::fcntl(readOnly, F_GETFD), -1);
}

TEST_F(ZipExtractPosix, RefusesAFifoWithoutBlocking) {
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  OpenBuilt(builder);
  ASSERT_EQ(::mkfifo((folder_ / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(Extract(0, "fifo"), ZipError::kFileOpenFailed);
}

TEST_F(ZipExtractPosix, RefusesACharacterDevice) {
  if (::access("/dev/null", W_OK) != 0) {
    GTEST_SKIP() << "no writable /dev/null";
  }
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  OpenBuilt(builder);
  EXPECT_FALSE(testing_support::ExtractEntryToFile(archive_, 0, "/dev/null"));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kFileOpenFailed);
}

TEST_F(ZipExtractPosix, ReportsAFailedWrite) {
  const std::string content(300000, 'w');
  ZipBuilder builder;
  builder.AddStored("stored", content);
  builder.AddDeflated("deflated", content);
  OpenBuilt(builder);
  // A file size limit makes write() fail with EFBIG, for root as well.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*savedHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const ZipError stored = Extract(0, "stored");
  const ZipError deflated = Extract(1, "deflated");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, savedHandler);
  EXPECT_EQ(stored, ZipError::kFileWriteFailed);
  EXPECT_EQ(deflated, ZipError::kFileWriteFailed);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "stored"));
}

// A pieced write whose file cannot be given its size ends as the streaming
// write does when the volume takes no more: the same error and the same
// partial file.
TEST_F(ZipExtractPosix, APiecedWriteThatRunsOutOfRoomEndsAsTheStreamingWriteDoes) {
  const std::string content = testing_support::NoiseBytes(3 << 20, 5);
  std::vector<std::uint32_t> lengths;
  ZipBuilder builder;
  auto& entry = builder.AddDeflated("pieced", content);
  entry.data = testing_support::DeflatePieces(content, 1 << 20, 6, lengths);
  entry.centralExtra = testing_support::PieceIndexField(1 << 20, lengths);
  OpenBuilt(builder);
  zip::ZipEntryJob job;
  ASSERT_TRUE(zip::ZipPrepareEntryJob(archive_, 0, job));
  ASSERT_EQ(job.pieces.size(), 3u);

  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*savedHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = (1 << 20) + 4096;  // the whole file does not fit
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const ZipError streamed = Extract(0, "streamed");
  const int fd = ::open((folder_ / "pieced").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  testing_support::PiecedFileWrite write;
  const std::size_t pieces = write.Begin(job, fd);
  zip::ZipJobScratch scratch;
  bool last = pieces == 0;
  for (std::size_t piece = 0; write.ClaimPiece(piece);) {
    last = write.WritePiece(piece, scratch);
  }
  const ZipError pieced = last ? write.Finish(scratch) : ZipError::kInternalError;
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, savedHandler);

  // The pieces began, and their writes failed.
  EXPECT_EQ(pieces, job.pieces.size());
  EXPECT_EQ(streamed, ZipError::kFileWriteFailed);
  EXPECT_EQ(pieced, streamed);
  const std::string partial = ReadFileBytes(folder_ / "streamed");
  EXPECT_EQ(partial.size(), static_cast<std::size_t>(limited.rlim_cur));
  EXPECT_TRUE(ReadFileBytes(folder_ / "pieced") == partial);
}

}  // namespace
