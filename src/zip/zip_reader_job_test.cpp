// Entry jobs: ZipWriteEntryJob decodes with libdeflate where it can, and must
// leave every file, error and time exactly as the
// streaming reference (zip::ZipStreamEntryJob) does, whatever the entry holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "testing/zip_write_fixture.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ZipBuilder;
using zip::ZipError;

// Text that deflates well, varied enough that the decoder copies matches.
std::string Text(std::size_t size) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) {
    out += "line " + std::to_string(i * 2654435761u % 100000u) + " of the job test\n";
  }
  out.resize(size);
  return out;
}

using Written = testing_support::WrittenEntry;

class ZipJobTest : public testing_support::ZipWriteFixture {
 protected:
  Written ThroughJob(std::uint32_t index) {
    const std::string name = "job-" + std::to_string(index);
    zip::ZipEntryJob job;
    EXPECT_TRUE(zip::ZipPrepareEntryJob(archive_, index, job));
    return Read(name, testing_support::WriteJobToFile(job, NewFile(name), scratch_));
  }

  // Every entry of the open archive, through both ways; returns the errors.
  std::vector<ZipError> ExpectSameAsStreaming() {
    std::vector<ZipError> errors;
    for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive_); ++i) {
      const Written reference = Streamed(i);
      const Written job = ThroughJob(i);
      testing_support::ExpectSameOutcome(job, reference, "entry " + std::to_string(i));
      errors.push_back(job.error);
    }
    return errors;
  }

  zip::ZipJobScratch scratch_;
};

TEST_F(ZipJobTest, GoodEntriesOfEverySizeComeOutAsStreamed) {
  ZipBuilder builder;
  builder.AddDeflated("small.txt", Text(1000));
  builder.AddDeflated("at-the-limit.txt", Text(256 * 1024));
  builder.AddDeflated("large.txt", Text(3 * 1024 * 1024 + 17));
  builder.AddDeflated("noise.bin", testing_support::NoiseBytes(600 * 1024));
  builder.AddDeflated("empty.txt", "");
  builder.AddStored("stored.txt", Text(5000));
  Open(builder.Build());
  for (const ZipError error : ExpectSameAsStreaming()) {
    EXPECT_EQ(error, ZipError::kNone);
  }
  EXPECT_EQ(testing_support::ReadFileBytes(temp_ / "job-2"), Text(3 * 1024 * 1024 + 17));
}

TEST_F(ZipJobTest, AWrongCrcLeavesTheWholeDataAsStreamed) {
  ZipBuilder builder;
  builder.AddDeflated("small.txt", Text(2000)).central.crc32 = 0x12345678;
  builder.AddDeflated("large.txt", Text(1 << 20)).central.crc32 = 0x12345678;
  Open(builder.Build());
  for (const ZipError error : ExpectSameAsStreaming()) {
    EXPECT_EQ(error, ZipError::kDecompressionFailed);
  }
  EXPECT_EQ(testing_support::ReadFileBytes(temp_ / "job-1").size(), std::size_t{1} << 20);
}

TEST_F(ZipJobTest, RecordedSizesThatDisagreeWithTheDataFailAsStreamed) {
  ZipBuilder builder;
  // More recorded than the data holds, and less (the file is cut there).
  builder.AddDeflated("short-small.txt", Text(3000)).central.uncompressedSize = 4000;
  builder.AddDeflated("long-small.txt", Text(3000)).central.uncompressedSize = 2000;
  builder.AddDeflated("short-large.txt", Text(900000)).central.uncompressedSize = 1000000;
  builder.AddDeflated("long-large.txt", Text(900000)).central.uncompressedSize = 800000;
  // A size no deflate stream of this length can reach.
  builder.AddDeflated("impossible.txt", Text(1000)).central.uncompressedSize = 0x7FFFFFFF;
  Open(builder.Build());
  for (const ZipError error : ExpectSameAsStreaming()) {
    EXPECT_EQ(error, ZipError::kUnexpectedSize);
  }
  EXPECT_EQ(testing_support::ReadFileBytes(temp_ / "job-3").size(), 800000u);
}

TEST_F(ZipJobTest, DamagedDataLeavesThePartialFileAsStreamed) {
  std::string damaged = testing_support::DeflateRaw(Text(2 << 20));
  for (std::size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i) {
    damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  }
  const std::string cut = testing_support::DeflateRaw(Text(1 << 20)).substr(0, 3000);
  ZipBuilder builder;
  auto& bad = builder.AddDeflated("damaged.txt", Text(2 << 20));
  bad.data = damaged;
  builder.AddDeflated("cut.txt", Text(1 << 20)).data = cut;
  builder.AddDeflated("cut-small.txt", Text(100000)).data =
      testing_support::DeflateRaw(Text(100000)).substr(0, 500);
  Open(builder.Build());
  for (const ZipError error : ExpectSameAsStreaming()) {
    EXPECT_NE(error, ZipError::kNone);
  }
}

TEST_F(ZipJobTest, BytesAfterTheEndOfTheStreamAreAcceptedAsStreamed) {
  // zlib stops at the stream's end marker and ignores what follows inside the
  // recorded length; the whole-buffer decode must not decide otherwise.
  ZipBuilder builder;
  builder.AddDeflated("small.txt", Text(4000)).data =
      testing_support::DeflateRaw(Text(4000)) + "trailing bytes";
  builder.AddDeflated("large.txt", Text(1 << 20)).data =
      testing_support::DeflateRaw(Text(1 << 20)) + std::string(100, '\0');
  Open(builder.Build());
  const std::vector<ZipError> errors = ExpectSameAsStreaming();
  EXPECT_EQ(errors, std::vector<ZipError>(2, ZipError::kNone));
}

TEST_F(ZipJobTest, AJobOutlivesItsArchiveObjectAndNeedsAFile) {
  ZipBuilder builder;
  builder.AddDeflated("a.txt", Text(500000));
  Open(builder.Build());
  zip::ZipEntryJob job;
  ASSERT_TRUE(zip::ZipPrepareEntryJob(archive_, 0, job));
  EXPECT_EQ(testing_support::WriteJobToFile(job, -1, scratch_), ZipError::kInvalidParameter);
  EXPECT_EQ(testing_support::WriteJobToFile(zip::ZipEntryJob{}, NewFile("none"), scratch_),
            ZipError::kInvalidParameter);
  zip::ZipClose(archive_);  // the block stays; the job needs nothing else
  EXPECT_EQ(testing_support::WriteJobToFile(job, NewFile("a.txt"), scratch_), ZipError::kNone);
  EXPECT_EQ(testing_support::ReadFileBytes(temp_ / "a.txt"), Text(500000));
}

TEST_F(ZipJobTest, PreparingRefusesWhatTheCheckRefuses) {
  ZipBuilder builder;
  builder.AddFolder("dir/");
  builder.AddStored("secret.txt", "x").flags = zip::kFlagEncrypted;
  builder.AddStored("bad-header.txt", "x").local.signature = 0x01020304;
  Open(builder.Build());
  zip::ZipEntryJob job;
  job.uncompressedSize = 99;
  EXPECT_FALSE(zip::ZipPrepareEntryJob(archive_, 0, job));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kUnsupportedFeature);
  EXPECT_FALSE(zip::ZipPrepareEntryJob(archive_, 1, job));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kUnsupportedFeature);
  EXPECT_FALSE(zip::ZipPrepareEntryJob(archive_, 2, job));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kInvalidHeader);
  EXPECT_FALSE(zip::ZipPrepareEntryJob(archive_, 3, job));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kInvalidParameter);
  EXPECT_EQ(job.uncompressedSize, 99u);  // untouched by every failure
}

}  // namespace
