#include "text/case_fold.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FoldCodePoint, UpperCasesAsciiLettersOnly) {
  EXPECT_EQ(FoldCodePoint(U'a'), U'A');
  EXPECT_EQ(FoldCodePoint(U'z'), U'Z');
  EXPECT_EQ(FoldCodePoint(U'A'), U'A');
  for (const char32_t c : {U'0', U'_', U'~', U'@', U'[', U'`', U'{'}) {
    EXPECT_EQ(FoldCodePoint(c), c) << static_cast<unsigned>(c);
  }
}

TEST(FoldCodePoint, UpperCasesLettersBeyondAscii) {
  EXPECT_EQ(FoldCodePoint(U'\u00E9'), U'\u00C9');  // e acute
  EXPECT_EQ(FoldCodePoint(U'\u00FF'), U'\u0178');  // y diaeresis, capital far away
  EXPECT_EQ(FoldCodePoint(U'\u0101'), U'\u0100');  // Latin Extended-A: pairs
  EXPECT_EQ(FoldCodePoint(U'\u0100'), U'\u0100');
  EXPECT_EQ(FoldCodePoint(U'\u03C9'), U'\u03A9');  // omega
  EXPECT_EQ(FoldCodePoint(U'\u03C2'), U'\u03A3');  // final sigma
  EXPECT_EQ(FoldCodePoint(U'\u0436'), U'\u0416');  // zhe
  EXPECT_EQ(FoldCodePoint(U'\u0451'), U'\u0401');  // io
  EXPECT_EQ(FoldCodePoint(U'\u0561'), U'\u0531');  // Armenian ayb
  EXPECT_EQ(FoldCodePoint(U'\u1E01'), U'\u1E00');  // Latin Extended Additional
  EXPECT_EQ(FoldCodePoint(U'\uFF41'), U'\uFF21');  // fullwidth a
}

TEST(FoldCodePoint, LeavesWhatHasNoOneToOneUpperCase) {
  EXPECT_EQ(FoldCodePoint(U'\u00DF'), U'\u00DF');          // sharp s: "SS" is two letters
  EXPECT_EQ(FoldCodePoint(U'\u00F7'), U'\u00F7');          // division sign amid the letters
  EXPECT_EQ(FoldCodePoint(U'\u0131'), U'\u0131');          // dotless i is no I to Windows
  EXPECT_EQ(FoldCodePoint(U'\u017F'), U'\u017F');          // long s is no S
  EXPECT_EQ(FoldCodePoint(U'\u4E2D'), U'\u4E2D');          // no case in Han
  EXPECT_EQ(FoldCodePoint(U'\U00010428'), U'\U00010428');  // beyond the BMP
}

TEST(FoldCase, FoldsUtf8TextAndKeepsBytesThatAreNotUtf8) {
  EXPECT_EQ(FoldCase("Readme.txt"), "README.TXT");
  EXPECT_EQ(FoldCase("caf\xC3\xA9/men\xC3\xBC"), "CAF\xC3\x89/MEN\xC3\x9C");
  EXPECT_EQ(FoldCase("\xD0\xB6\xD1\x83\xD0\xBA"), "\xD0\x96\xD0\xA3\xD0\x9A");  // Cyrillic
  EXPECT_EQ(FoldCase("a\xFF"
                     "b\xC3"),
            "A\xFF"
            "B\xC3");
  EXPECT_EQ(FoldCase(""), "");
  EXPECT_EQ(FoldCase("\xF0\x9F\x98\x80x"), "\xF0\x9F\x98\x80X");
}

}  // namespace
