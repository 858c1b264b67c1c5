// The reader's outputs: the byte ranges it hands a caller's zip::ZipOutput,
// and the streaming reference's report of what follows a deflate stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/zip_builder.h"
#include "zip/zip_pieces.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ZipBuilder;
using zip::ZipError;

std::string Text(std::size_t size) {
  return testing_support::NumberedText(size, "output test");
}

// A caller-owned buffer of a fixed size that ranges are copied into. Counts
// what it is asked (read once the write has ended).
class BufferOutput final : public zip::ZipOutput {
 public:
  explicit BufferOutput(std::size_t size) : bytes(size, '\0') {}

  // Pieces may come from several threads at once.
  bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++writes;
    if (offset > bytes.size() || size > bytes.size() - offset) {
      return false;
    }
    std::memcpy(&bytes[offset], data, size);
    written = offset + size > written ? offset + size : written;
    return true;
  }
  bool Reset() override {
    ++resets;
    written = 0;
    return true;
  }

  std::string bytes;
  std::uint64_t written = 0;
  int writes = 0;
  int resets = 0;

 private:
  std::mutex mutex_;
};

class ZipOutputTest : public ::testing::Test {
 protected:
  void TearDown() override { zip::ZipClose(archive_); }

  void Open(const std::string& bytes) {
    bytes_ = bytes;
    ASSERT_TRUE(zip::ZipOpenMemory(archive_, bytes_.data(), bytes_.size()));
  }

  zip::ZipEntryJob Job(std::uint32_t index) {
    zip::ZipEntryJob job;
    EXPECT_TRUE(zip::ZipPrepareEntryJob(archive_, index, job));
    return job;
  }

  std::string bytes_;
  zip::ZipArchive archive_;
};

// A small entry is decoded whole and put with one write; a large one without
// pieces is streamed, so that no buffer grows with the entry.
TEST_F(ZipOutputTest, ASmallEntryIsPutWithOneWriteAndALargeOneStreamed) {
  const std::string small = Text(100 * 1024);
  const std::string large = Text(3 * 1024 * 1024 + 5);
  ZipBuilder builder;
  builder.AddDeflated("small.txt", small);
  builder.AddDeflated("large.txt", large);
  Open(builder.Build());
  zip::ZipJobScratch scratch;

  BufferOutput whole(small.size());
  EXPECT_EQ(zip::ZipWriteEntryJob(Job(0), whole, scratch), ZipError::kNone);
  EXPECT_TRUE(whole.bytes == small);
  EXPECT_EQ(whole.writes, 1);

  BufferOutput ranges(large.size());
  EXPECT_EQ(zip::ZipWriteEntryJob(Job(1), ranges, scratch), ZipError::kNone);
  EXPECT_TRUE(ranges.bytes == large);
  EXPECT_GT(ranges.writes, 1);
  EXPECT_EQ(ranges.resets, 0);
}

TEST_F(ZipOutputTest, AnOutputThatRefusesAWriteFailsTheEntryAsAFileWrite) {
  ZipBuilder builder;
  builder.AddDeflated("small.txt", Text(5000));
  builder.AddStored("stored.txt", Text(5000));
  Open(builder.Build());
  zip::ZipJobScratch scratch;
  for (std::uint32_t i = 0; i < 2; ++i) {
    BufferOutput tooSmall(100);
    EXPECT_EQ(zip::ZipWriteEntryJob(Job(i), tooSmall, scratch), ZipError::kFileWriteFailed) << i;
    EXPECT_EQ(zip::ZipStreamEntryJob(Job(i), tooSmall), ZipError::kFileWriteFailed) << i;
  }
}

TEST_F(ZipOutputTest, PiecesGoIntoACallersBufferOnSeveralThreads) {
  const std::string text = Text(5 * 1024 * 1024 + 77);
  std::vector<std::uint32_t> lengths;
  ZipBuilder builder;
  auto& entry = builder.AddDeflated("pieced.txt", text);
  entry.data = testing_support::DeflatePieces(text, 1 << 20, 6, lengths);
  entry.centralExtra = testing_support::PieceIndexField(1 << 20, lengths);
  Open(builder.Build());
  const zip::ZipEntryJob job = Job(0);
  {
    BufferOutput output(text.size());
    zip::ZipPiecedWrite write;
    ASSERT_EQ(write.Begin(job, output), 6u);
    ZipError error = ZipError::kInternalError;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&write, &error] {
        zip::ZipJobScratch scratch;
        std::size_t piece = 0;
        while (write.ClaimPiece(piece)) {
          if (write.WritePiece(piece, scratch)) {
            error = write.Finish(scratch);
          }
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    EXPECT_EQ(error, ZipError::kNone);
    EXPECT_TRUE(output.bytes == text);
    EXPECT_EQ(output.resets, 0);
    EXPECT_EQ(output.writes, 6);
  }
}

TEST_F(ZipOutputTest, TheStreamingReferenceReportsTheBytesAfterTheDeflateStream) {
  const std::string text = Text(20000);
  ZipBuilder builder;
  builder.AddDeflated("exact.txt", text);
  builder.AddDeflated("trailing.txt", text).data = testing_support::DeflateRaw(text) + "tail!";
  Open(builder.Build());
  const std::uint64_t expectedUnused[] = {0, 5};
  for (std::uint32_t i = 0; i < 2; ++i) {
    BufferOutput output(text.size());
    std::uint64_t unused = 99;
    // The trailing bytes are ignored: the entry itself is sound.
    EXPECT_EQ(zip::ZipStreamEntryJob(Job(i), output, &unused), ZipError::kNone) << i;
    EXPECT_EQ(unused, expectedUnused[i]) << i;
    EXPECT_TRUE(output.bytes == text) << i;
  }
}

TEST(ZipPieceDecoder, DecodesInTurnUpToTheFirstPieceThatFails) {
  const std::string text = Text(4 * 65536 + 10);
  std::vector<std::uint32_t> lengths;
  std::string data = testing_support::DeflatePieces(text, 65536, 6, lengths);
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(zip::ZipPiecesFromIndex(testing_support::PieceIndexField(65536, lengths), data.size(),
                                      text.size(), pieces));
  ASSERT_EQ(pieces.size(), 5u);
  zip::ZipPieceDecoder decoder;
  std::uint32_t crc = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  EXPECT_EQ(decoder.DecodeInTurn(bytes, pieces, crc), 5u);
  EXPECT_EQ(crc, testing_support::Crc32(text));
  // The third piece's sync-flush marker broken: two pieces decode.
  const std::size_t thirdEnd =
      static_cast<std::size_t>(pieces[2].compressedOffset + pieces[2].compressedLength);
  data[thirdEnd - 1] = '\0';
  bytes = reinterpret_cast<const unsigned char*>(data.data());
  crc = 0x5EED;
  EXPECT_EQ(decoder.DecodeInTurn(bytes, pieces, crc), 2u);
  EXPECT_EQ(crc, 0x5EEDu);
}

}  // namespace
