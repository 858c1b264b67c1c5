#include "pack/chunk_deflate.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pack/pack_test_support.h"

namespace {

std::string DeflateInPieces(const std::string& data, std::size_t pieceSize, int level) {
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (std::size_t offset = 0; offset < data.size(); offset += pieceSize) {
    const std::size_t length = std::min(pieceSize, data.size() - offset);
    const bool last = offset + length == data.size();
    EXPECT_TRUE(pack::DeflatePiece(bytes + offset, length, last, level, out));
  }
  return out;
}

TEST(PackChunkDeflate, JoinedPiecesInflateToTheInput) {
  const std::string data = pack_test::TextBytes(300000, 1) + pack_test::RandomBytes(50000, 2) +
                           pack_test::TextBytes(123457, 3);
  for (const std::size_t pieceSize : {std::size_t{1000}, std::size_t{65536}, data.size()}) {
    for (const int level : {1, 6, 9}) {
      const std::string packed = DeflateInPieces(data, pieceSize, level);
      std::string unpacked;
      ASSERT_TRUE(pack_test::InflateRaw(packed, unpacked)) << pieceSize << " " << level;
      EXPECT_TRUE(unpacked == data) << pieceSize << " " << level;
    }
  }
}

TEST(PackChunkDeflate, AnEarlierPieceDoesNotEndTheStream) {
  const std::string data = pack_test::TextBytes(10000, 4);
  std::string first;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  ASSERT_TRUE(pack::DeflatePiece(bytes, 5000, false, 6, first));
  // A sync flush ends in an empty stored block: 00 00 FF FF.
  ASSERT_GE(first.size(), 4u);
  EXPECT_EQ(first.substr(first.size() - 4), std::string("\x00\x00\xFF\xFF", 4));
  std::string unpacked;
  EXPECT_FALSE(pack_test::InflateRaw(first, unpacked));
}

// A repeat of the previous piece is not found: the piece carries no history,
// which is what lets it decode alone.
TEST(PackChunkDeflate, ARepeatOfTheEarlierPieceIsNotReferenced) {
  const std::string block = pack_test::RandomBytes(20000, 5);
  const std::string data = block + block;
  const std::string packed = DeflateInPieces(data, 20000, 6);
  EXPECT_GT(packed.size(), 2 * 19000u);
  const std::string whole = DeflateInPieces(data, data.size(), 6);
  EXPECT_LT(whole.size(), 21000u);  // within one piece, the repeat is found
}

// Inflates one piece on its own, without a preset dictionary; false when the
// piece does not decode (a match reaching before it fails).
bool InflatePiece(const std::string& piece, std::string& output) {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) {
    return false;
  }
  bool ok = true;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
  stream.avail_in = static_cast<uInt>(piece.size());
  output.clear();
  char buffer[65536];
  while (ok) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    const int result = inflate(&stream, Z_SYNC_FLUSH);
    output.append(buffer, sizeof buffer - stream.avail_out);
    if (result == Z_STREAM_END ||
        (result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0)) {
      break;
    }
    ok = result == Z_OK;
  }
  ok = ok && stream.avail_in == 0;
  inflateEnd(&stream);
  return ok;
}

// The writer compresses pieces on any thread in any order, each from a buffer
// holding only the piece; the archive is the same for any thread count only if
// that gives the bytes of one pass in order. Each piece must also inflate on
// its own, with no window before it.
TEST(PackChunkDeflate, APieceDependsOnlyOnItsOwnBytesAndInflatesAlone) {
  const std::string data = pack_test::TextBytes(150000, 6) + pack_test::RandomBytes(30000, 7) +
                           pack_test::TextBytes(70001, 8);
  constexpr std::size_t kPieceSize = 20000;
  const std::string inOrder = DeflateInPieces(data, kPieceSize, 6);

  std::vector<std::string> pieces((data.size() + kPieceSize - 1) / kPieceSize);
  for (std::size_t index = pieces.size(); index-- > 0;) {
    const std::size_t offset = index * kPieceSize;
    const std::size_t length = std::min(kPieceSize, data.size() - offset);
    // A copy, so that nothing before the piece is there to be read.
    const std::string buffer = data.substr(offset, length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    ASSERT_TRUE(
        pack::DeflatePiece(bytes, length, offset + length == data.size(), 6, pieces[index]));

    std::string unpacked;
    ASSERT_TRUE(InflatePiece(pieces[index], unpacked)) << index;
    EXPECT_TRUE(unpacked == buffer) << "piece " << index;
  }
  std::string joined;
  for (const std::string& piece : pieces) {
    joined += piece;
  }
  EXPECT_TRUE(joined == inOrder);
}

}  // namespace

namespace {

std::string Store(const std::string& data, bool last) {
  std::string out;
  pack::StorePiece(reinterpret_cast<const unsigned char*>(data.data()), data.size(), last, out);
  return out;
}

// Checks one stored block header at `at` of `piece`: the header byte, then
// LEN and NLEN little-endian.
void ExpectBlockHeader(const std::string& piece, std::size_t at, unsigned char header,
                       std::uint16_t length) {
  ASSERT_LE(at + 5, piece.size());
  EXPECT_EQ(static_cast<unsigned char>(piece[at]), header) << at;
  EXPECT_EQ(pack_test::Le16(piece, at + 1), length) << at;
  EXPECT_EQ(pack_test::Le16(piece, at + 3), static_cast<std::uint16_t>(~length)) << at;
}

TEST(PackStorePiece, SplitsIntoBlocksOfAtMost65535BytesAndEndsWithASyncFlush) {
  const std::string data = pack_test::RandomBytes(2 * 65535 + 100, 30);
  const std::string piece = Store(data, false);
  ASSERT_EQ(piece.size(), data.size() + 4 * 5);
  ExpectBlockHeader(piece, 0, 0x00, 65535);
  EXPECT_TRUE(piece.compare(5, 65535, data, 0, 65535) == 0);
  ExpectBlockHeader(piece, 65540, 0x00, 65535);
  EXPECT_TRUE(piece.compare(65545, 65535, data, 65535, 65535) == 0);
  ExpectBlockHeader(piece, 131080, 0x00, 100);
  EXPECT_TRUE(piece.compare(131085, 100, data, 131070, 100) == 0);
  EXPECT_EQ(piece.substr(piece.size() - 5), std::string("\x00\x00\x00\xFF\xFF", 5));
  std::string unpacked;
  EXPECT_FALSE(pack_test::InflateRaw(piece, unpacked));  // the stream goes on
}

TEST(PackStorePiece, TheLastPieceEndsWithAFinalBlockAndNothingAfterIt) {
  const std::string data = pack_test::RandomBytes(65535 + 1, 31);
  const std::string piece = Store(data, true);
  ASSERT_EQ(piece.size(), data.size() + 2 * 5);
  ExpectBlockHeader(piece, 0, 0x00, 65535);
  ExpectBlockHeader(piece, 65540, 0x01, 1);
  EXPECT_EQ(piece.back(), data.back());
  // Exactly one full block: it is the final one.
  const std::string exact = Store(data.substr(0, 65535), true);
  ASSERT_EQ(exact.size(), 65535u + 5);
  ExpectBlockHeader(exact, 0, 0x01, 65535);
  std::string unpacked;
  ASSERT_TRUE(pack_test::InflateRaw(exact, unpacked));
  EXPECT_TRUE(unpacked == data.substr(0, 65535));
}

TEST(PackStorePiece, MixesWithDeflatedPiecesIntoOneStreamThatInflatesToTheInput) {
  const std::string text = pack_test::TextBytes(100000, 32);
  const std::string noise = pack_test::RandomBytes(200000, 33);
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  for (const bool storedLast : {false, true}) {
    std::string stream = Store(noise, false);
    ASSERT_TRUE(pack::DeflatePiece(t, text.size(), !storedLast, 6, stream));
    std::string expected = noise + text;
    if (storedLast) {
      stream += Store(noise, true);
      expected += noise;
    }
    std::string unpacked;
    ASSERT_TRUE(pack_test::InflateRaw(stream, unpacked)) << storedLast;
    EXPECT_TRUE(unpacked == expected) << storedLast;
  }
}

TEST(PackStorePiece, TheThresholdComparesTheSavingWithAPercentageOfTheInput) {
  EXPECT_FALSE(pack::SavesTooLittle(2000, 1000, 0));  // 0: never
  EXPECT_TRUE(pack::SavesTooLittle(1000, 1000, 1));
  EXPECT_TRUE(pack::SavesTooLittle(1001, 1000, 1));
  EXPECT_TRUE(pack::SavesTooLittle(981, 1000, 2));   // saves 1.9%
  EXPECT_FALSE(pack::SavesTooLittle(980, 1000, 2));  // saves exactly 2%
  EXPECT_FALSE(pack::SavesTooLittle(500, 1000, 2));
  EXPECT_TRUE(pack::SavesTooLittle(1, 1000, 100));
  EXPECT_FALSE(pack::SavesTooLittle(0, 1000, 100));
  // No overflow for the largest pieces.
  EXPECT_TRUE(pack::SavesTooLittle(0xFFFFFFF0u, 0xFFFFFFFFu, 100));
  EXPECT_FALSE(pack::SavesTooLittle(0xF0000000u, 0xFFFFFFFFu, 2));
}

}  // namespace
