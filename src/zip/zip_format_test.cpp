#include "zip/zip_format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// ---------------------------------------------------------------------------
// MS-DOS date and time

TEST(ZipFormatDosStamp, EncodesWithTwoSecondResolution) {
  const zip::DosStamp stamp = zip::DosStampFromCivil(zip::CivilTime{2024, 2, 29, 23, 59, 59});
  EXPECT_EQ(stamp.date, ((2024 - 1980) << 9) | (2 << 5) | 29);
  EXPECT_EQ(stamp.time, (23 << 11) | (59 << 5) | 29);
  const zip::CivilTime back = zip::CivilFromDosStamp(stamp);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.second, 58);
  EXPECT_TRUE(zip::IsValidDosStamp(stamp));
}

TEST(ZipFormatDosStamp, ClampsToTheRepresentableRange) {
  const zip::DosStamp early = zip::DosStampFromCivil(zip::CivilTime{1979, 12, 31, 23, 59, 59});
  EXPECT_EQ(early.date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(early.time, 0);
  const zip::DosStamp late = zip::DosStampFromCivil(zip::CivilTime{2108, 1, 1, 0, 0, 0});
  EXPECT_EQ(late.date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(late.time, (23 << 11) | (59 << 5) | 29);
  const zip::DosStamp leap = zip::DosStampFromCivil(zip::CivilTime{2016, 12, 31, 23, 59, 60});
  EXPECT_EQ(leap.time & 0x1F, 29);
}

TEST(ZipFormatDosStamp, RecognisesInvalidStamps) {
  EXPECT_FALSE(zip::IsValidDosStamp(zip::DosStamp{0, 0}));  // month 0
  EXPECT_FALSE(zip::IsValidDosStamp(
      zip::DosStamp{static_cast<std::uint16_t>((41 << 9) | (2 << 5) | 29), 0}));  // 2021-02-29
  EXPECT_FALSE(zip::IsValidDosStamp(
      zip::DosStamp{static_cast<std::uint16_t>((41 << 9) | (1 << 5) | 1), 24 << 11}));
}

}  // namespace
