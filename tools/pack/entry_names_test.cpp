#include "pack/entry_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(PackEntryNames, OrdersSiblingsByUpperCaseBytesThenRawBytes) {
  std::vector<std::string> names = {"b",  "_x", "B", "a",        "Z", "1",
                                    "a_", "aa", "A", "\xC3\xA9", "~"};
  std::sort(names.begin(), names.end(), [](const std::string& x, const std::string& y) {
    return pack::CompareSiblingNames(x, y) < 0;
  });
  const std::vector<std::string> expected = {"1", "A", "a",  "aa", "a_",      "B",
                                             "b", "Z", "_x", "~",  "\xC3\xA9"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(pack::CompareSiblingNames("same", "same"), 0);
  EXPECT_LT(pack::CompareSiblingNames("abc", "ABCD"), 0);
  EXPECT_GT(pack::CompareSiblingNames("abc", "ABC"), 0);
}

TEST(PackEntryNames, OrdersPathsDepthFirstWithFoldersBeforeTheirContents) {
  EXPECT_TRUE(pack::EntryNameLess("dir/", "dir/file"));
  EXPECT_FALSE(pack::EntryNameLess("dir/file", "dir/"));
  EXPECT_TRUE(pack::EntryNameLess("dir/zzz/deep", "dir2"));
  EXPECT_TRUE(pack::EntryNameLess("a/b/", "a/b/c/"));
  EXPECT_TRUE(pack::EntryNameLess("a/B/x", "a/c"));
  EXPECT_TRUE(pack::EntryNameLess("x/", "x.txt"));  // components compared without the '/'
  EXPECT_FALSE(pack::EntryNameLess("same/", "same/"));
  EXPECT_TRUE(pack::EntryNameLess("Dir/", "dir/"));
}

TEST(PackEntryNames, ChecksComponentsAndExecutablePaths) {
  EXPECT_EQ(pack::CheckComponentName("ok name.txt"), "");
  EXPECT_NE(pack::CheckComponentName("a\\b"), "");
  EXPECT_NE(pack::CheckComponentName("\xFF"), "");
}

TEST(PackEntryNames, FindsSiblingsThatDifferOnlyInCase) {
  const std::vector<std::string> names = {
      "Lib/",
      "Lib/x",
      "lib",
      "README",
      "Readme",
      "docs/",
      "docs/caf\xC3\xA9",
      "docs/CAF\xC3\x89",
      "docs/a/",
      "docs/b/",
      "docs/a/same",
      "docs/b/SAME",
      "folder/",
      "folder/x",
      "FOLDER/",
      "FOLDER/X",
  };
  const std::vector<pack::CaseCollision> found = pack::FindCaseCollisions(names);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].first, "Lib/");  // a folder and a file
  EXPECT_EQ(found[0].second, "lib");
  EXPECT_EQ(found[1].first, "README");
  EXPECT_EQ(found[1].second, "Readme");
  EXPECT_EQ(found[2].first, "docs/caf\xC3\xA9");  // beyond ASCII
  EXPECT_EQ(found[2].second, "docs/CAF\xC3\x89");
  // "docs/a/same" and "docs/b/SAME" live in different folders; "FOLDER/X"
  // is reported through its folder only.
  EXPECT_EQ(found[3].first, "folder/");
  EXPECT_EQ(found[3].second, "FOLDER/");
}

TEST(PackEntryNames, FindsNoCollisionAmongNamesThatDifferOtherwise) {
  EXPECT_TRUE(pack::FindCaseCollisions({"a", "b", "a_", "A1",
                                        "stra\xC3\x9F"
                                        "e",
                                        "STRASSE", "\xC4\xB1", "I"})
                  .empty());
}

TEST(PackEntryNames, DisplaysControlAndInvalidBytesEscaped) {
  EXPECT_EQ(pack::DisplayName("plain/caf\xC3\xA9"), "plain/caf\xC3\xA9");
  EXPECT_EQ(pack::DisplayName("a\nb\xE9"), "a\\x0Ab\\xE9");
  EXPECT_EQ(pack::DisplayName(std::string("nul\0x", 5)), "nul\\x00x");
}

// Names refused as an application name and as any level of the executable's
// path alike, each with the reason it must be refused for.
const char* const kBadLevels[] = {
    "",           // nothing to name a folder
    ".",          // this folder
    "..",         // the folder above
    "CON",        // a device on Windows
    "con.txt",    // a device whatever the extension and the case
    "LPT9",       // the last numbered printer port
    "Com1 .log",  // blanks before the dot do not make it a file
    "name.",      // Windows strips the dot
    "name ",      // and the blank
    "a:b",        // a stream name on NTFS
    "a?b",        // a wildcard
    "tab\tname",  // a control character
    "caf\xE9",    // not UTF-8
};

TEST(CheckAppName, AcceptsPlainFolderNamesUpToSixtyFourUnits) {
  EXPECT_EQ(pack::CheckAppName("quillorbite"), "");
  EXPECT_EQ(pack::CheckAppName("Gr\xC3\xBC\xC3\x9F"
                               "e-\xF0\x9F\x98\x80"),
            "");
  EXPECT_EQ(pack::CheckAppName("CONSOLE"), "");
  EXPECT_EQ(pack::CheckAppName("LPT10"), "");
  EXPECT_EQ(pack::CheckAppName(".hidden"), "");
  EXPECT_EQ(pack::CheckAppName(std::string(64, 'a')), "");
  std::string emoji;
  for (int i = 0; i < 32; ++i) {
    emoji += "\xF0\x9F\x98\x80";  // two UTF-16 units each
  }
  EXPECT_EQ(pack::CheckAppName(emoji), "");
  EXPECT_NE(pack::CheckAppName(emoji + "a"), "");
  EXPECT_NE(pack::CheckAppName(std::string(65, 'a')), "");
}

TEST(CheckAppName, RefusesWhatIsNoPlainFolderName) {
  for (const char* name : kBadLevels) {
    EXPECT_NE(pack::CheckAppName(name), "") << name;
  }
  for (const char* name : {"a/b", "a\\b", "/a", "a/"}) {
    EXPECT_NE(pack::CheckAppName(name), "") << name;
  }
}

TEST(CheckAppName, SaysWhyANameIsRefused) {
  EXPECT_NE(pack::CheckAppName("CON").find("device"), std::string::npos);
  EXPECT_NE(pack::CheckAppName("a/b").find("plain folder name"), std::string::npos);
  EXPECT_NE(pack::CheckAppName("name.").find("ends in"), std::string::npos);
}

TEST(CheckExecutablePath, AcceptsRelativePathsOfPlainLevels) {
  EXPECT_EQ(pack::CheckExecutablePath("a/b.exe"), "");
  EXPECT_EQ(pack::CheckExecutablePath("quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe"),
            "");
  EXPECT_EQ(pack::CheckExecutablePath("Other App/bin/r\xC3\xA9sum\xC3\xA9"), "");
  EXPECT_EQ(pack::CheckExecutablePath("CONSOLE/app"), "");
}

TEST(CheckExecutablePath, RefusesABadLevelWhereverItStands) {
  for (const char* level : kBadLevels) {
    const std::string name(level);
    for (const std::string& path :
         {name, name + "/app.exe", "bin/" + name + "/app.exe", "bin/" + name}) {
      EXPECT_NE(pack::CheckExecutablePath(path), "") << path;
    }
  }
}

TEST(CheckExecutablePath, RefusesWhatIsNotARelativeSlashSeparatedPath) {
  for (const char* path : {"/abs.exe", "a\\b.exe", "bin/", "a//b", "C:/app.exe"}) {
    EXPECT_NE(pack::CheckExecutablePath(path), "") << path;
  }
  EXPECT_NE(pack::CheckExecutablePath("bin/NUL.exe").find("'NUL.exe'"), std::string::npos);
}

TEST(CheckExecutablePath, LeavesRoomForTheLeadingBackslash) {
  EXPECT_EQ(pack::CheckExecutablePath(std::string(259, 'x')), "");
  EXPECT_NE(pack::CheckExecutablePath(std::string(260, 'x')), "");
  std::string emoji;
  for (int i = 0; i < 129; ++i) {
    emoji += "\xF0\x9F\x98\x80";  // two UTF-16 units each
  }
  EXPECT_EQ(pack::CheckExecutablePath(emoji + "a"), "");
  EXPECT_NE(pack::CheckExecutablePath(emoji + "ab"), "");
}

}  // namespace
