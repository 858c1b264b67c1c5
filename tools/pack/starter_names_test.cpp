#include "pack/starter_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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
