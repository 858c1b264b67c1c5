#include "destination/destination.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/environment.h"
#include "testing/temp_folder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedTemporaryDirectory;
using testing_support::TempFolder;

const std::wstring kSeparator(1, static_cast<wchar_t>(fs::path::preferred_separator));
const std::wstring kAppName = L"quillorbite";

std::string Narrow(const fs::path& path) {
  return WideToUtf8(PathToWide(path).c_str());
}

TEST(MakeDestinationPath, AppendsTheAppNameWithoutDoublingASeparator) {
  TempFolder temp;
  const std::wstring expected = PathToWide(temp.path()) + kSeparator + L"quillorbite";
  {
    ScopedTemporaryDirectory withTrailing(Narrow(temp.path()) + Narrow(fs::path(kSeparator)));
    EXPECT_EQ(MakeDestinationPath(kAppName), expected);
  }
  {
    ScopedTemporaryDirectory withoutTrailing(Narrow(temp.path()));
    EXPECT_EQ(MakeDestinationPath(kAppName), expected);
  }
}

TEST(MakeDestinationPath, KeepsBlanksAndPercentSignsAsText) {
  TempFolder temp;
  const fs::path odd = temp / "a b%PATH%c";
  fs::create_directory(odd);
  ScopedTemporaryDirectory redirect(Narrow(odd));
  EXPECT_EQ(MakeDestinationPath(kAppName), PathToWide(odd) + kSeparator + L"quillorbite");
}

TEST(MakeDestinationPath, ThrowsNamingTheQueryWhenTheTemporaryDirectoryIsMissing) {
  TempFolder temp;
  ScopedTemporaryDirectory redirect(Narrow(temp / "does-not-exist"));
  try {
    MakeDestinationPath(kAppName);
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("temp_directory_path"), std::string::npos)
        << error.what();
  }
}

TEST(PathExists, AnswersForFolderFileAndAbsence) {
  TempFolder temp;
  fs::create_directory(temp / "folder");
  testing_support::WriteFileBytes(temp / "file", "x");
  EXPECT_TRUE(PathExists(PathToWide(temp / "folder")));
  EXPECT_TRUE(PathExists(PathToWide(temp / "file")));
  EXPECT_FALSE(PathExists(PathToWide(temp / "absent")));
  EXPECT_FALSE(PathExists(PathToWide(temp / "absent" / "child")));
}

TEST(RemoveDestinationTree, RemovesAWholeTreeContentsFirst) {
  TempFolder temp;
  const fs::path root = temp / "quillorbite";
  fs::create_directories(root / "a" / "b" / "c");
  testing_support::WriteFileBytes(root / "a" / "b" / "c" / "deep.txt", "deep");
  testing_support::WriteFileBytes(root / "top.txt", "top");
  fs::create_directory(root / "empty");
  RemoveDestinationTree(PathToWide(root));
  EXPECT_FALSE(fs::exists(root));
  EXPECT_TRUE(fs::exists(temp.path()));
}

TEST(RemoveDestinationTree, AMissingFolderIsNoError) {
  TempFolder temp;
  EXPECT_NO_THROW(RemoveDestinationTree(PathToWide(temp / "never-there")));
}

}  // namespace
