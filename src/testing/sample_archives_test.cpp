#include "testing/sample_archives.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testing/zip_write_fixture.h"
#include "zip/zip_format.h"
#include "zip/zip_pieces.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::WrittenEntry;

class StoredPieceSeeds : public testing_support::ZipWriteFixture {
 protected:
  std::string Seed(const std::string& name) {
    for (const auto& [seedName, bytes] : testing_support::StoredPieceSeedArchives()) {
      if (seedName == name) {
        return bytes;
      }
    }
    ADD_FAILURE() << "no seed " << name;
    return std::string();
  }

  // Entry `index` written by a pieced write on `threads` threads; `pieces`
  // gets what Begin returned.
  WrittenEntry Pieced(std::uint32_t index, unsigned threads, std::size_t& pieces) {
    zip::ZipEntryJob job;
    EXPECT_TRUE(zip::ZipPrepareEntryJob(archive_, index, job));
    return PiecedOnThreads(
        job, threads, "pieced-" + std::to_string(index) + "-" + std::to_string(threads), pieces);
  }
};

TEST_F(StoredPieceSeeds, TheHonestSeedsPiecesEachDecodeAlone) {
  Open(Seed("pieces_stored.zip"));
  ASSERT_EQ(zip::ZipEntryCount(archive_), 1u);
  zip::ZipEntryRecord record;
  ASSERT_TRUE(zip::ZipReadEntryRecord(archive_, 0, record));
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(zip::ZipLocateEntryData(archive_, 0, data, length));
  ASSERT_TRUE(zip::ZipPiecesFromIndex(record.central.extra, record.location.compressedSize,
                                      record.location.uncompressedSize, pieces));
  ASSERT_EQ(pieces.size(), 3u);
  // The stored pieces: two blocks and the empty one; one final block.
  EXPECT_EQ(pieces[1].compressedLength, 1000u + 3 * 5);
  EXPECT_EQ(pieces[2].compressedLength, 700u + 5);
  EXPECT_EQ(data[pieces[2].compressedOffset], 0x01);
  const WrittenEntry reference = Streamed(0);
  ASSERT_EQ(reference.error, zip::ZipError::kNone);
  zip::ZipPieceDecoder decoder;
  std::string joined(static_cast<std::size_t>(record.location.uncompressedSize), '\0');
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::uint32_t crc = 0;
    EXPECT_TRUE(decoder.Decode(
        data + pieces[i].compressedOffset, pieces[i].compressedLength, i + 1 == pieces.size(),
        reinterpret_cast<unsigned char*>(&joined[0]) + pieces[i].uncompressedOffset,
        pieces[i].uncompressedLength, crc))
        << i;
  }
  EXPECT_TRUE(joined == reference.bytes);
  std::size_t begun = 0;
  EXPECT_TRUE(Pieced(0, 2, begun).bytes == reference.bytes);
  EXPECT_EQ(begun, 3u);
}

TEST_F(StoredPieceSeeds, TheLyingSeedsFailAsAOnePassDecodeDoesOnAnyThreads) {
  Open(Seed("pieces_stored_lying.zip"));
  // Only the piece without the closing empty block is still a whole stream.
  const std::map<std::string, bool> decodes = {{"stored_lying/nlen.bin", false},
                                               {"stored_lying/past_end.bin", false},
                                               {"stored_lying/short.bin", false},
                                               {"stored_lying/no_sync.bin", true},
                                               {"stored_lying/not_final.bin", false}};
  ASSERT_EQ(zip::ZipEntryCount(archive_), decodes.size());
  for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive_); ++i) {
    zip::ZipEntryRecord record;
    ASSERT_TRUE(zip::ZipReadEntryRecord(archive_, i, record));
    const WrittenEntry reference = Streamed(i);
    EXPECT_EQ(reference.error == zip::ZipError::kNone, decodes.at(std::string(record.central.name)))
        << std::string(record.central.name);
    for (const unsigned threads : {1u, 3u}) {
      std::size_t begun = 0;
      testing_support::ExpectSameOutcome(
          Pieced(i, threads, begun), reference,
          std::string(record.central.name) + ", " + std::to_string(threads));
    }
  }
}

TEST_F(StoredPieceSeeds, TheMixedSeedsGiveTheStreamedOutcomeOnAnyThreads) {
  Open(testing_support::MixedStoredPiecesArchive());
  // Whether a one-pass decode takes each entry.
  const std::map<std::string, bool> decodes = {{"stored_mixed/stored_then_huffman.bin", true},
                                               {"stored_mixed/huffman_then_stored.bin", true},
                                               {"stored_mixed/padded_and_empty.bin", true},
                                               {"stored_mixed/last_huffman.bin", true},
                                               {"stored_mixed/final_inside.bin", false},
                                               {"stored_mixed/final_closing.bin", false},
                                               {"stored_mixed/byte_after_final.bin", true},
                                               {"stored_mixed/reserved_type.bin", false}};
  ASSERT_EQ(zip::ZipEntryCount(archive_), decodes.size());
  for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive_); ++i) {
    zip::ZipEntryRecord record;
    ASSERT_TRUE(zip::ZipReadEntryRecord(archive_, i, record));
    const std::string name(record.central.name);
    const WrittenEntry reference = Streamed(i);
    EXPECT_EQ(reference.error == zip::ZipError::kNone, decodes.at(name)) << name;
    for (const unsigned threads : {1u, 3u}) {
      std::size_t begun = 0;
      testing_support::ExpectSameOutcome(Pieced(i, threads, begun), reference,
                                         name + ", " + std::to_string(threads));
      EXPECT_EQ(begun, 3u) << name;
    }
  }
}

// Every entry of every fuzzer seed, written in pieces where it has them,
// against the streaming reference.
TEST_F(StoredPieceSeeds, EveryFuzzerSeedWrittenInPiecesGivesTheStreamedOutcome) {
  std::size_t piecedEntries = 0;
  for (const auto& [seedName, bytes] : testing_support::FuzzSeedArchives()) {
    zip::ZipClose(archive_);
    bytes_ = bytes;
    if (!zip::ZipOpenMemory(archive_, bytes_.data(), bytes_.size())) {
      continue;
    }
    for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive_); ++i) {
      zip::ZipEntryJob job;
      if (!zip::ZipPrepareEntryJob(archive_, i, job)) {
        continue;
      }
      const WrittenEntry reference = Streamed(i);
      for (const unsigned threads : {1u, 3u}) {
        std::size_t begun = 0;
        testing_support::ExpectSameOutcome(
            PiecedOnThreads(job, threads, "pieced-" + std::to_string(threads), begun), reference,
            seedName + " entry " + std::to_string(i) + ", " + std::to_string(threads));
        piecedEntries += begun > 0;
      }
    }
  }
  EXPECT_GT(piecedEntries, 0u);
}

// The honest seed with each byte of each block header changed: the final
// bit, the block type, the unused bits, LEN and NLEN.
TEST_F(StoredPieceSeeds, ChangedStoredHeadersGiveTheStreamedOutcome) {
  const std::string honest = Seed("pieces_stored.zip");
  Open(honest);
  zip::ZipEntryRecord record;
  ASSERT_TRUE(zip::ZipReadEntryRecord(archive_, 0, record));
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(zip::ZipLocateEntryData(archive_, 0, data, length));
  ASSERT_TRUE(zip::ZipPiecesFromIndex(record.central.extra, record.location.compressedSize,
                                      record.location.uncompressedSize, pieces));
  ASSERT_EQ(pieces.size(), 3u);
  const auto dataOffset =
      static_cast<std::size_t>(data - reinterpret_cast<const unsigned char*>(bytes_.data()));
  // Where the stored pieces' blocks start, read from the honest data.
  constexpr std::size_t kHeaderLength = 5;
  std::vector<std::size_t> headers;
  for (std::size_t piece = 1; piece < pieces.size(); ++piece) {
    const std::size_t start = dataOffset + static_cast<std::size_t>(pieces[piece].compressedOffset);
    const std::size_t end = start + static_cast<std::size_t>(pieces[piece].compressedLength);
    for (std::size_t at = start; at < end;
         at += kHeaderLength +
               zip::LoadLe16(reinterpret_cast<const unsigned char*>(honest.data()) + at + 1)) {
      headers.push_back(at);
    }
  }
  ASSERT_EQ(headers.size(), 4u);  // two blocks and the empty one, then the final one
  for (const std::size_t header : headers) {
    for (std::size_t at = header; at < header + kHeaderLength; ++at) {
      for (const unsigned mask : {0x01u, 0x02u, 0x04u, 0x08u, 0x80u, 0xFFu}) {
        std::string changed = honest;
        changed[at] = static_cast<char>(changed[at] ^ mask);
        zip::ZipClose(archive_);
        Open(changed);
        const std::string what = std::to_string(at) + " ^ " + std::to_string(mask);
        const WrittenEntry reference = Streamed(0);
        for (const unsigned threads : {1u, 3u}) {
          std::size_t begun = 0;
          testing_support::ExpectSameOutcome(Pieced(0, threads, begun), reference,
                                             what + ", " + std::to_string(threads));
        }
        if (HasFailure()) {
          return;
        }
      }
    }
  }
}

}  // namespace
