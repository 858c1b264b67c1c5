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
  EXPECT_EQ(pack::CheckRelativeFilePath("app/bin/app.exe"), "");
  for (const char* bad : {"", "/abs", "dir/", "a\\b", "a//b", "./a", "a/../b", "\xFF"}) {
    EXPECT_NE(pack::CheckRelativeFilePath(bad), "") << bad;
  }
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

}  // namespace
