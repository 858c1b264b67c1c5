// Writes that the caller asks to stop: each way of writing an entry asks
// between its buffers or pieces, stops at the first answer of yes having
// written no more than the buffers before it, and without the request,
// or with one that never says stop, writes exactly what the reference does.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/entry_files.h"
#include "testing/zip_builder.h"
#include "testing/zip_write_fixture.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ZipBuilder;
using zip::ZipError;
using Written = testing_support::WrittenEntry;

// The streaming decoder's largest output buffer and the stored chunk.
constexpr std::size_t kStreamBuffer = 512 * 1024;
constexpr std::size_t kStoredChunk = 4 * 1024 * 1024;

// Says stop from the ask after the first `allowed` on, counting every ask.
struct StopAfter {
  explicit StopAfter(int allowedAsks) : allowed(allowedAsks) {}
  int allowed;
  mutable std::atomic<int> asks{0};

  zip::ZipStopRequest Request() const { return zip::ZipStopRequest{&Ask, this}; }

  static bool Ask(const void* context) {
    const auto* self = static_cast<const StopAfter*>(context);
    return self->asks.fetch_add(1) + 1 > self->allowed;
  }
};

class ZipStopRequestTest : public testing_support::ZipWriteFixture {
 protected:
  // Entry `index` written by ZipWriteEntryJob with `stop`.
  Written Job(std::uint32_t index, const zip::ZipStopRequest& stop, const std::string& name) {
    zip::ZipEntryJob job;
    EXPECT_TRUE(zip::ZipPrepareEntryJob(archive_, index, job));
    EXPECT_EQ(job.stop.requested, nullptr);  // the caller's to set
    job.stop = stop;
    zip::ZipJobScratch scratch;
    const ZipError error = testing_support::WriteJobToFile(job, NewFile(name), scratch);
    return Read(name, error);
  }

  // Entry `index` written piece by piece by `threads` threads with `stop`;
  // `pieces` gets what Begin returned.
  Written Pieced(std::uint32_t index, unsigned threads, const zip::ZipStopRequest& stop,
                 const std::string& name, std::size_t& pieces) {
    zip::ZipEntryJob job;
    EXPECT_TRUE(zip::ZipPrepareEntryJob(archive_, index, job));
    job.stop = stop;
    return PiecedOnThreads(job, threads, name, pieces);
  }

  static testing_support::ZipBuilderEntry& AddPieced(ZipBuilder& builder, const std::string& name,
                                                     const std::string& content,
                                                     std::uint32_t pieceSize) {
    std::vector<std::uint32_t> lengths;
    auto& entry = builder.AddDeflated(name, content);
    entry.data = testing_support::DeflatePieces(content, pieceSize, 1, lengths);
    entry.centralExtra = testing_support::PieceIndexField(pieceSize, lengths);
    return entry;
  }
};

TEST_F(ZipStopRequestTest, TheErrorHasItsText) {
  EXPECT_STREQ(zip::ZipErrorText(ZipError::kStopped), "stopped on request");
}

TEST_F(ZipStopRequestTest, ALargeEntryWithoutPiecesIsStreamedAndStopsAtTheNextBuffer) {
  // More than one decode may take without asking: streamed, buffer by buffer.
  const std::string large = testing_support::NumberedText(70u << 20, "stop test 1");
  ZipBuilder builder;
  builder.AddDeflated("large.txt", large).deflateLevel = 1;
  Open(builder.Build());

  const StopAfter stop(3);
  const Written written = Job(0, stop.Request(), "stopped");
  EXPECT_EQ(written.error, ZipError::kStopped);
  // Asked once before the write and before each buffer: stopped at the
  // fourth ask, with no more than the buffers before it written.
  EXPECT_EQ(stop.asks.load(), 4);
  EXPECT_LE(written.bytes.size(), 2 * kStreamBuffer);
  EXPECT_TRUE(written.bytes == large.substr(0, written.bytes.size()));

  // A request that never says stop changes nothing.
  const Written reference = Streamed(0);
  const StopAfter never(1 << 30);
  const Written whole = Job(0, never.Request(), "whole");
  testing_support::ExpectSameOutcome(whole, reference, "never stopped");
  EXPECT_TRUE(whole.bytes == large);
  EXPECT_GT(never.asks.load(), static_cast<int>(large.size() / kStreamBuffer));
  // Nor does its absence (where the entry may be decoded in one call).
  testing_support::ExpectSameOutcome(Job(0, zip::ZipStopRequest{}, "no-request"), reference,
                                     "no request");
}

TEST_F(ZipStopRequestTest, AStoredEntryStopsAtTheNextChunk) {
  const std::string stored = testing_support::NumberedText(5 * kStoredChunk + 7, "stop test 2");
  ZipBuilder builder;
  builder.AddStored("stored.txt", stored);
  Open(builder.Build());

  const StopAfter stop(3);
  const Written written = Job(0, stop.Request(), "stopped");
  EXPECT_EQ(written.error, ZipError::kStopped);
  EXPECT_EQ(stop.asks.load(), 4);
  EXPECT_EQ(written.bytes.size(), 2 * kStoredChunk);

  const StopAfter never(1 << 30);
  testing_support::ExpectSameOutcome(Job(0, never.Request(), "whole"), Streamed(0), "stored");
}

TEST_F(ZipStopRequestTest, ASmallEntryIsNotBegunOnceStopIsAsked) {
  ZipBuilder builder;
  builder.AddDeflated("small.txt", testing_support::NumberedText(100000, "stop test 3"));
  Open(builder.Build());
  const StopAfter stop(0);
  const Written written = Job(0, stop.Request(), "stopped");
  EXPECT_EQ(written.error, ZipError::kStopped);
  EXPECT_EQ(stop.asks.load(), 1);
  EXPECT_EQ(written.bytes, "");

  const StopAfter never(1 << 30);
  testing_support::ExpectSameOutcome(Job(0, never.Request(), "whole"), Streamed(0), "small");
}

TEST_F(ZipStopRequestTest, APiecedWriteStopsAtTheNextPieceAndIsNotWrittenAgain) {
  constexpr std::uint32_t kPieceSize = 1 << 20;
  constexpr std::size_t kPieces = 24;
  const std::string text = testing_support::NumberedText(kPieces * kPieceSize, "stop test 4");
  ZipBuilder builder;
  AddPieced(builder, "pieced.txt", text, kPieceSize);
  Open(builder.Build());

  // One thread: pieces 0 to 4 decoded, asked once more, and nothing after.
  const StopAfter stop(5);
  std::size_t pieces = 0;
  const Written written = Pieced(0, 1, stop.Request(), "one-thread", pieces);
  ASSERT_EQ(pieces, kPieces);
  EXPECT_EQ(written.error, ZipError::kStopped);
  EXPECT_EQ(stop.asks.load(), 6);
  // The pieces asked for after the stop were skipped, and the file was not
  // written again by the one-pass way: its end was never decoded.
  EXPECT_FALSE(
      written.bytes.size() == text.size() &&
      written.bytes.compare(5 * kPieceSize, kPieceSize, text, 5 * kPieceSize, kPieceSize) == 0);
  EXPECT_FALSE(written.bytes == text);

  // Several threads: each asks before its piece; once one has heard stop,
  // the rest skip theirs without asking.
  const StopAfter early(2);
  const Written several = Pieced(0, 4, early.Request(), "four-threads", pieces);
  EXPECT_EQ(several.error, ZipError::kStopped);
  EXPECT_LE(early.asks.load(), 2 + 4);
  EXPECT_FALSE(several.bytes == text);

  const StopAfter never(1 << 30);
  const Written whole = Pieced(0, 4, never.Request(), "whole", pieces);
  testing_support::ExpectSameOutcome(whole, Streamed(0), "never stopped");
  EXPECT_EQ(never.asks.load(), static_cast<int>(kPieces));
}

}  // namespace
