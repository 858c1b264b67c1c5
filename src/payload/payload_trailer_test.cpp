#include "payload/payload_trailer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Trailer = std::array<unsigned char, kPayloadTrailerSize>;

std::uint64_t ReadLittleEndian(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return value;
}

// FNV-1a over the first 28 bytes, written out here independently.
void Reseal(Trailer& trailer) {
  std::uint32_t hash = 0x811C9DC5u;
  for (int i = 0; i < 28; ++i) {
    hash ^= trailer[i];
    hash *= 0x01000193u;
  }
  for (int i = 0; i < 4; ++i) {
    trailer[28 + i] = static_cast<unsigned char>(hash >> (8 * i));
  }
}

void Put64(Trailer& trailer, int at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    trailer[at + i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

TEST(PayloadTrailer, EncodesTheFieldsAtTheirOffsets) {
  const Trailer trailer = EncodePayloadTrailer(0x123456789A, 0xCAFE01);
  EXPECT_EQ(std::string(trailer.begin(), trailer.begin() + 8), "STARTZIP");
  EXPECT_EQ(ReadLittleEndian(&trailer[8], 8), 0x123456789Au);
  EXPECT_EQ(ReadLittleEndian(&trailer[16], 8), 0xCAFE01u);
  EXPECT_EQ(ReadLittleEndian(&trailer[24], 4), 1u);
  Trailer resealed = trailer;
  Reseal(resealed);
  EXPECT_EQ(resealed, trailer);
}

TEST(PayloadTrailer, ReadsBackAnArchiveThatEndsWhereTheTrailerBegins) {
  const Trailer trailer = EncodePayloadTrailer(70000, 5000);
  const std::optional<PayloadTrailer> parsed = ParsePayloadTrailer(trailer.data(), 75032);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->archiveOffset, 70000u);
  EXPECT_EQ(parsed->archiveLength, 5000u);
  // An archive at the very start of the file, and an empty one, are both
  // where the trailer says.
  EXPECT_TRUE(ParsePayloadTrailer(EncodePayloadTrailer(0, 100).data(), 132).has_value());
  EXPECT_TRUE(ParsePayloadTrailer(EncodePayloadTrailer(100, 0).data(), 132).has_value());
}

TEST(PayloadTrailer, RefusesOffsetsAndLengthsThatDoNotMeetTheFileSize) {
  const Trailer trailer = EncodePayloadTrailer(70000, 5000);
  EXPECT_FALSE(ParsePayloadTrailer(trailer.data(), 75031));  // a byte short
  EXPECT_FALSE(ParsePayloadTrailer(trailer.data(), 75033));  // a byte between
  EXPECT_FALSE(ParsePayloadTrailer(trailer.data(), 31));     // no room for itself
  EXPECT_FALSE(ParsePayloadTrailer(trailer.data(), 0));
}

TEST(PayloadTrailer, RefusesSumsThatWrapAndLengthsFromFourGibibytes) {
  Trailer wrapping = EncodePayloadTrailer(0, 0);
  // offset + length + 32 wraps around to the file size 100.
  Put64(wrapping, 8, UINT64_MAX - 31);
  Put64(wrapping, 16, 100);
  Reseal(wrapping);
  EXPECT_FALSE(ParsePayloadTrailer(wrapping.data(), 100));

  Trailer huge = EncodePayloadTrailer(0, 0);
  Put64(huge, 8, 16);
  Put64(huge, 16, 0x100000000ull);  // exactly 4 GiB
  Reseal(huge);
  EXPECT_FALSE(ParsePayloadTrailer(huge.data(), 16 + 0x100000000ull + 32));
}

TEST(PayloadTrailer, RefusesADamagedMagicVersionOrChecksum) {
  const Trailer good = EncodePayloadTrailer(64, 36);
  ASSERT_TRUE(ParsePayloadTrailer(good.data(), 132));
  for (int at : {0, 7, 8, 16, 24, 28, 31}) {
    Trailer damaged = good;
    damaged[at] ^= 0x01;
    EXPECT_FALSE(ParsePayloadTrailer(damaged.data(), 132)) << "byte " << at;
  }
  Trailer otherVersion = good;
  otherVersion[24] = 2;
  Reseal(otherVersion);
  EXPECT_FALSE(ParsePayloadTrailer(otherVersion.data(), 132));
}

}  // namespace
