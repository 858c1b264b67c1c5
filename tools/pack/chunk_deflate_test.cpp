#include "pack/chunk_deflate.h"

#include <gtest/gtest.h>

#include <string>

#include "pack/pack_test_support.h"

namespace {

std::string DeflateInPieces(const std::string& data, std::size_t pieceSize, int level) {
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (std::size_t offset = 0; offset < data.size(); offset += pieceSize) {
    const std::size_t length = std::min(pieceSize, data.size() - offset);
    const bool last = offset + length == data.size();
    EXPECT_TRUE(pack::DeflatePiece(bytes, offset, bytes + offset, length, last, level, out));
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
  ASSERT_TRUE(pack::DeflatePiece(nullptr, 0, bytes, 5000, false, 6, first));
  // A sync flush ends in an empty stored block: 00 00 FF FF.
  ASSERT_GE(first.size(), 4u);
  EXPECT_EQ(first.substr(first.size() - 4), std::string("\x00\x00\xFF\xFF", 4));
  std::string unpacked;
  EXPECT_FALSE(pack_test::InflateRaw(first, unpacked));
}

TEST(PackChunkDeflate, TheDictionaryLetsRepeatsAcrossPiecesShrink) {
  const std::string block = pack_test::RandomBytes(20000, 5);
  const std::string data = block + block;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  std::string withHistory;
  std::string without;
  ASSERT_TRUE(pack::DeflatePiece(bytes, 20000, bytes + 20000, 20000, true, 6, withHistory));
  ASSERT_TRUE(pack::DeflatePiece(nullptr, 0, bytes + 20000, 20000, true, 6, without));
  EXPECT_LT(withHistory.size(), 1000u);
  EXPECT_GT(without.size(), 19000u);
}

TEST(PackChunkDeflate, IsDeterministic) {
  const std::string data = pack_test::TextBytes(200000, 6);
  EXPECT_EQ(DeflateInPieces(data, 50000, 6), DeflateInPieces(data, 50000, 6));
}

}  // namespace
