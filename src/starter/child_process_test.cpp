#include "starter/child_process.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

TEST(BuildChildCommandLine, QuotesTheExecutableAndAppendsTheAppName) {
  const std::wstring destination = L"C:\\Users\\user\\AppData\\Local\\Temp\\quillorbite";
  const std::wstring line = BuildChildCommandLine(destination);
  EXPECT_EQ(line,
            L"\"C:\\Users\\user\\AppData\\Local\\Temp\\quillorbite\\quillorbite\\Binaries\\Win64\\"
            L"quillorbite-Win64-Shipping.exe\" quillorbite");
  EXPECT_EQ(line.size(), destination.size() + 72);
}

TEST(BuildChildCommandLine, KeepsBlanksAndPercentSignsInsideTheQuotes) {
  const std::wstring destination = L"C:\\Temp dir\\%USERNAME% 100%\\quillorbite";
  const std::wstring line = BuildChildCommandLine(destination);
  EXPECT_EQ(line.size(), destination.size() + 72);
  const std::vector<std::wstring> words = SplitCommandLine(line);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0],
            destination + L"\\quillorbite\\Binaries\\Win64\\quillorbite-Win64-Shipping.exe");
  EXPECT_EQ(words[1], L"quillorbite");
}

TEST(ProgramBelowDestination, GivesThePartBelowWithSlashes) {
  std::string relative = "untouched";
  EXPECT_TRUE(ProgramBelowDestination(L"C:\\Temp\\quillorbite",
                                      L"C:\\Temp\\quillorbite\\quillorbite\\Binaries\\app.exe",
                                      relative));
  EXPECT_EQ(relative, "quillorbite/Binaries/app.exe");
  EXPECT_TRUE(ProgramBelowDestination(L"/tmp/quillorbite", L"/tmp/quillorbite/a\\b", relative));
  EXPECT_EQ(relative, "a/b");
  relative = "untouched";
  // Another folder whose name merely begins the same way is not below it.
  EXPECT_FALSE(ProgramBelowDestination(L"/tmp/quillorbite", L"/tmp/quillorbite2/app", relative));
  EXPECT_FALSE(ProgramBelowDestination(L"/tmp/quillorbite", L"/tmp/other/app", relative));
  EXPECT_FALSE(ProgramBelowDestination(L"/tmp/quillorbite", L"/tmp/quillorbite/", relative));
  EXPECT_FALSE(ProgramBelowDestination(L"/tmp/quillorbite", L"/tmp/quillorbite", relative));
  EXPECT_EQ(relative, "untouched");
}

TEST(MakeWritableCommandLine, CopiesEveryCharacterWithTwentySpareOnes) {
  const std::wstring line = L"\"C:\\a b\\%x%\\q.exe\" quillorbite";
  const auto copy = MakeWritableCommandLine(line);
  EXPECT_EQ(std::wstring(copy.get()), line);
  // The spare room is zero, so a writer that looks past the NUL finds zeros.
  for (std::size_t i = line.size(); i < line.size() + 20; ++i) {
    EXPECT_EQ(copy[i], L'\0') << i;
  }
  EXPECT_NE(copy.get(), line.c_str());
}

TEST(FormatLaunchFailure, NamesTheLineAndTheCodeInLowerCaseHex) {
  EXPECT_EQ(FormatLaunchFailure(L"\"C:\\x.exe\" quillorbite", 0xC1),
            L"Couldn't start:\n\"C:\\x.exe\" quillorbite\nCreateProcess() returned c1.");
  EXPECT_EQ(FormatLaunchFailure(L"x", 2), L"Couldn't start:\nx\nCreateProcess() returned 2.");
}

TEST(SplitCommandLine, FollowsTheWindowsRules) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> words;
  };
  const Case cases[] = {
      {L"\"C:\\dir with blanks\\app.exe\" quillorbite",
       {L"C:\\dir with blanks\\app.exe", L"quillorbite"}},
      // The program name knows no escapes: a backslash before its closing quote stays.
      {L"\"C:\\dir\\\" next", {L"C:\\dir\\", L"next"}},
      {L"prog  a\tb", {L"prog", L"a", L"b"}},
      {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
      {L"prog a\\\\\"b c\"", {L"prog", L"a\\b c"}},
      {L"prog a\\\"b", {L"prog", L"a\"b"}},
      {L"prog a\\\\b", {L"prog", L"a\\\\b"}},
      {L"prog \"\"", {L"prog", L""}},
      {L"prog %PATH%", {L"prog", L"%PATH%"}},
      {L"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.words) << std::wstring(c.line).size();
  }
}

}  // namespace
