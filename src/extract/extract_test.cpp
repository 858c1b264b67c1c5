#include "extract/extract.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;
using testing_support::ZipBuilder;

// Captures what the extraction writes to std::cerr.
class CapturedStandardError {
 public:
  CapturedStandardError() : previous_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~CapturedStandardError() { std::cerr.rdbuf(previous_); }
  std::string Text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* previous_;
};

class ExtractTest : public ::testing::Test {
 protected:
  // An exception from the walk leaves the archive open on purpose; later
  // tests need it closed.
  void TearDown() override { zip::ZipClose(g_zipArchive); }

  std::wstring Extract(const std::string& archive, const fs::path& destination) {
    return ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str());
  }

  // The path text the extraction gives for entry `name` of the destination
  // "quillorbite" in the temporary folder: the folder's absolute path with
  // '/' between all levels, then the name as stored.
  std::string QuillorbitePath(const std::string& name) const {
    return temp_.path().generic_u8string() + "/quillorbite/" + name;
  }

  TempFolder temp_;
};

TEST_F(ExtractTest, ReproducesTheWorkedExampleLog) {
  ZipBuilder builder;
  builder.AddFolder("a/");
  builder.AddDeflated("a/b.txt", "hello, b");
  const fs::path destination = temp_ / "quillorbite";
  CapturedStandardError standardError;
  const std::wstring log = Extract(builder.Build(), destination);
  EXPECT_EQ(log, L"open successdestDir creatednum2 Stat read Dir created Stat read success 1 End");
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "a" / "b.txt"), "hello, b");
  EXPECT_EQ(standardError.Text(), "");
}

TEST_F(ExtractTest, ReproducesTheWorkedExampleOfAFailedEntry) {
  ZipBuilder builder;
  builder.AddFolder("a/");
  auto& damaged = builder.AddDeflated("a/b.txt", std::string(4000, 'b'));
  damaged.data = std::string("\xff\xff\xff\xff garbage that is no deflate stream", 37);
  const fs::path destination = temp_ / "quillorbite";
  CapturedStandardError standardError;
  const std::wstring log = Extract(builder.Build(), destination);
  EXPECT_EQ(standardError.Text(),
            "Failed extracting a/b.txt from archive. Error string: decompression failed or "
            "archive is corrupted\n");
  const std::string piece =
      " Failed extracting 1a/b.txt full path fail: " + QuillorbitePath("a/b.txt") +
      "decompression failed or archive is corrupted";
  EXPECT_EQ(log, L"open successdestDir creatednum2 Stat read Dir created Stat read" +
                     Utf8ToWide(piece.data(), piece.size()) + L" End");
}

TEST_F(ExtractTest, AnExistingDestinationGetsNoCreationPieceAndFilesAreOverwritten) {
  const fs::path destination = temp_ / "quillorbite";
  fs::create_directories(destination / "a");
  testing_support::WriteFileBytes(destination / "a" / "b.txt", "old content, longer than new");
  ZipBuilder builder;
  builder.AddFolder("a/");
  builder.AddStored("a/b.txt", "new");
  CapturedStandardError standardError;
  EXPECT_EQ(Extract(builder.Build(), destination),
            L"open successnum2 Stat read Dir created Stat read success 1 End");
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "a" / "b.txt"), "new");
}

TEST_F(ExtractTest, AnArchiveThatDoesNotOpenThrowsAndCreatesNothing) {
  const fs::path destination = temp_ / "quillorbite";
  const std::string notArchives[] = {"This is plain text, not an archive, but long enough.",
                                     std::string("PK\x05\x06", 4), ""};
  for (const std::string& bytes : notArchives) {
    try {
      Extract(bytes, destination);
      FAIL() << "no exception for " << bytes.size() << " bytes";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Failed opening zip ");
    }
    EXPECT_EQ(g_extractLog, L"open error ");
    EXPECT_FALSE(fs::exists(destination));
  }
}

TEST_F(ExtractTest, AnEmptyArchiveCreatesOnlyTheDestination) {
  const fs::path destination = temp_ / "quillorbite";
  EXPECT_EQ(Extract(ZipBuilder().Build(), destination), L"open successdestDir creatednum0 End");
  EXPECT_TRUE(fs::is_directory(destination));
  EXPECT_TRUE(fs::is_empty(destination));
}

TEST_F(ExtractTest, ASecondCallStartsAFreshLogAndOpensAgain) {
  ZipBuilder builder;
  builder.AddStored("top.txt", "top");
  const std::string archive = builder.Build();
  const fs::path destination = temp_ / "quillorbite";
  EXPECT_EQ(Extract(archive, destination),
            L"open successdestDir creatednum1 Stat read success 0 End");
  const wchar_t* second =
      ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str());
  EXPECT_EQ(std::wstring(second), L"open successnum1 Stat read success 0 End");
  EXPECT_EQ(second, g_extractLog.c_str());
}

TEST_F(ExtractTest, FileEntriesWithoutFolderEntriesGetTheirParentsCreated) {
  ZipBuilder builder;
  builder.AddDeflated("deep/er/still/file.txt", "deep");
  builder.AddStored("top.txt", "top");
  builder.AddStored("deep/sibling.txt", "sibling");
  const fs::path destination = temp_ / "quillorbite";
  EXPECT_EQ(Extract(builder.Build(), destination),
            L"open successdestDir creatednum3 Stat read success 0 Stat read success 1 Stat read "
            L"success 2 End");
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "deep/er/still/file.txt"), "deep");
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "top.txt"), "top");
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "deep/sibling.txt"), "sibling");
}

TEST_F(ExtractTest, AFolderEntryBeforeItsParentEndsTheWalkWithCreateDirectory) {
  ZipBuilder builder;
  builder.AddFolder("parent/child/");
  builder.AddFolder("parent/");
  const fs::path destination = temp_ / "quillorbite";
  try {
    Extract(builder.Build(), destination);
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("create_directory"), std::string::npos)
        << error.what();
  }
  // The walk stopped: no piece after the failing entry, the archive still open.
  EXPECT_EQ(g_extractLog, L"open successdestDir creatednum2 Stat read");
  EXPECT_TRUE(g_zipArchive.open);
}

TEST_F(ExtractTest, AFolderThatExistsIsNoError) {
  const fs::path destination = temp_ / "quillorbite";
  fs::create_directories(destination / "a");
  ZipBuilder builder;
  builder.AddFolder("a/");
  EXPECT_EQ(Extract(builder.Build(), destination), L"open successnum1 Stat read Dir created End");
}

TEST_F(ExtractTest, FailedEntriesAreReportedAndTheWalkGoesOn) {
  ZipBuilder builder;
  auto& unsupported = builder.AddStored("method.bin", "x");
  unsupported.method = 12;
  auto& encrypted = builder.AddStored("secret.bin", "x");
  encrypted.flags = 1;
  auto& badCrc = builder.AddDeflated("crc.bin", std::string(100000, 'c'));
  badCrc.central.crc32 = 0x12345678;
  builder.AddStored("fine.txt", "fine");
  const fs::path destination = temp_ / "quillorbite";
  CapturedStandardError standardError;
  const std::wstring log = Extract(builder.Build(), destination);
  EXPECT_EQ(standardError.Text(),
            "Failed extracting method.bin from archive. Error string: unsupported feature\n"
            "Failed extracting secret.bin from archive. Error string: unsupported feature\n"
            "Failed extracting crc.bin from archive. Error string: decompression failed or "
            "archive is corrupted\n");
  EXPECT_NE(log.find(L" Failed extracting 0method.bin full path fail: "), std::wstring::npos);
  EXPECT_NE(log.find(L"unsupported feature Stat read Failed extracting 1secret.bin"),
            std::wstring::npos);
  EXPECT_NE(log.find(L" Stat read success 3 End"), std::wstring::npos);
  EXPECT_FALSE(fs::exists(destination / "method.bin"));
  EXPECT_FALSE(fs::exists(destination / "secret.bin"));
  // The partly written file stays.
  EXPECT_EQ(fs::file_size(destination / "crc.bin"), 100000u);
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "fine.txt"), "fine");
}

TEST_F(ExtractTest, NamesThatLeadOutsideAreRefusedAndNothingIsCreatedForThem) {
  const fs::path destination = temp_ / "box" / "quillorbite";
  fs::create_directories(destination);
  const std::string unsafe[] = {"../escaped.txt",  "a/../../escaped.txt", "/rooted.txt",
                                "back\\slash.txt", "C:/drive.txt",        "../escaped-folder/"};
  ZipBuilder builder;
  for (const std::string& name : unsafe) {
    if (name.back() == '/') {
      builder.AddFolder(name);
    } else {
      builder.AddStored(name, "outside");
    }
  }
  builder.AddStored("inside.txt", "inside");
  CapturedStandardError standardError;
  const std::wstring log = Extract(builder.Build(), destination);
  std::string expectedLines;
  for (const std::string& name : unsafe) {
    expectedLines +=
        "Failed extracting " + name + " from archive. Error string: invalid filename\n";
    EXPECT_NE(log.find(Utf8ToWide(name.data(), name.size()) + L" full path fail: "),
              std::wstring::npos)
        << name;
  }
  EXPECT_EQ(standardError.Text(), expectedLines);
  EXPECT_NE(log.find(L"invalid filename Stat read success 6 End"), std::wstring::npos);
  EXPECT_FALSE(fs::exists(temp_ / "box" / "escaped.txt"));
  EXPECT_FALSE(fs::exists(temp_ / "escaped.txt"));
  EXPECT_FALSE(fs::exists(temp_ / "box" / "escaped-folder"));
  EXPECT_FALSE(fs::exists(destination / "back\\slash.txt"));
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "inside.txt"), "inside");
}

TEST_F(ExtractTest, ALinkInsideTheDestinationFailsEachEntryBehindItAsAFileOpen) {
  const fs::path destination = temp_ / "quillorbite";
  const fs::path outside = temp_ / "outside";
  fs::create_directories(destination);
  fs::create_directory(outside);
  std::error_code error;
  fs::create_directory_symlink(outside, destination / "a", error);
  if (error || !fs::is_symlink(destination / "a")) {
    GTEST_SKIP() << "symbolic links cannot be made here";
  }
  ZipBuilder builder;
  builder.AddFolder("a/");
  builder.AddStored("a/b.txt", "escaped");
  builder.AddFolder("a/c/");
  builder.AddStored("a/d/e.txt", "escaped");
  builder.AddStored("top.txt", "top");
  CapturedStandardError standardError;
  const std::wstring log = Extract(builder.Build(), destination);
  const std::string names[] = {"a/", "a/b.txt", "a/c/", "a/d/e.txt"};
  std::string expectedLines;
  std::wstring expectedLog = L"open successnum5";
  for (std::size_t i = 0; i < 4; ++i) {
    expectedLines +=
        "Failed extracting " + names[i] + " from archive. Error string: file open failed\n";
    const std::string piece = " Failed extracting " + std::to_string(i) + names[i] +
                              " full path fail: " + QuillorbitePath(names[i]) + "file open failed";
    expectedLog += L" Stat read" + Utf8ToWide(piece.data(), piece.size());
  }
  EXPECT_EQ(standardError.Text(), expectedLines);
  EXPECT_EQ(log, expectedLog + L" Stat read success 4 End");
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_EQ(testing_support::ReadFileBytes(destination / "top.txt"), "top");
}

TEST_F(ExtractTest, NonAsciiNamesAndDestinationsArriveAsTheirUtf8Bytes) {
  const std::string folderName = "caf\xC3\xA9 \xE4\xB8\xAD";
  const fs::path destination = temp_.path() / fs::u8path(folderName);
  ZipBuilder builder;
  builder.AddFolder(
      "\xC3\xBC"
      "ber/");
  builder.AddDeflated(
      "\xC3\xBC"
      "ber/\xF0\x9F\x98\x80.txt",
      "smile");
  CapturedStandardError standardError;
  EXPECT_EQ(Extract(builder.Build(), destination),
            L"open successdestDir creatednum2 Stat read Dir created Stat read success 1 End");
  EXPECT_EQ(testing_support::ReadFileBytes(destination /
                                           fs::u8path("\xC3\xBC"
                                                      "ber") /
                                           fs::u8path("\xF0\x9F\x98\x80.txt")),
            "smile");
}

TEST_F(ExtractTest, ExtractedFilesCarryTheEntryTimeAsLocalTime) {
  ZipBuilder builder;
  auto& entry = builder.AddDeflated("dated.txt", "dated");
  entry.dosDate = testing_support::DosDate(2021, 7, 14);
  entry.dosTime = testing_support::DosTime(9, 26, 52);
  const fs::path destination = temp_ / "quillorbite";
  Extract(builder.Build(), destination);
  std::tm local = {};
  local.tm_year = 2021 - 1900;
  local.tm_mon = 6;
  local.tm_mday = 14;
  local.tm_hour = 9;
  local.tm_min = 26;
  local.tm_sec = 52;
  local.tm_isdst = -1;
  const std::time_t expected = std::mktime(&local);
  // C++17 has no clock_cast: carry the file time over by the clocks' offset now.
  const auto written = fs::last_write_time(destination / "dated.txt");
  const auto asSystemTime =
      std::chrono::system_clock::now() + (written - fs::file_time_type::clock::now());
  const long long offBy = std::chrono::duration_cast<std::chrono::seconds>(
                              asSystemTime - std::chrono::system_clock::from_time_t(expected))
                              .count();
  EXPECT_LE(offBy < 0 ? -offBy : offBy, 1) << "off by " << offBy << " s";
}

TEST_F(ExtractTest, AnArchiveThatCannotFitIsRefusedBeforeAnythingIsWritten) {
  ZipBuilder builder;
  builder.AddStored("small.txt", "small");
  auto& huge = builder.AddStored("huge.bin", "claims far more than any disk holds");
  huge.zip64 = testing_support::ZipZip64Extra{};
  huge.zip64->uncompressedValue = std::uint64_t{1} << 62;
  const fs::path destination = temp_ / "quillorbite";
  try {
    Extract(builder.Build(), destination);
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.code(), std::make_error_code(std::errc::no_space_on_device));
    EXPECT_NE(std::string(error.what())
                  .find("not enough free space to unpack: needs " +
                        std::to_string((std::uint64_t{1} << 62) + 5) + " bytes"),
              std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ExtractTest, FilesAlreadyInPlaceCountOnlyWithWhatTheyGrow) {
  // The same archive unpacked twice needs no more room the second time.
  ZipBuilder builder;
  builder.AddStored("a.txt", std::string(1000, 'a'));
  const std::string archive = builder.Build();
  const fs::path destination = temp_ / "quillorbite";
  Extract(archive, destination);
  EXPECT_EQ(Extract(archive, destination), L"open successnum1 Stat read success 0 End");
}

TEST_F(ExtractTest, AnExistingDestinationThatIsNoFolderIsRefusedUntouched) {
  const fs::path destination = temp_ / "quillorbite";
  testing_support::WriteFileBytes(destination, "a file");
  ZipBuilder builder;
  builder.AddStored("a.txt", "a");
  EXPECT_THROW(Extract(builder.Build(), destination), std::runtime_error);
  EXPECT_EQ(testing_support::ReadFileBytes(destination), "a file");
}

}  // namespace
