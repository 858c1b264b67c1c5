#include "text/text_convert.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

std::wstring FromUtf8(const std::string& text) {
  return Utf8ToWide(text.data(), text.size());
}

TEST(TextConvert, RoundTripsWellFormedText) {
  // ASCII, Latin-1, CJK and a character outside the BMP (a surrogate pair in
  // UTF-16, one code unit in UTF-32).
  const std::string samples[] = {"quillorbite", "caf\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87",
                                 "smile \xF0\x9F\x98\x80 end", ""};
  for (const std::string& utf8 : samples) {
    const std::wstring wide = FromUtf8(utf8);
    EXPECT_EQ(WideToUtf8(wide.c_str()), utf8);
  }
  EXPECT_EQ(FromUtf8("caf\xC3\xA9"), L"caf\u00E9");
  EXPECT_EQ(WideToUtf8(L"\u4E2D"), "\xE4\xB8\xAD");
}

TEST(TextConvert, EmptyAndNullGiveEmptyText) {
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(WideToUtf8(nullptr), "");
  EXPECT_EQ(Utf8ToWide("", 0), L"");
  EXPECT_EQ(Utf8ToWide("abc", 0), L"");
}

TEST(TextConvert, Utf8ToWideTakesTheGivenCountNotTheNul) {
  const char text[] = {'a', '\0', 'b'};
  EXPECT_EQ(Utf8ToWide(text, 3), std::wstring(L"a\0b", 3));
  EXPECT_EQ(Utf8ToWide("abcdef", 2), L"ab");
}

TEST(TextConvert, IllFormedUtf8IsReplacedNotRejected) {
  EXPECT_EQ(FromUtf8("a\xFF"
                     "b"),
            L"a\uFFFDb");
  EXPECT_EQ(FromUtf8("\xC3"), L"\uFFFD");  // truncated sequence
  // How many replacements an overlong form or an encoded surrogate becomes
  // differs between converters; that it becomes replacements only does not.
  for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80"}) {
    const std::wstring wide = FromUtf8(bad);
    EXPECT_FALSE(wide.empty());
    EXPECT_EQ(wide.find_first_not_of(L'\uFFFD'), std::wstring::npos);
  }
  EXPECT_EQ(FromUtf8("\xE4\xB8"
                     "x"),
            L"\uFFFDx");  // cut short by an ASCII byte
}

TEST(TextConvert, IllFormedWideTextIsReplacedNotRejected) {
  const wchar_t loneSurrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
  EXPECT_EQ(WideToUtf8(loneSurrogate),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(AppendUtf8, EncodesEachLengthAtItsBounds) {
  const std::pair<char32_t, std::string> cases[] = {{0x00, std::string(1, '\0')},
                                                    {0x7F, "\x7F"},
                                                    {0x80, "\xC2\x80"},
                                                    {0x7FF, "\xDF\xBF"},
                                                    {0x800, "\xE0\xA0\x80"},
                                                    {0xFFFF, "\xEF\xBF\xBF"},
                                                    {0x10000, "\xF0\x90\x80\x80"},
                                                    {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
  for (const auto& [point, utf8] : cases) {
    std::string out = "x";
    AppendUtf8(out, point);
    EXPECT_EQ(out, "x" + utf8) << static_cast<unsigned>(point);
  }
}

TEST(TextConvert, PathsRoundTripNonAsciiText) {
  const std::wstring text = FromUtf8("dir/caf\xC3\xA9/\xE4\xB8\xAD.txt");
  EXPECT_EQ(PathToWide(WideToPath(text)), text);
  EXPECT_EQ(WideToPath(text).u8string(), "dir/caf\xC3\xA9/\xE4\xB8\xAD.txt");
}

}  // namespace
