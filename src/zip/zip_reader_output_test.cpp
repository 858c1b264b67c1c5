// The reader's outputs: what it hands a caller's zip::ZipOutput, whether that
// takes byte ranges or gives a buffer of its own as the view, and the
// streaming reference's report of what follows a deflate stream.
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

// A caller-owned buffer of a fixed size: ranges are copied in, or, when it
// prefers a view, the buffer itself is the view. Counts what it is asked
// (read once the write has ended).
class BufferOutput final : public zip::ZipOutput {
 public:
  BufferOutput(std::size_t size, bool prefersView) : bytes(size, '\0'), prefersView_(prefersView) {}

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
  bool PrefersView() const override { return prefersView_; }
  unsigned char* MapView(std::uint64_t size) override {
    ++views;
    return size == bytes.size() ? reinterpret_cast<unsigned char*>(&bytes[0]) : nullptr;
  }
  bool UnmapView() override {
    written = bytes.size();
    return true;
  }

  std::string bytes;
  std::uint64_t written = 0;
  int writes = 0;
  int resets = 0;
  int views = 0;

 private:
  bool prefersView_;
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

TEST_F(ZipOutputTest, ALargeEntryGoesIntoTheViewOfAnOutputThatPrefersOneAndAsRangesOtherwise) {
  const std::string text = Text(3 * 1024 * 1024 + 5);
  ZipBuilder builder;
  builder.AddDeflated("large.txt", text);
  Open(builder.Build());
  const zip::ZipEntryJob job = Job(0);
  zip::ZipJobScratch scratch;

  BufferOutput viewed(text.size(), true);
  EXPECT_EQ(zip::ZipWriteEntryJob(job, viewed, scratch), ZipError::kNone);
  EXPECT_TRUE(viewed.bytes == text);
  EXPECT_EQ(viewed.views, 1);
  EXPECT_EQ(viewed.writes, 0);

  BufferOutput ranges(text.size(), false);
  EXPECT_EQ(zip::ZipWriteEntryJob(job, ranges, scratch), ZipError::kNone);
  EXPECT_TRUE(ranges.bytes == text);
  EXPECT_EQ(ranges.views, 0);
  EXPECT_GT(ranges.writes, 1);  // streamed through a bounded buffer
}

TEST_F(ZipOutputTest, AViewThatCannotBeGivenIsResetAndTheEntryStreamed) {
  const std::string text = Text(1024 * 1024);
  ZipBuilder builder;
  builder.AddDeflated("large.txt", text);
  Open(builder.Build());
  zip::ZipJobScratch scratch;
  // One byte more than the entry: the output gives no view of that size.
  BufferOutput output(text.size() + 1, true);
  EXPECT_EQ(zip::ZipWriteEntryJob(Job(0), output, scratch), ZipError::kNone);
  EXPECT_EQ(output.views, 1);
  EXPECT_EQ(output.resets, 1);
  EXPECT_EQ(output.written, text.size());
  EXPECT_TRUE(output.bytes.compare(0, text.size(), text) == 0);
}

TEST_F(ZipOutputTest, AnOutputThatRefusesAWriteFailsTheEntryAsAFileWrite) {
  ZipBuilder builder;
  builder.AddDeflated("small.txt", Text(5000));
  builder.AddStored("stored.txt", Text(5000));
  Open(builder.Build());
  zip::ZipJobScratch scratch;
  for (std::uint32_t i = 0; i < 2; ++i) {
    BufferOutput tooSmall(100, false);
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
  for (const bool prefersView : {true, false}) {
    BufferOutput output(text.size(), prefersView);
    zip::ZipPiecedWrite write;
    ASSERT_EQ(write.Begin(job, output), 6u) << prefersView;
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
    EXPECT_EQ(error, ZipError::kNone) << prefersView;
    EXPECT_TRUE(output.bytes == text) << prefersView;
    EXPECT_EQ(output.resets, 0) << prefersView;
    EXPECT_EQ(output.writes, prefersView ? 0 : 6) << prefersView;
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
    BufferOutput output(text.size(), false);
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
