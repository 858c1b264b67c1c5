#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "destination/folder_walker.h"
#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::ZipBuilder;
using zip::ZipArchive;
using zip::ZipError;

class ZipExtractWin32 : public ::testing::Test {
 protected:
  void TearDown() override { zip::ZipClose(archive_); }

  void OpenBuilt(const ZipBuilder& builder) {
    bytes_ = builder.Build();
    ASSERT_TRUE(zip::ZipOpenMemory(archive_, bytes_.data(), bytes_.size()));
  }
  ZipError Extract(std::uint32_t index, const std::string& utf8Path) {
    if (testing_support::ExtractEntryToFile(archive_, index, utf8Path.c_str())) {
      return ZipError::kNone;
    }
    return zip::ZipTakeLastError(archive_);
  }

  TempFolder folder_;
  std::string bytes_;
  ZipArchive archive_;
};

TEST_F(ZipExtractWin32, DoesNotWriteThroughASymbolicLink) {
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  OpenBuilt(builder);
  ASSERT_TRUE(testing_support::WriteFileBytes(folder_ / "target", "original"));
  std::error_code error;
  std::filesystem::create_symlink(folder_ / "target", folder_ / "link", error);
  if (error || (GetFileAttributesW((folder_ / "link").wstring().c_str()) &
                FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "symbolic links cannot be made here";
  }
  EXPECT_EQ(Extract(0, (folder_ / "link").u8string()), ZipError::kFileOpenFailed);
  EXPECT_EQ(ReadFileBytes(folder_ / "target"), "original");
}

TEST_F(ZipExtractWin32, WritesIntoAFileTheCallerOpenedAndAlwaysClosesIt) {
  ZipBuilder builder;
  builder.AddDeflated("a", "deflated content");
  builder.AddStored("b", "x").method = 12;
  OpenBuilt(builder);
  const auto createNew = [this](const char* name) {
    return CreateFileW((folder_ / name).wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  DWORD flags = 0;
  HANDLE written = createNew("a");
  ASSERT_NE(written, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(testing_support::ExtractEntryToOpenFile(archive_, 0,
                                                      reinterpret_cast<std::intptr_t>(written)));
  EXPECT_FALSE(GetHandleInformation(written, &flags));  // closed
  EXPECT_EQ(ReadFileBytes(folder_ / "a"), "deflated content");

  HANDLE unsupported = createNew("b");
  ASSERT_NE(unsupported, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(testing_support::ExtractEntryToOpenFile(
      archive_, 1, reinterpret_cast<std::intptr_t>(unsupported)));
  EXPECT_EQ(zip::ZipTakeLastError(archive_), ZipError::kUnsupportedFeature);
  EXPECT_FALSE(GetHandleInformation(unsupported, &flags));
  EXPECT_EQ(ReadFileBytes(folder_ / "b"), "");
}

TEST_F(ZipExtractWin32, PathsAreUtf8NotTheAnsiCodePage) {
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  OpenBuilt(builder);
  // Greek, CJK and a character outside the BMP: no single-byte code page
  // holds them all.
  const std::wstring wideName = L"\x03B1\x03B2\x03B3-\x65E5\x672C-\xD83D\xDE00.txt";
  const std::string utf8Name =
      "\xCE\xB1\xCE\xB2\xCE\xB3-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.txt";
  ASSERT_EQ(Extract(0, (folder_ / utf8Name).u8string()), ZipError::kNone);
  const std::wstring widePath = folder_.path().wstring() + L"\\" + wideName;
  EXPECT_NE(GetFileAttributesW(widePath.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(ReadFileBytes(std::filesystem::path(widePath)), "payload");
}

TEST_F(ZipExtractWin32, InvalidUtf8NamesNoFile) {
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  OpenBuilt(builder);
  const std::string bad = folder_.path().u8string() + "\\bad-\xC3\x28-\xFF.txt";
  EXPECT_EQ(Extract(0, bad), ZipError::kFileOpenFailed);
  EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));
}

TEST_F(ZipExtractWin32, OtherReadersMayOpenTheFileWhileItIsWritten) {
  // FILE_SHARE_READ is part of the contract with antivirus and indexers;
  // checked here by a reader holding the new file open across the write.
  ZipBuilder builder;
  builder.AddStored("a", "payload");
  OpenBuilt(builder);
  FolderWalker walker;
  std::error_code error;
  ASSERT_TRUE(walker.Open(folder_.path(), error));
  std::intptr_t file = -1;
  ASSERT_TRUE(walker.CreateFileForWriting("shared", 0644, file, error));
  const auto path = folder_ / "shared";
  HANDLE reader =
      CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(testing_support::ExtractEntryToOpenFile(archive_, 0, file));
  CloseHandle(reader);
  EXPECT_EQ(ReadFileBytes(path), "payload");
}

// Reads a file by a path of any length.
std::string ReadLongPath(const std::wstring& extendedPath) {
  HANDLE file = CreateFileW(extendedPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "(cannot open)";
  }
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return bytes;
}

// Wine has no MAX_PATH limit; on Windows this fails without the \\?\ prefix.
TEST_F(ZipExtractWin32, WritesPathsLongerThanMaxPath) {
  ZipBuilder builder;
  builder.AddDeflated("a", "deep payload");
  OpenBuilt(builder);
  std::wstring folder = L"\\\\?\\" + folder_.path().wstring();
  std::string utf8 = folder_.path().u8string();
  const std::string segment(60, 's');
  while (utf8.size() < 2 * MAX_PATH) {
    folder += L"\\" + std::wstring(segment.begin(), segment.end());
    utf8 += "/" + segment;  // forward slashes, as the extraction code builds them
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  }
  utf8 += "/./file.txt";
  ASSERT_EQ(Extract(0, utf8), ZipError::kNone);
  EXPECT_EQ(ReadLongPath(folder + L"\\file.txt"), "deep payload");
}

}  // namespace
