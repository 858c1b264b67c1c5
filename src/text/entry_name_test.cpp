#include "text/entry_name.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct NameCase {
  std::string name;
  bool portable;  // accepted under EntryNameRules::kPortable
  bool windows;   // accepted under EntryNameRules::kWindows
};

TEST(IsSafeEntryName, AcceptsPlainRelativeNames) {
  const NameCase cases[] = {
      {"quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe", true, true},
      {"a/", true, true},
      {"top.txt", true, true},
      {"Engine/Content/Slate/Fonts/", true, true},
      {"caf\xC3\xA9/\xE4\xB8\xAD.txt", true, true},
      {"a/./b", true, true},
      {"..dots-inside..name", true, true},
      {"a..b/c", true, true},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(IsSafeEntryName(c.name, EntryNameRules::kPortable), c.portable) << c.name;
    EXPECT_EQ(IsSafeEntryName(c.name, EntryNameRules::kWindows), c.windows) << c.name;
  }
}

TEST(IsSafeEntryName, RefusesNamesThatLeadOutside) {
  const NameCase cases[] = {
      {"", false, false},
      {"/etc/passwd", false, false},
      {"\\Windows\\evil.dll", false, false},
      {"//server/share/x", false, false},
      {"C:/Windows/evil.dll", false, false},
      {"c:evil", false, false},
      {"../escape.txt", false, false},
      {"a/../../escape.txt", false, false},
      {"a/..", false, false},
      {"a/../", false, false},
      {"a\\b.txt", false, false},
      {"..\\escape.txt", false, false},
      {std::string("a\0b", 3), false, false},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(IsSafeEntryName(c.name, EntryNameRules::kPortable), c.portable) << c.name;
    EXPECT_EQ(IsSafeEntryName(c.name, EntryNameRules::kWindows), c.windows) << c.name;
  }
}

TEST(IsSafeEntryName, RefusesWhatWindowsMapsElsewhereOnlyUnderWindowsRules) {
  const NameCase cases[] = {
      {"a/b:stream", true, false},  {"CON", true, false},         {"dir/nul.txt", true, false},
      {"dir/Com1", true, false},    {"lpt9.log", true, false},    {"aux /x", true, false},
      {"CONOUT$", true, false},     {"COM\xC2\xB9", true, false}, {"trailing./x", true, false},
      {"trailing /x", true, false}, {"name.", true, false},       {"wild*card", true, false},
      {"what?", true, false},       {"pipe|name", true, false},   {"tab\tname", true, false},
      {"bad\xFFutf8", true, false}, {"CONSOLE.txt", true, true},  {"COM10", true, true},
      {"nullable/x", true, true},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(IsSafeEntryName(c.name, EntryNameRules::kPortable), c.portable) << c.name;
    EXPECT_EQ(IsSafeEntryName(c.name, EntryNameRules::kWindows), c.windows) << c.name;
  }
}

TEST(WindowsNameProblem, FindsNamesWindowsCannotCreate) {
  for (const char* fine : {"readme.txt", "CONFIG", "icon.d", "COM10", "LPT", "nul_", "a.b c",
                           "caf\xC3\xA9", ".hidden", ".", ".."}) {
    EXPECT_EQ(WindowsNameProblem(fine), "") << fine;
  }
  for (const char* bad :
       {"a:b",       "what?",       "star*",          "pipe|",     "less<",   "more>",
        "quote\"",   "tab\t",       "trailing.",      "trailing ", "CON",     "con.txt",
        "Nul",       "aux .log",    "COM1",           "lpt9.dat",  "con.d.x", "CONIN$",
        "conout$.x", "COM\xC2\xB9", "LPT\xC2\xB3.txt"}) {
    EXPECT_NE(WindowsNameProblem(bad), "") << bad;
  }
}

TEST(IsValidUtf8, AcceptsWellFormedUtf8) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain"));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9"));
  EXPECT_TRUE(IsValidUtf8("\xE2\x82\xAC"));      // U+20AC
  EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));  // U+1F600
  EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
  EXPECT_TRUE(IsValidUtf8("\xED\x9F\xBF"));      // U+D7FF
}

TEST(IsValidUtf8, RejectsMalformedUtf8) {
  EXPECT_FALSE(IsValidUtf8("\xE9"));              // Latin-1
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));      // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));          // truncated
  EXPECT_FALSE(IsValidUtf8("ab\x80"));            // stray continuation
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  EXPECT_EQ(Utf8SequenceLength("a\xF0\x9F\x98\x80", 1), 4u);
  EXPECT_EQ(Utf8SequenceLength("a\xF0\x9F\x98", 1), 0u);  // cut off
}

TEST(Utf8IllFormedLength, TakesTheLongestStartOfAWellFormedSequence) {
  EXPECT_EQ(Utf8IllFormedLength("\xF0\x9F\x98", 0), 3u);   // cut off at the end
  EXPECT_EQ(Utf8IllFormedLength("\xF0\x9F\x98x", 0), 3u);  // cut off by ASCII
  EXPECT_EQ(Utf8IllFormedLength("\xE4\xB8x", 0), 2u);
  EXPECT_EQ(Utf8IllFormedLength("\xE2\x82\xE2\x82\xAC", 0), 2u);  // cut off by a lead
  EXPECT_EQ(Utf8IllFormedLength("\xC3", 0), 1u);
  // Bytes that begin no sequence go one at a time.
  EXPECT_EQ(Utf8IllFormedLength("\xFF\x80", 0), 1u);
  EXPECT_EQ(Utf8IllFormedLength("\x80\x80", 0), 1u);
  EXPECT_EQ(Utf8IllFormedLength("\xC0\xAF", 0), 1u);          // overlong
  EXPECT_EQ(Utf8IllFormedLength("\xED\xA0\x80", 0), 1u);      // surrogate
  EXPECT_EQ(Utf8IllFormedLength("\xF4\x90\x80\x80", 0), 1u);  // above U+10FFFF
  EXPECT_EQ(Utf8IllFormedLength("\xE0\x80\xAF", 0), 1u);      // overlong after E0
}

TEST(PlainNameProblem, SaysWhyANameIsNoPlainFolderName) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "is empty"},
      {".", "is '.' or '..', not a folder name"},
      {"..", "is '.' or '..', not a folder name"},
      {"a/b", "holds a '/' or '\\': it must be a plain folder name"},
      {"a\\b", "holds a '/' or '\\': it must be a plain folder name"},
      {"/", "holds a '/' or '\\': it must be a plain folder name"},
      {"caf\xE9", "is not valid UTF-8"},
      {"a\tb", "holds a control character"},
      {"\x1F", "holds a control character"},
      {"app.", "ends in '.' or ' '"},
      {"app ", "ends in '.' or ' '"},
      {"...", "ends in '.' or ' '"},
  };
  for (const auto& [name, why] : cases) {
    EXPECT_EQ(PlainNameProblem(name), why) << name;
  }
  for (const char* c : {"<", ">", ":", "\"", "|", "?", "*"}) {
    EXPECT_EQ(PlainNameProblem(std::string("a") + c + "b"), std::string("holds '") + c + "'");
  }
}

TEST(PlainNameProblem, RefusesDeviceNamesAndAcceptsNamesCloseToThem) {
  for (const char* name :
       {"CON", "con", "PRN", "AUX", "NUL", "Nul.txt", "CON .log", "COM1", "com9", "LPT1",
        "lpt0.a.b", "CONIN$", "conout$", "COM\xC2\xB9", "LPT\xC2\xB3.x"}) {
    EXPECT_EQ(PlainNameProblem(name), "is a Windows device name") << name;
  }
  for (const char* name : {"CONSOLE", "COM10", "LPT", "COMx", "xCON", "a.CON", "my app", "a;b",
                           "a[b]", "\xC3\xA9", "-x", ".hidden"}) {
    EXPECT_EQ(PlainNameProblem(name), "") << name;
  }
}

TEST(SplitPathLevels, KeepsEveryLevelEmptyOnesIncluded) {
  using Levels = std::vector<std::string_view>;
  EXPECT_EQ(SplitPathLevels("bin/app.exe"), (Levels{"bin", "app.exe"}));
  EXPECT_EQ(SplitPathLevels("a//b/"), (Levels{"a", "", "b", ""}));
  EXPECT_EQ(SplitPathLevels("/a"), (Levels{"", "a"}));
  EXPECT_EQ(SplitPathLevels("app"), (Levels{"app"}));
  EXPECT_EQ(SplitPathLevels(""), (Levels{""}));
}

TEST(RelativePathProblem, SaysWhyAPathIsNotRelativeAndSlashSeparated) {
  const std::pair<const char*, const char*> cases[] = {
      {"app", ""},
      {"bin/app.exe", ""},
      {"My App/bin 64/app;1.exe", ""},
      {"bin/CON", ""},  // the levels are the caller's to check
      {"", "is empty"},
      {"/bin/app", "is not relative"},
      {"bin/", "ends in '/'"},
      {"\\bin\\app.exe", "holds a backslash (use '/')"},
      {"bin\\app.exe", "holds a backslash (use '/')"},
      {"bin/\xFF", "is not valid UTF-8"},
  };
  for (const auto& [path, why] : cases) {
    EXPECT_EQ(RelativePathProblem(path), why) << path;
  }
  for (const char* path :
       {"bin//app", "./app", "bin/./app", "bin/../app", "../app", "bin/..", "."}) {
    EXPECT_EQ(RelativePathProblem(path), "has an empty, '.' or '..' component") << path;
  }
}

}  // namespace

TEST(Utf8ToUtf16, DecodesEachSequenceLengthAndReplacesStrayBytes) {
  EXPECT_EQ(Utf8ToUtf16("app"), u"app");
  // Two, three and four bytes: U+00E9, U+20AC and U+1F600 as a surrogate pair.
  EXPECT_EQ(Utf8ToUtf16("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            std::u16string(u"\u00E9\u20AC") + char16_t{0xD83D} + char16_t{0xDE00});
  // A lone continuation byte, an overlong form and a cut-off sequence.
  EXPECT_EQ(Utf8ToUtf16("a\x80"
                        "b\xC0\xAF"
                        "c\xE2\x82"),
            u"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16(""), u"");
}
