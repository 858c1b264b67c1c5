// Pieced writes: the pieces of an indexed entry decoded on several threads
// must leave every file, error and time exactly as the
// streaming reference (zip::ZipStreamEntryJob) does, whatever the index says.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/entry_files.h"
#include "testing/sample_archives.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "testing/zip_write_fixture.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ZipBuilder;
using zip::ZipError;

// Text that deflates well, varied enough that the decoder copies matches.
std::string Text(std::size_t size, unsigned seed = 1) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) {
    out += "piece test " + std::to_string(seed) + " line " +
           std::to_string(i * 2654435761u % 100000u) + "\n";
  }
  out.resize(size);
  return out;
}

using Written = testing_support::WrittenEntry;

class ZipPiecedWriteTest : public testing_support::ZipWriteFixture {
 protected:
  // Adds `content` deflated in pieces of `pieceSize`, with an honest index;
  // the compressed lengths go to `lengths`.
  static testing_support::ZipBuilderEntry& AddPieced(ZipBuilder& builder, const std::string& name,
                                                     const std::string& content,
                                                     std::uint32_t pieceSize,
                                                     std::vector<std::uint32_t>& lengths) {
    auto& entry = builder.AddDeflated(name, content);
    entry.data = testing_support::DeflatePieces(content, pieceSize, 6, lengths);
    entry.centralExtra = testing_support::PieceIndexField(pieceSize, lengths);
    return entry;
  }

  // Entry `index` written by `threads` threads, each with its scratch, taking
  // pieces as they come; `pieces` gets what Begin returned.
  Written Pieced(std::uint32_t index, unsigned threads, std::size_t& pieces) {
    const std::string name = "pieced-" + std::to_string(index) + "-" + std::to_string(threads);
    zip::ZipEntryJob job;
    EXPECT_TRUE(zip::ZipPrepareEntryJob(archive_, index, job));
    return PiecedOnThreads(job, threads, name, pieces);
  }

  // Every entry through the reference and through pieced writes with 1, 2
  // and 4 threads; returns what Begin returned for each entry (the same for
  // every thread count) and checks the outcomes are the reference's.
  std::vector<std::size_t> ExpectSameAsStreaming() {
    std::vector<std::size_t> counts;
    for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive_); ++i) {
      const Written reference = Streamed(i);
      std::size_t first = 0;
      for (const unsigned threads : {1u, 2u, 4u}) {
        std::size_t pieces = 0;
        const Written pieced = Pieced(i, threads, pieces);
        const std::string what = "entry " + std::to_string(i) + ", " + std::to_string(threads) +
                                 " threads, " + std::to_string(pieces) + " pieces";
        testing_support::ExpectSameOutcome(pieced, reference, what);
        if (threads == 1) {
          first = pieces;
        }
        EXPECT_EQ(pieces, first) << what;
      }
      counts.push_back(first);
    }
    return counts;
  }
};

TEST_F(ZipPiecedWriteTest, HonestPiecesComeOutWholeOnAnyNumberOfThreads) {
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const std::string text = Text((9 << 19) + 5);  // 4.5 MiB and a bit
  AddPieced(builder, "text.txt", text, 1 << 20, lengths);
  // Pieces deflate cannot shrink come out a little longer than 1 MiB.
  const std::string noise = testing_support::NoiseBytes((3 << 20) + 100);
  AddPieced(builder, "noise.bin", noise, 1 << 20, lengths);
  // Pieces too large for a thread's buffer are decoded without a copy.
  const std::string large = Text(5 << 20, 2);
  AddPieced(builder, "large.txt", large, 2 << 20, lengths);
  const std::string mixed = Text(300000, 3) + testing_support::NoiseBytes(200000, 11);
  AddPieced(builder, "mixed.bin", mixed, 65536, lengths);
  // Pieces that unpack to more than a thread's output buffer may hold are
  // not taken up: the entry is written in one pass.
  AddPieced(builder, "huge-pieces.txt", Text((8 << 20) + 2, 4), (4 << 20) + 1, lengths);
  Open(builder.Build());
  EXPECT_EQ(ExpectSameAsStreaming(), (std::vector<std::size_t>{5, 4, 3, 8, 0}));
  std::size_t pieces = 0;
  const Written written = Pieced(0, 4, pieces);
  EXPECT_EQ(written.error, ZipError::kNone);
  EXPECT_TRUE(written.bytes == text);
  EXPECT_TRUE(Pieced(1, 4, pieces).bytes == noise);
  EXPECT_TRUE(Pieced(2, 4, pieces).bytes == large);
  EXPECT_TRUE(Pieced(3, 4, pieces).bytes == mixed);
}

TEST_F(ZipPiecedWriteTest, IndexesThatLieChangeNoOutcome) {
  constexpr std::uint32_t kPieceSize = 100000;
  const std::string text = Text(350000, 4);
  std::vector<std::uint32_t> honest;
  const std::string data = testing_support::DeflatePieces(text, kPieceSize, 6, honest);
  ASSERT_EQ(honest.size(), 4u);
  ZipBuilder builder;
  const auto add = [&](const std::string& name, std::uint32_t pieceSize,
                       const std::vector<std::uint32_t>& lengths) -> auto& {
    auto& entry = builder.AddDeflated(name, text);
    entry.data = data;
    entry.centralExtra = testing_support::PieceIndexField(pieceSize, lengths);
    return entry;
  };
  std::vector<std::uint32_t> lengths = honest;
  lengths[0] -= 1;
  add("short.txt", kPieceSize, lengths);  // the lengths add up to less than the data
  lengths = honest;
  lengths[3] += 1;
  add("long.txt", kPieceSize, lengths);  // to more
  lengths = honest;
  lengths[0] += 0x80000000u;
  lengths[1] += 0x80000000u;
  add("wrap.txt", kPieceSize, lengths);  // to the right sum in 32 bits
  lengths = honest;
  lengths.pop_back();
  add("count.txt", kPieceSize, lengths);  // fewer pieces than the size needs
  // Passing every check of the index, failing the decode:
  lengths = honest;
  lengths[1] += 3;
  lengths[2] -= 3;
  add("overlap.txt", kPieceSize, lengths);  // a boundary moved into piece 3
  add("more.txt", 90000, honest);           // each piece decodes to more than said
  add("less.txt", 110000, honest);          // and to less
  std::vector<std::uint32_t> reachingLengths;
  auto& reaching = builder.AddDeflated("reaching.txt", text);
  reaching.data = testing_support::DeflatePieces(text, kPieceSize, 6, reachingLengths, true);
  reaching.centralExtra = testing_support::PieceIndexField(kPieceSize, reachingLengths);
  // The last piece holds bytes after the end of the stream, which the
  // reference ignores.
  lengths = honest;
  lengths[3] += 4;
  add("trailing.txt", kPieceSize, lengths).data = data + "tail";
  Open(builder.Build());
  EXPECT_EQ(ExpectSameAsStreaming(), (std::vector<std::size_t>{0, 0, 0, 0, 4, 4, 4, 4, 4}));
  // The data itself is sound: every entry comes out whole.
  for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive_); ++i) {
    std::size_t pieces = 0;
    const Written written = Pieced(i, 4, pieces);
    EXPECT_EQ(written.error, ZipError::kNone) << "entry " << i;
    EXPECT_TRUE(written.bytes == text) << "entry " << i;
  }
}

// Pieces whose last block ends at every bit of their last byte, most of
// them recording content that trusting such a piece would write.
TEST_F(ZipPiecedWriteTest, APieceEndingAtAnyBitChangesNoOutcome) {
  ZipBuilder builder;
  std::size_t added = 0;
  std::size_t takenByClosingAlone = 0;
  const std::vector<std::size_t> honest =
      testing_support::AddPiecesEndingAtEveryBit(builder, added, takenByClosingAlone);
  ASSERT_EQ(honest.size(), 8u);
  ASSERT_GT(takenByClosingAlone, 0u);
  Open(builder.Build());
  ASSERT_EQ(zip::ZipEntryCount(archive_), added);
  const std::vector<std::size_t> counts = ExpectSameAsStreaming();
  // The honest entries' pieces are taken up and come out whole.
  for (const std::size_t entry : honest) {
    std::size_t pieces = 0;
    EXPECT_EQ(counts[entry], 2u) << entry;
    EXPECT_EQ(Pieced(static_cast<std::uint32_t>(entry), 2, pieces).error, ZipError::kNone) << entry;
  }
}

TEST_F(ZipPiecedWriteTest, ADamagedPieceLeavesTheReferencesErrorAndPartialFile) {
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const std::string text = Text(4 << 20, 5);
  auto& damaged = AddPieced(builder, "damaged.txt", text, 1 << 20, lengths);
  ASSERT_EQ(lengths.size(), 4u);
  // A run of bytes in the middle of piece 2 of 4.
  for (std::size_t i = lengths[0] + lengths[1] / 2; i < lengths[0] + lengths[1] / 2 + 16; ++i) {
    (*damaged.data)[i] = static_cast<char>((*damaged.data)[i] ^ 0x5A);
  }
  auto& flipped = AddPieced(builder, "flipped.txt", text, 1 << 20, lengths);
  const std::size_t at = lengths[0] + lengths[1] / 3;
  (*flipped.data)[at] = static_cast<char>((*flipped.data)[at] ^ 0x01);
  Open(builder.Build());
  EXPECT_EQ(ExpectSameAsStreaming(), (std::vector<std::size_t>{4, 4}));
  for (std::uint32_t i = 0; i < 2; ++i) {
    std::size_t pieces = 0;
    EXPECT_NE(Pieced(i, 4, pieces).error, ZipError::kNone) << "entry " << i;
  }
}

TEST_F(ZipPiecedWriteTest, AWrongRecordedCrcFailsAfterSoundPieces) {
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const std::string text = Text((3 << 20) + 1000, 6);
  AddPieced(builder, "wrong-crc.txt", text, 1 << 20, lengths).central.crc32 =
      testing_support::Crc32(text) ^ 0x00010000u;
  Open(builder.Build());
  EXPECT_EQ(ExpectSameAsStreaming(), (std::vector<std::size_t>{4}));
  std::size_t pieces = 0;
  const Written written = Pieced(0, 4, pieces);
  EXPECT_EQ(written.error, ZipError::kDecompressionFailed);
  EXPECT_TRUE(written.bytes == text);  // left as the reference leaves it
}

TEST_F(ZipPiecedWriteTest, WithoutPiecesFinishAloneWritesTheJob) {
  ZipBuilder builder;
  builder.AddDeflated("plain.txt", Text(2 << 20, 7));
  builder.AddStored("stored.txt", Text(5000, 8));
  std::vector<std::uint32_t> lengths;
  // An index on a stored entry is no index.
  auto& stored = builder.AddStored("stored-index.txt", Text(5000, 9));
  testing_support::DeflatePieces(Text(5000, 9), 2000, 6, lengths);
  stored.centralExtra = testing_support::PieceIndexField(2000, lengths);
  Open(builder.Build());
  EXPECT_EQ(ExpectSameAsStreaming(), (std::vector<std::size_t>{0, 0, 0}));

  zip::ZipEntryJob job;
  ASSERT_TRUE(zip::ZipPrepareEntryJob(archive_, 0, job));
  zip::ZipJobScratch scratch;
  testing_support::PiecedFileWrite noFile;
  EXPECT_EQ(noFile.Begin(job, -1), 0u);
  EXPECT_EQ(noFile.Finish(scratch), ZipError::kInvalidParameter);
  testing_support::PiecedFileWrite noJob;
  const zip::ZipEntryJob none;
  EXPECT_EQ(noJob.Begin(none, NewFile("none")), 0u);
  EXPECT_EQ(noJob.Finish(scratch), ZipError::kInvalidParameter);
  EXPECT_EQ(testing_support::ReadFileBytes(temp_ / "none"), "");
}

TEST_F(ZipPiecedWriteTest, PiecesThatDoNotDescribeTheJobAreNotWritten) {
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const std::string text = Text(300000, 10);
  AddPieced(builder, "text.txt", text, 100000, lengths);
  Open(builder.Build());
  zip::ZipEntryJob job;
  ASSERT_TRUE(zip::ZipPrepareEntryJob(archive_, 0, job));
  ASSERT_EQ(job.pieces.size(), 3u);
  // The job's list is the caller's to change: Begin checks it again.
  std::vector<zip::ZipEntryJob> changed(4, job);
  changed[0].pieces[1].compressedOffset += 1;
  changed[1].pieces[2].uncompressedLength += 1;
  changed[2].pieces.pop_back();
  changed[3].pieces[0].uncompressedLength = 0;
  changed[3].pieces[1].uncompressedOffset = 0;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    const std::string name = "changed-" + std::to_string(i);
    testing_support::PiecedFileWrite write;
    EXPECT_EQ(write.Begin(changed[i], NewFile(name)), 0u) << i;
    zip::ZipJobScratch scratch;
    EXPECT_EQ(write.Finish(scratch), ZipError::kNone) << i;
    EXPECT_TRUE(testing_support::ReadFileBytes(temp_ / name) == text) << i;
  }
}

}  // namespace
