#include "starter/identity_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::uint16_t LittleEndian16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return LittleEndian16(bytes) | static_cast<std::uint32_t>(LittleEndian16(bytes + 2)) << 16;
}

TEST(IdentityBlock, LaysOutTheTextsAfterTheMarkerAndTheFlag) {
  static constexpr IdentityBlock block = MakeIdentityBlock(u"app", u"\\a\\b.exe", kIdentityOpen);
  unsigned char bytes[sizeof block];
  std::memcpy(bytes, &block, sizeof block);
  EXPECT_EQ(std::memcmp(bytes, kIdentityMarker, sizeof kIdentityMarker), 0);
  EXPECT_EQ(LittleEndian32(bytes + kIdentityFilledOffset), kIdentityOpen);
  EXPECT_EQ(LittleEndian16(bytes + kIdentityNameLengthOffset), 3);
  EXPECT_EQ(LittleEndian16(bytes + kIdentityExePathLengthOffset), 8);
  EXPECT_EQ(LittleEndian16(bytes + kIdentityNameOffset), u'a');
  EXPECT_EQ(LittleEndian16(bytes + kIdentityNameOffset + 4), u'p');
  EXPECT_EQ(LittleEndian16(bytes + kIdentityNameOffset + 6), 0);
  EXPECT_EQ(LittleEndian16(bytes + kIdentityExePathOffset), u'\\');
  EXPECT_EQ(LittleEndian16(bytes + kIdentityExePathOffset + 14), u'e');
  for (std::size_t i = kIdentityExePathOffset + 16; i < sizeof bytes; ++i) {
    ASSERT_EQ(bytes[i], 0) << "at " << i;
  }
}

TEST(IdentityBlock, ThisImageCarriesTheDefaultsFilledAndReadsThem) {
  EXPECT_EQ(std::memcmp(kIdentityBlock.marker, kIdentityMarker, sizeof kIdentityMarker), 0);
  EXPECT_EQ(kIdentityBlock.filled, kIdentityFilled);
  EXPECT_EQ(kAppName, L"quillorbite");
  EXPECT_EQ(kExeRelativePath, L"\\quillorbite\\Binaries\\Win64\\quillorbite-Win64-Shipping.exe");
  EXPECT_EQ(kAppName.size(), kIdentityBlock.nameLength);
}

TEST(IdentityText, TakesTheUnitsInUseAndNoMoreThanTheCapacity) {
  const char16_t units[] = {u'a', u'b', u'c', u'd'};
  EXPECT_EQ(IdentityText(units, 2, 4), L"ab");
  EXPECT_EQ(IdentityText(units, 0, 4), L"");
  EXPECT_EQ(IdentityText(units, 60000, 3), L"abc");
}

TEST(IdentityText, JoinsSurrogatePairsWhereWideCharactersHoldThem) {
  // U+1F600 as the pair D83D DE00, between two plain letters.
  const char16_t units[] = {u'x', 0xD83D, 0xDE00, u'y'};
  const std::wstring text = IdentityText(units, 4, 4);
  if (sizeof(wchar_t) >= 4) {
    EXPECT_EQ(text, std::wstring(L"x") + static_cast<wchar_t>(0x1F600) + L"y");
  } else {
    EXPECT_EQ(text, std::wstring(
                        {L'x', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), L'y'}));
  }
}

TEST(IdentityText, KeepsALoneSurrogateAsItIs) {
  const char16_t high[] = {u'x', 0xD83D};
  EXPECT_EQ(IdentityText(high, 2, 2), std::wstring({L'x', static_cast<wchar_t>(0xD83D)}));
  const char16_t low[] = {0xDE00, u'y'};
  EXPECT_EQ(IdentityText(low, 2, 2), std::wstring({static_cast<wchar_t>(0xDE00), L'y'}));
}

}  // namespace
