#include "pack/zip_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PackZipFormat, EncodesDosStampsWithTwoSecondResolution) {
  const pack::DosStamp stamp = pack::DosStampFromCivil(pack::CivilTime{2024, 2, 29, 23, 59, 59});
  EXPECT_EQ(stamp.date, ((2024 - 1980) << 9) | (2 << 5) | 29);
  EXPECT_EQ(stamp.time, (23 << 11) | (59 << 5) | 29);
  const pack::CivilTime back = pack::CivilFromDosStamp(stamp);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.second, 58);
  EXPECT_TRUE(pack::IsValidDosStamp(stamp));
}

TEST(PackZipFormat, ClampsDosStampsToTheRepresentableRange) {
  const pack::DosStamp early = pack::DosStampFromCivil(pack::CivilTime{1979, 12, 31, 23, 59, 59});
  EXPECT_EQ(early.date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(early.time, 0);
  const pack::DosStamp late = pack::DosStampFromCivil(pack::CivilTime{2108, 1, 1, 0, 0, 0});
  EXPECT_EQ(late.date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(late.time, (23 << 11) | (59 << 5) | 29);
  const pack::DosStamp leap = pack::DosStampFromCivil(pack::CivilTime{2016, 12, 31, 23, 59, 60});
  EXPECT_EQ(leap.time & 0x1F, 29);
}

TEST(PackZipFormat, RecognisesInvalidDosStamps) {
  EXPECT_FALSE(pack::IsValidDosStamp(pack::DosStamp{0, 0}));  // month 0
  EXPECT_FALSE(pack::IsValidDosStamp(
      pack::DosStamp{static_cast<std::uint16_t>((41 << 9) | (2 << 5) | 29), 0}));  // 2021-02-29
  EXPECT_FALSE(pack::IsValidDosStamp(
      pack::DosStamp{static_cast<std::uint16_t>((41 << 9) | (1 << 5) | 1), 24 << 11}));
}

TEST(PackZipFormat, WritesHeadersWithoutExtraFields) {
  pack::EntryHeader header;
  header.name = "dir/file";
  header.versionNeeded = 20;
  header.method = pack::kMethodDeflate;
  header.flags = 0;
  header.stamp = pack::DosStamp{0x1234, 0x5678};
  header.crc32 = 0xA1B2C3D4;
  header.compressedSize = 7;
  header.uncompressedSize = 9;
  header.externalAttributes = pack::kAttributeFile;
  header.localHeaderOffset = 0x01020304;
  std::string local;
  pack::AppendLocalHeader(local, header);
  ASSERT_EQ(local.size(), 30u + 8u);
  const auto* l = reinterpret_cast<const unsigned char*>(local.data());
  EXPECT_EQ(pack::ReadLe32(l), pack::kLocalHeaderSignature);
  EXPECT_EQ(pack::ReadLe16(l + 4), 20);
  EXPECT_EQ(pack::ReadLe16(l + 8), 8);
  EXPECT_EQ(pack::ReadLe16(l + 10), 0x5678);
  EXPECT_EQ(pack::ReadLe16(l + 12), 0x1234);
  EXPECT_EQ(pack::ReadLe32(l + 14), 0xA1B2C3D4u);
  EXPECT_EQ(pack::ReadLe32(l + 18), 7u);
  EXPECT_EQ(pack::ReadLe32(l + 22), 9u);
  EXPECT_EQ(pack::ReadLe16(l + 26), 8);
  EXPECT_EQ(pack::ReadLe16(l + 28), 0);
  EXPECT_EQ(local.substr(30), "dir/file");

  std::string central;
  pack::AppendCentralRecord(central, header);
  ASSERT_EQ(central.size(), 46u + 8u);
  const auto* c = reinterpret_cast<const unsigned char*>(central.data());
  EXPECT_EQ(pack::ReadLe32(c), pack::kCentralRecordSignature);
  EXPECT_EQ(pack::ReadLe16(c + 4), 0x003F);
  EXPECT_EQ(pack::ReadLe16(c + 30), 0);  // extra
  EXPECT_EQ(pack::ReadLe16(c + 32), 0);  // comment
  EXPECT_EQ(pack::ReadLe32(c + 38), 0x20u);
  EXPECT_EQ(pack::ReadLe32(c + 42), 0x01020304u);

  std::string end;
  pack::AppendEndRecord(end, 3, 100, 200);
  ASSERT_EQ(end.size(), 22u);
  const auto* e = reinterpret_cast<const unsigned char*>(end.data());
  EXPECT_EQ(pack::ReadLe32(e), pack::kEndRecordSignature);
  EXPECT_EQ(pack::ReadLe16(e + 8), 3);
  EXPECT_EQ(pack::ReadLe16(e + 10), 3);
  EXPECT_EQ(pack::ReadLe32(e + 12), 100u);
  EXPECT_EQ(pack::ReadLe32(e + 16), 200u);
  EXPECT_EQ(pack::ReadLe16(e + 20), 0);
}

}  // namespace
