#include "pack/archive_writer.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "pack/chunk_deflate.h"
#include "pack/entry_names.h"
#include "pack/lister.h"
#include "pack/pack_test_support.h"
#include "pack/tree_walk.h"
#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "testing/zip_test_records.h"
#include "testing/zip_write_fixture.h"
#include "zip/zip_format.h"
#include "zip/zip_pieces.h"
#include "zip/zip_reader.h"

namespace {

using pack_test::PutFile;
using pack_test::ReadBack;
using pack_test::ReadBackEntry;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;

std::vector<ReadBackEntry> PackAndRead(const TempFolder& app, const TempFolder& out,
                                       pack::WriteOptions options = pack::WriteOptions()) {
  const auto archive = out / "a.zip";
  const std::string error = pack_test::Pack(app.path(), archive, options);
  EXPECT_EQ(error, "");
  std::vector<ReadBackEntry> entries;
  std::string readError;
  EXPECT_TRUE(ReadBack(ReadFileBytes(archive), entries, readError)) << readError;
  return entries;
}

std::vector<std::string> Names(const std::vector<ReadBackEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) {
    names.push_back(e.name);
  }
  return names;
}

// Sets the modification time of a file or folder, in seconds since the epoch.
bool SetModificationTime(const std::filesystem::path& path, std::time_t seconds) {
#ifdef _WIN32
  // Seconds from 1601 (FILETIME's epoch) to 1970, and 100 ns ticks a second.
  const ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const HANDLE file = CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool set = SetFileTime(file, nullptr, &time, &time) != 0;
  CloseHandle(file);
  return set;
#else
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

const ReadBackEntry* Find(const std::vector<ReadBackEntry>& entries, const std::string& name) {
  for (const auto& e : entries) {
    if (e.name == name) {
      return &e;
    }
  }
  return nullptr;
}

TEST(PackWriter, OrdersSiblingsCaseInsensitivelyWithUnderscoreAfterLettersAndDigitsFirst) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  for (const char* name : {"beta", "Alpha", "_private", "9lives", "alpha2", "Zulu", "zeta/x",
                           "MID/inner", "mid.txt", "a_b", "aB", "AA"}) {
    PutFile(app, name, std::string("data of ") + name);
  }
  const auto entries = PackAndRead(app, out);
  const std::vector<std::string> expected = {"9lives", "AA",     "aB",   "Alpha",     "alpha2",
                                             "a_b",    "beta",   "MID/", "MID/inner", "mid.txt",
                                             "zeta/",  "zeta/x", "Zulu", "_private"};
  EXPECT_EQ(Names(entries), expected);
}

TEST(PackWriter, TiesBetweenNamesDifferingOnlyInCaseAreBrokenByRawBytes) {
#ifdef _WIN32
  GTEST_SKIP() << "names differing only in case are one file in a Windows folder";
#endif
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "readme", "lower");
  PutFile(app, "README", "upper");
  PutFile(app, "ReadMe", "mixed");
  const auto entries = PackAndRead(app, out);
  const std::vector<std::string> expected = {"README", "ReadMe", "readme"};
  EXPECT_EQ(Names(entries), expected);
}

TEST(PackWriter, PutsEachFolderEntryDirectlyBeforeItsContentsDepthFirst) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "b/z.txt", "1");
  PutFile(app, "b/a/deep/file", "2");
  PutFile(app, "b.txt", "3");
  PutFile(app, "a", "4");
  const auto entries = PackAndRead(app, out);
  const std::vector<std::string> expected = {
      "a", "b/", "b/a/", "b/a/deep/", "b/a/deep/file", "b/z.txt", "b.txt"};
  EXPECT_EQ(Names(entries), expected);
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_TRUE(pack::EntryNameLess(entries[i - 1].name, entries[i].name)) << entries[i].name;
  }
}

TEST(PackWriter, KeepsEmptyFoldersAndStoresEmptyFiles) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  std::filesystem::create_directories(app / "empty/inner");
  PutFile(app, "nothing.dat", "");
  const auto entries = PackAndRead(app, out);
  const std::vector<std::string> expected = {"empty/", "empty/inner/", "nothing.dat"};
  ASSERT_EQ(Names(entries), expected);
  for (int i = 0; i < 2; ++i) {
    const ReadBackEntry& folder = entries[i];
    EXPECT_EQ(folder.method, zip::kMethodStored);
    EXPECT_EQ(folder.compressedSize, 0u);
    EXPECT_EQ(folder.uncompressedSize, 0u);
    EXPECT_EQ(folder.crc32, 0u);
    EXPECT_EQ(folder.externalAttributes, 0x10u);
    EXPECT_EQ(folder.versionNeeded, 20);
  }
  const ReadBackEntry& file = entries[2];
  EXPECT_EQ(file.method, zip::kMethodStored);
  EXPECT_EQ(file.versionNeeded, 10);
  EXPECT_EQ(file.externalAttributes, 0x20u);
  EXPECT_EQ(file.compressedSize, 0u);
}

TEST(PackWriter, WritesTheFixedHeaderFieldsAndBackToBackLayout) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "dir/text.txt", pack_test::TextBytes(100000, 1));
  PutFile(app, "dir/noise.bin", pack_test::RandomBytes(5000, 2));
  const auto archive = out / "a.zip";
  ASSERT_EQ(pack_test::Pack(app.path(), archive), "");
  const std::string bytes = ReadFileBytes(archive);
  std::vector<ReadBackEntry> entries;
  std::string error;
  ASSERT_TRUE(ReadBack(bytes, entries, error)) << error;
  ASSERT_EQ(entries.size(), 3u);
  std::uint64_t expectedOffset = 0;
  for (const auto& e : entries) {
    EXPECT_EQ(e.versionMadeBy, 0x003F) << e.name;
    EXPECT_EQ(e.flags, 0) << e.name;
    EXPECT_EQ(e.localExtraLength, 0) << e.name;
    EXPECT_EQ(e.localHeaderOffset, expectedOffset) << e.name;
    expectedOffset = e.dataEnd;
  }
  // The central directory starts right after the last entry's data.
  const std::size_t endRecord = bytes.size() - zip::kEndRecordSize;
  EXPECT_EQ(pack_test::Le32(bytes, endRecord + zip::end_record_field::kDirectoryOffset),
            expectedOffset);
  EXPECT_EQ(pack_test::Le32(bytes, static_cast<std::size_t>(expectedOffset)),
            zip::kCentralRecordSignature);
  const ReadBackEntry* text = Find(entries, "dir/text.txt");
  const ReadBackEntry* noise = Find(entries, "dir/noise.bin");
  ASSERT_NE(text, nullptr);
  ASSERT_NE(noise, nullptr);
  EXPECT_EQ(text->method, zip::kMethodDeflate);
  EXPECT_EQ(text->versionNeeded, 20);
  EXPECT_LT(text->compressedSize, text->uncompressedSize);
  EXPECT_EQ(text->data, pack_test::TextBytes(100000, 1));
  EXPECT_EQ(noise->method, zip::kMethodStored);
  EXPECT_EQ(noise->versionNeeded, 10);
  EXPECT_EQ(noise->data, pack_test::RandomBytes(5000, 2));
}

void Put16(std::string& out, std::uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

void Put32(std::string& out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(value >> 16));
}

// The whole archive of a folder and a file in it, byte for byte: each local
// header repeats its central record's values, without extra field; central
// records carry neither comment nor disk number nor internal attributes, and
// the end record counts the entries of one disk.
TEST(PackWriter, WritesEachRecordFieldByField) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "d/a.txt", "hello");  // five bytes: deflate cannot shrink them
  std::tm when = {};
  when.tm_year = 2024 - 1900;
  when.tm_mon = 5 - 1;
  when.tm_mday = 17;
  when.tm_hour = 13;
  when.tm_min = 45;
  when.tm_sec = 30;
  when.tm_isdst = -1;
  const std::time_t stamp = std::mktime(&when);
  ASSERT_TRUE(SetModificationTime(app / "d/a.txt", stamp));
  ASSERT_TRUE(SetModificationTime(app / "d", stamp));
  const auto archive = out / "a.zip";
  ASSERT_EQ(pack_test::Pack(app.path(), archive), "");

  constexpr std::uint16_t kTime = (13 << 11) | (45 << 5) | (30 / 2);     // 0x6DAF
  constexpr std::uint16_t kDate = ((2024 - 1980) << 9) | (5 << 5) | 17;  // 0x58B1
  constexpr std::uint32_t kHelloCrc = 0x3610A686;                        // CRC-32 of "hello"
  std::string expected;
  // Local header of "d/", at 0.
  Put32(expected, 0x04034B50);  // signature
  Put16(expected, 20);          // version needed: 2.0, a folder
  Put16(expected, 0);           // flags: none, the name is ASCII
  Put16(expected, 0);           // method: stored
  Put16(expected, kTime);       // modification time
  Put16(expected, kDate);       // modification date
  Put32(expected, 0);           // CRC-32
  Put32(expected, 0);           // compressed size
  Put32(expected, 0);           // uncompressed size
  Put16(expected, 2);           // name length
  Put16(expected, 0);           // extra field length
  expected += "d/";             // name
  // Local header of "d/a.txt", at 32, and its data.
  Put32(expected, 0x04034B50);  // signature
  Put16(expected, 10);          // version needed: 1.0, stored
  Put16(expected, 0);           // flags
  Put16(expected, 0);           // method: stored
  Put16(expected, kTime);       // modification time
  Put16(expected, kDate);       // modification date
  Put32(expected, kHelloCrc);   // CRC-32
  Put32(expected, 5);           // compressed size
  Put32(expected, 5);           // uncompressed size
  Put16(expected, 7);           // name length
  Put16(expected, 0);           // extra field length
  expected += "d/a.txt";        // name
  expected += "hello";          // the data, stored
  // Central record of "d/", at 74.
  Put32(expected, 0x02014B50);  // signature
  Put16(expected, 0x003F);      // version made by: MS-DOS, 6.3
  Put16(expected, 20);          // version needed
  Put16(expected, 0);           // flags
  Put16(expected, 0);           // method
  Put16(expected, kTime);       // modification time
  Put16(expected, kDate);       // modification date
  Put32(expected, 0);           // CRC-32
  Put32(expected, 0);           // compressed size
  Put32(expected, 0);           // uncompressed size
  Put16(expected, 2);           // name length
  Put16(expected, 0);           // extra field length
  Put16(expected, 0);           // comment length
  Put16(expected, 0);           // disk number start
  Put16(expected, 0);           // internal attributes
  Put32(expected, 0x10);        // external attributes: MS-DOS directory
  Put32(expected, 0);           // local header offset
  expected += "d/";             // name
  // Central record of "d/a.txt", at 122.
  Put32(expected, 0x02014B50);  // signature
  Put16(expected, 0x003F);      // version made by: MS-DOS, 6.3
  Put16(expected, 10);          // version needed
  Put16(expected, 0);           // flags
  Put16(expected, 0);           // method
  Put16(expected, kTime);       // modification time
  Put16(expected, kDate);       // modification date
  Put32(expected, kHelloCrc);   // CRC-32
  Put32(expected, 5);           // compressed size
  Put32(expected, 5);           // uncompressed size
  Put16(expected, 7);           // name length
  Put16(expected, 0);           // extra field length
  Put16(expected, 0);           // comment length
  Put16(expected, 0);           // disk number start
  Put16(expected, 0);           // internal attributes
  Put32(expected, 0x20);        // external attributes: MS-DOS archive
  Put32(expected, 32);          // local header offset
  expected += "d/a.txt";        // name
  // End record, at 175.
  Put32(expected, 0x06054B50);  // signature
  Put16(expected, 0);           // this disk
  Put16(expected, 0);           // the directory's disk
  Put16(expected, 2);           // entries on this disk
  Put16(expected, 2);           // entries
  Put32(expected, 48 + 53);     // directory size: the two central records
  Put32(expected, 74);          // directory offset
  Put16(expected, 0);           // comment length
  EXPECT_EQ(ReadFileBytes(archive), expected);
}

TEST(PackWriter, StoresMultiPieceFilesThatDeflateCannotShrinkAndDeflatesTheRest) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  const std::string noise = pack_test::RandomBytes(300000, 3);
  // Mostly random with a compressible tail: deflate wins only in total.
  const std::string mixed = pack_test::RandomBytes(100000, 4) + pack_test::TextBytes(200000, 5);
  PutFile(app, "noise", noise);
  PutFile(app, "mixed", mixed);
  PutFile(app, "tiny", "x");
  pack::WriteOptions options;
  options.pieceSize = 64 * 1024;
  options.threads = 3;
  const auto entries = PackAndRead(app, out, options);
  ASSERT_EQ(entries.size(), 3u);
  const ReadBackEntry* n = Find(entries, "noise");
  const ReadBackEntry* m = Find(entries, "mixed");
  const ReadBackEntry* t = Find(entries, "tiny");
  ASSERT_TRUE(n && m && t);
  EXPECT_EQ(n->method, zip::kMethodStored);
  EXPECT_EQ(n->compressedSize, noise.size());
  EXPECT_EQ(n->data, noise);
  EXPECT_EQ(m->method, zip::kMethodDeflate);
  EXPECT_EQ(m->data, mixed);
  EXPECT_EQ(t->method, zip::kMethodStored);
  EXPECT_EQ(t->data, "x");
}

// Decodes each piece of entry `index` alone, as its index places it, and
// joins the results; false when the entry has no usable index or a piece
// does not decode.
bool DecodeEachPiece(zip::ZipArchive& archive, std::uint32_t index, std::string& content) {
  zip::ZipEntryRecord record;
  zip::ZipLocalHeaderRecord local;
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  std::vector<zip::ZipPiece> pieces;
  if (!zip::ZipReadEntryRecord(archive, index, record) ||
      !zip::ZipReadLocalHeader(archive, index, local) ||
      !zip::ZipLocateEntryData(archive, index, data, length) || !local.header.extra.empty() ||
      !zip::ZipPiecesFromIndex(record.central.extra, record.location.compressedSize,
                               record.location.uncompressedSize, pieces)) {
    return false;
  }
  zip::ZipPieceDecoder decoder;
  content.assign(static_cast<std::size_t>(record.location.uncompressedSize), '\0');
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const zip::ZipPiece& piece = pieces[i];
    std::uint32_t crc = 0;
    auto* out = reinterpret_cast<unsigned char*>(&content[0]) + piece.uncompressedOffset;
    if (!decoder.Decode(data + piece.compressedOffset, piece.compressedLength,
                        i + 1 == pieces.size(), out, piece.uncompressedLength, crc)) {
      return false;
    }
  }
  return true;
}

TEST(PackWriter, IndexesTheIndependentPiecesOfAMultiPieceFileInItsCentralRecord) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  constexpr std::uint32_t kPieceSize = 64 * 1024;
  const std::string mixed = pack_test::TextBytes(150000, 21) + pack_test::RandomBytes(70000, 22) +
                            pack_test::TextBytes(9000, 23);
  PutFile(app, "a-mixed", mixed);
  PutFile(app, "b-one-piece", pack_test::TextBytes(kPieceSize, 24));
  PutFile(app, "c-noise", pack_test::RandomBytes(3 * kPieceSize, 25));
  pack::WriteOptions options;
  options.pieceSize = kPieceSize;
  options.threads = 2;
  const auto archive = out / "a.zip";
  ASSERT_EQ(pack_test::Pack(app.path(), archive, options), "");
  const std::string bytes = ReadFileBytes(archive);

  zip::ZipArchive reader;
  ASSERT_TRUE(zip::ZipOpenMemory(reader, reinterpret_cast<const unsigned char*>(bytes.data()),
                                 bytes.size()));
  ASSERT_EQ(zip::ZipEntryCount(reader), 3u);
  std::string content;
  EXPECT_TRUE(DecodeEachPiece(reader, 0, content));
  EXPECT_TRUE(content == mixed);
  // One piece, or stored: no index at all.
  for (std::uint32_t i = 1; i < 3; ++i) {
    zip::ZipEntryRecord record;
    ASSERT_TRUE(zip::ZipReadEntryRecord(reader, i, record));
    EXPECT_EQ(record.central.extra, "") << record.central.name;
  }
  zip::ZipClose(reader);

  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(pack::InspectArchive(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   bytes.size(), pack::InspectOptions(), report, error))
      << error;
  EXPECT_TRUE(report.breaks.empty()) << report.breaks[0].rule << ": " << report.breaks[0].detail;
  EXPECT_TRUE(report.notes.empty()) << report.notes[0].detail;
}

TEST(PackWriter, LevelZeroStoresEverything) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "text", pack_test::TextBytes(700000, 6));
  pack::WriteOptions options;
  options.level = 0;
  options.pieceSize = 100000;
  const auto entries = PackAndRead(app, out, options);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].method, zip::kMethodStored);
  EXPECT_EQ(entries[0].data, pack_test::TextBytes(700000, 6));
}

TEST(PackWriter, SetsTheUtf8FlagExactlyForNonAsciiNames) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "caf\xC3\xA9/men\xC3\xBC.txt", "menu");
  PutFile(app, "plain.txt", "plain");
  PutFile(app, "\xE6\x97\xA5\xE6\x9C\xAC", "japan");
  const auto entries = PackAndRead(app, out);
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& e : entries) {
    const bool ascii = pack::IsAscii(e.name);
    EXPECT_EQ(e.flags, ascii ? 0 : 0x0800) << e.name;
  }
  EXPECT_NE(Find(entries, "caf\xC3\xA9/men\xC3\xBC.txt"), nullptr);
}

TEST(PackWriter, HandlesDeepPaths) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  std::string relative;
  for (int i = 0; i < 40; ++i) {
    relative += "level" + std::to_string(i) + "/";
  }
  PutFile(app, relative + "bottom.txt", "deep down");
  const auto entries = PackAndRead(app, out);
  ASSERT_EQ(entries.size(), 41u);
  EXPECT_EQ(entries[0].name, "level0/");
  EXPECT_EQ(entries[39].name, relative);
  EXPECT_EQ(entries[40].name, relative + "bottom.txt");
  EXPECT_EQ(entries[40].data, "deep down");
}

TEST(PackWriter, StampsEntriesWithLocalModificationTimeInDosForm) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "dir/file", "x");
  PutFile(app, "old", "y");
  std::tm when = {};
  when.tm_year = 2021 - 1900;
  when.tm_mon = 6 - 1;
  when.tm_mday = 15;
  when.tm_hour = 13;
  when.tm_min = 45;
  when.tm_sec = 31;
  when.tm_isdst = -1;
  const std::time_t stamp = std::mktime(&when);
  ASSERT_TRUE(SetModificationTime(app / "dir/file", stamp));
  ASSERT_TRUE(SetModificationTime(app / "dir", stamp + 3600));
  ASSERT_TRUE(SetModificationTime(app / "old", 86400 * 365));  // 1971, before the MS-DOS epoch
  const auto entries = PackAndRead(app, out);
  ASSERT_EQ(entries.size(), 3u);
  const ReadBackEntry* file = Find(entries, "dir/file");
  const ReadBackEntry* folder = Find(entries, "dir/");
  const ReadBackEntry* old = Find(entries, "old");
  ASSERT_TRUE(file && folder && old);
  EXPECT_EQ(file->dosDate, ((2021 - 1980) << 9) | (6 << 5) | 15);
  EXPECT_EQ(file->dosTime, (13 << 11) | (45 << 5) | 15);
  EXPECT_EQ(folder->dosTime, (14 << 11) | (45 << 5) | 15);
  EXPECT_EQ(old->dosDate, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(old->dosTime, 0);
}

TEST(PackWriter, GivesIdenticalBytesForAnyThreadCount) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  for (int i = 0; i < 12; ++i) {
    PutFile(app, "text/t" + std::to_string(i), pack_test::TextBytes(20000 + 7919 * i, 10 + i));
    PutFile(app, "bin/b" + std::to_string(i), pack_test::RandomBytes(3000 * i, 40 + i));
  }
  PutFile(app, "big/mixed",
          pack_test::TextBytes(400000, 7) + pack_test::RandomBytes(90000, 8) +
              pack_test::TextBytes(300000, 9));
  PutFile(app, "big/noise", pack_test::RandomBytes(350000, 11));
  std::string reference;
  for (const unsigned threads : {1u, 2u, 7u}) {
    pack::WriteOptions options;
    options.threads = threads;
    options.pieceSize = 64 * 1024;
    const auto archive = out / ("t" + std::to_string(threads) + ".zip");
    ASSERT_EQ(pack_test::Pack(app.path(), archive, options), "");
    const std::string bytes = ReadFileBytes(archive);
    ASSERT_FALSE(bytes.empty());
    if (reference.empty()) {
      reference = bytes;
      std::vector<ReadBackEntry> entries;
      std::string error;
      ASSERT_TRUE(ReadBack(bytes, entries, error)) << error;
    } else {
      EXPECT_TRUE(bytes == reference) << threads << " threads gave different bytes";
    }
  }
}

TEST(PackWriter, RefusesAnArchiveReachingTheSizeLimitAndLeavesNothingBehind) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "a/noise", pack_test::RandomBytes(200000, 12));
  PutFile(app, "b/noise", pack_test::RandomBytes(200000, 13));
  pack::WriteOptions options;
  options.pieceSize = 32 * 1024;
  options.threads = 2;
  options.sizeLimit = 300000;
  const std::string error = pack_test::Pack(app.path(), out / "a.zip", options);
  EXPECT_NE(error.find("300000"), std::string::npos) << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, SizeLimitIsExactAtTheLastByte) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "f", pack_test::RandomBytes(1000, 14));
  ASSERT_EQ(pack_test::Pack(app.path(), out / "probe.zip"), "");
  const std::uint64_t size = std::filesystem::file_size(out / "probe.zip");
  pack::WriteOptions options;
  options.sizeLimit = size + 1;  // the archive must stay below the limit
  EXPECT_EQ(pack_test::Pack(app.path(), out / "fits.zip", options), "");
  options.sizeLimit = size;
  EXPECT_NE(pack_test::Pack(app.path(), out / "refused.zip", options), "");
  EXPECT_FALSE(std::filesystem::exists(out / "refused.zip"));
}

TEST(PackWriter, DoesNotReplaceAnExistingArchiveOnFailure) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "noise", pack_test::RandomBytes(100000, 15));
  testing_support::WriteFileBytes(out / "a.zip", "previous");
  pack::WriteOptions options;
  options.sizeLimit = 50000;
  EXPECT_NE(pack_test::Pack(app.path(), out / "a.zip", options), "");
  EXPECT_EQ(ReadFileBytes(out / "a.zip"), "previous");
  EXPECT_EQ(pack_test::FolderNames(out.path()), std::vector<std::string>{"a.zip"});
}

TEST(PackWriter, FailsNamingAFileThatVanishedAndLeavesNothingBehind) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "keep", "k");
  PutFile(app, "gone", "g");
  std::vector<pack::TreeEntry> entries;
  std::string error;
  ASSERT_TRUE(pack::WalkTree(app.path().string(), pack::WalkOptions(), entries, error));
  std::filesystem::remove(app / "gone");
  pack::WriteSummary summary;
  EXPECT_FALSE(
      pack::WriteArchive(entries, (out / "a.zip").string(), pack::WriteOptions(), summary, error));
  EXPECT_NE(error.find("gone"), std::string::npos) << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, FailsWhenAFileChangedSizeSinceTheWalk) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "grows", "short");
  PutFile(app, "shrinks", pack_test::TextBytes(5000, 16));
  for (const char* name : {"grows", "shrinks"}) {
    std::vector<pack::TreeEntry> entries;
    std::string error;
    ASSERT_TRUE(pack::WalkTree(app.path().string(), pack::WalkOptions(), entries, error));
    PutFile(app, name, std::string(name) == "grows" ? std::string(5000, 'g') : "tiny");
    pack::WriteSummary summary;
    EXPECT_FALSE(pack::WriteArchive(entries, (out / "a.zip").string(), pack::WriteOptions(),
                                    summary, error));
    EXPECT_NE(error.find(name), std::string::npos) << error;
    EXPECT_NE(error.find("changed"), std::string::npos) << error;
  }
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

// Walks `app`, lets `change` act on it, then writes `output`; returns the
// writer's error, or "" when it wrote the archive.
std::string WalkChangeAndWrite(const TempFolder& app, const std::filesystem::path& output,
                               const std::function<void()>& change,
                               pack::WriteOptions options = pack::WriteOptions()) {
  std::vector<pack::TreeEntry> entries;
  std::string error;
  if (!pack::WalkTree(app.path().string(), pack::WalkOptions(), entries, error)) {
    return "walk: " + error;
  }
  change();
  pack::WriteSummary summary;
  return pack::WriteArchive(entries, output.string(), options, summary, error) ? "" : error;
}

// Overwrites `length` bytes of `path` at `offset` in place, keeping its size
// and its identity.
void OverwriteInPlace(const std::filesystem::path& path, std::size_t offset, std::size_t length) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file.is_open());
  file.seekp(static_cast<std::streamoff>(offset));
  const std::string bytes(length, '#');
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good());
}

TEST(PackWriter, FailsWhenAnotherFileOfTheSameSizeAndTimeTookAFilesPlace) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "data", pack_test::TextBytes(5000, 40));
  PutFile(app, "empty", "");
  for (const std::string name : {"data", "empty"}) {
    const std::string error = WalkChangeAndWrite(app, out / "a.zip", [&] {
      // Only the device and inode tell the newcomer from the file walked.
      const std::size_t size = static_cast<std::size_t>(std::filesystem::file_size(app / name));
      PutFile(app, "newcomer", std::string(size, 'n'));
      std::filesystem::last_write_time(app / "newcomer",
                                       std::filesystem::last_write_time(app / name));
      std::filesystem::rename(app / "newcomer", app / name);
    });
    EXPECT_NE(error.find(name + ": changed while being packed (another file took its place)"),
              std::string::npos)
        << error;
  }
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, FailsWhenAFileWasRewrittenInPlaceToTheSameSize) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "data", pack_test::TextBytes(5000, 41));
  const std::string error = WalkChangeAndWrite(app, out / "a.zip", [&] {
    const auto walked = std::filesystem::last_write_time(app / "data");
    OverwriteInPlace(app / "data", 100, 50);
    std::filesystem::last_write_time(app / "data", walked + std::chrono::seconds(2));
  });
  EXPECT_NE(error.find("data: changed while being packed (it was modified)"), std::string::npos)
      << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

// The pieces read after the change would make a consistent-looking mix of old
// and new bytes; the file's time, checked once it is read, gives it away.
TEST(PackWriter, FailsWhenAFileIsModifiedWhileItIsRead) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  constexpr std::uint32_t kPiece = 4096;
  constexpr std::size_t kPieces = 64;
  PutFile(app, "big", pack_test::TextBytes(kPiece * kPieces, 42));
  pack::WriteOptions options;
  options.pieceSize = kPiece;
  options.threads = 2;
  bool changed = false;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (!changed) {
      changed = true;
      const auto walked = std::filesystem::last_write_time(app / "big");
      OverwriteInPlace(app / "big", kPiece * (kPieces - 2), kPiece);
      std::filesystem::last_write_time(app / "big", walked + std::chrono::seconds(2));
    }
  };
  const std::string error = WalkChangeAndWrite(
      app, out / "a.zip", [] {}, options);
  EXPECT_TRUE(changed);
  EXPECT_NE(error.find("big: changed while being packed (it was modified)"), std::string::npos)
      << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, RefusesTooManyEntries) {
  std::vector<pack::TreeEntry> entries(70000);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].name = "d" + std::to_string(i) + "/";
    entries[i].isFolder = true;
  }
  TempFolder out("pack-out-");
  pack::WriteSummary summary;
  std::string error;
  EXPECT_FALSE(
      pack::WriteArchive(entries, (out / "a.zip").string(), pack::WriteOptions(), summary, error));
  EXPECT_NE(error.find("65535"), std::string::npos) << error;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackWriter, ProducesArchivesTheListerAcceptsAndReportsProgress) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe",
          pack_test::RandomBytes(70000, 17));
  PutFile(app, "quillorbite/Content/data.pak", pack_test::TextBytes(500000, 18));
  std::filesystem::create_directories(app / "Engine/Empty");
  std::uint64_t lastDone = 0;
  std::uint64_t lastTotal = 0;
  pack::WriteOptions options;
  options.pieceSize = 100000;
  options.progress = [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_GE(done, lastDone);
    lastDone = done;
    lastTotal = total;
  };
  ASSERT_EQ(pack_test::Pack(app.path(), out / "a.zip", options), "");
  EXPECT_EQ(lastDone, 570000u);
  EXPECT_EQ(lastTotal, 570000u);
  const std::string bytes = ReadFileBytes(out / "a.zip");
  pack::InspectOptions inspect;
  inspect.executablePath = "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe";
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(pack::InspectArchive(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   bytes.size(), inspect, report, error))
      << error;
  EXPECT_EQ(report.entries.size(), 8u);
  for (const auto& item : report.breaks) {
    ADD_FAILURE() << item.rule << ": " << item.detail;
  }
}

// Entries as a walk gives them, with permissions of the test's choosing, so
// the Unix form can be checked on any host.
std::vector<pack::TreeEntry> EntriesWithPermissions(const TempFolder& app) {
  pack_test::WalkResult walk = pack_test::Walk(app.path());
  EXPECT_TRUE(walk.ok) << walk.error;
  for (pack::TreeEntry& entry : walk.entries) {
    entry.permissions = entry.isFolder ? 0750 : (entry.name == "bin/run" ? 0755 : 0640);
  }
  return walk.entries;
}

TEST(PackWriter, RecordsUnixModesForANativeStarter) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "bin/run", pack_test::TextBytes(5000, 30));
  PutFile(app, "data.txt", "plain data");
  pack::WriteOptions options;
  options.unixModes = true;
  pack::WriteSummary summary;
  std::string error;
  ASSERT_TRUE(pack::WriteArchive(EntriesWithPermissions(app), (out / "a.zip").string(), options,
                                 summary, error))
      << error;
  const std::string bytes = ReadFileBytes(out / "a.zip");
  std::vector<ReadBackEntry> entries;
  ASSERT_TRUE(ReadBack(bytes, entries, error)) << error;
  ASSERT_EQ(Names(entries), (std::vector<std::string>{"bin/", "bin/run", "data.txt"}));
  for (const auto& e : entries) {
    EXPECT_EQ(e.versionMadeBy, 0x033F) << e.name;
  }
  EXPECT_EQ(entries[0].externalAttributes, (040750u << 16) | 0x10u);
  EXPECT_EQ(entries[1].externalAttributes, (0100755u << 16) | 0x20u);
  EXPECT_EQ(entries[2].externalAttributes, (0100640u << 16) | 0x20u);

  // The starter's reader gives the files these bits, and the lister takes the
  // archive for one of the form.
  zip::ZipArchive archive;
  ASSERT_TRUE(zip::ZipOpenMemory(archive, bytes.data(), bytes.size()));
  zip::ZipEntryRecord record;
  ASSERT_TRUE(zip::ZipReadEntryRecord(archive, 1, record));
  EXPECT_EQ(zip::ZipEntryFileMode(record.central), 0755u);
  ASSERT_TRUE(zip::ZipReadEntryRecord(archive, 2, record));
  EXPECT_EQ(zip::ZipEntryFileMode(record.central), 0640u);
  zip::ZipClose(archive);
  pack::ArchiveReport report;
  ASSERT_TRUE(pack::InspectArchive(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   bytes.size(), pack::InspectOptions(), report, error))
      << error;
  for (const auto& item : report.breaks) {
    ADD_FAILURE() << item.rule << ": " << item.detail;
  }
}

TEST(PackWriter, UnixAttributesPutTheModeAboveTheMsDosAttributes) {
  EXPECT_EQ(pack::UnixExternalAttributes(false, 0644), (0100644u << 16) | 0x20u);
  EXPECT_EQ(pack::UnixExternalAttributes(true, 0755), (040755u << 16) | 0x10u);
  EXPECT_EQ(pack::UnixExternalAttributes(false, 04755), (0104755u << 16) | 0x20u);
  // Bits beyond the permissions cannot pose as another file type.
  EXPECT_EQ(pack::UnixExternalAttributes(false, 0170644), (0100644u << 16) | 0x20u);
  EXPECT_EQ(pack::kVersionMadeByUnix63, 0x033F);
}

TEST(PackWriter, KeepsTheMsDosFormWhateverThePermissions) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  PutFile(app, "bin/run", pack_test::TextBytes(5000, 30));
  PutFile(app, "data.txt", "plain data");
  pack::WriteSummary summary;
  std::string error;
  ASSERT_TRUE(pack::WriteArchive(EntriesWithPermissions(app), (out / "a.zip").string(),
                                 pack::WriteOptions(), summary, error))
      << error;
  // Packing the same tree with the walk's own permissions gives the same bytes.
  ASSERT_EQ(pack_test::Pack(app.path(), out / "b.zip"), "");
  const std::string bytes = ReadFileBytes(out / "a.zip");
  EXPECT_TRUE(bytes == ReadFileBytes(out / "b.zip"));
  std::vector<ReadBackEntry> entries;
  ASSERT_TRUE(ReadBack(bytes, entries, error)) << error;
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& e : entries) {
    EXPECT_EQ(e.versionMadeBy, 0x003F) << e.name;
    EXPECT_EQ(e.externalAttributes, e.name == "bin/" ? 0x10u : 0x20u) << e.name;
  }
}

TEST(PackWriter, TheStartersReaderExtractsEveryEntry) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  const std::string big = pack_test::TextBytes(600000, 20) + pack_test::RandomBytes(70000, 21);
  PutFile(app, "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe", big);
  PutFile(app, "caf\xC3\xA9/noise", pack_test::RandomBytes(4000, 22));
  PutFile(app, "empty", "");
  std::filesystem::create_directories(app / "hollow");
  pack::WriteOptions options;
  options.pieceSize = 64 * 1024;
  options.threads = 2;
  ASSERT_EQ(pack_test::Pack(app.path(), out / "a.zip", options), "");
  const std::string bytes = ReadFileBytes(out / "a.zip");

  zip::ZipArchive archive;
  ASSERT_TRUE(zip::ZipOpenMemory(archive, bytes.data(), bytes.size()));
  ASSERT_EQ(zip::ZipEntryCount(archive), 8u);
  int files = 0;
  for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive); ++i) {
    zip::ZipEntryRecord record;
    ASSERT_TRUE(zip::ZipReadEntryRecord(archive, i, record));
    EXPECT_EQ(record.central.versionMadeBy, 0x003F) << record.central.name;
    if (record.isDirectory) {
      EXPECT_EQ(record.central.externalAttributes, 0x10u) << record.central.name;
      continue;
    }
    const auto target = out / ("file" + std::to_string(i));
    ASSERT_TRUE(testing_support::ExtractEntryToFile(archive, i, target.u8string().c_str()))
        << record.central.name << ": " << zip::ZipErrorText(zip::ZipTakeLastError(archive));
    EXPECT_TRUE(ReadFileBytes(target) == ReadFileBytes(app / std::string(record.central.name)))
        << record.central.name;
    ++files;
  }
  EXPECT_EQ(files, 3);
  zip::ZipClose(archive);
}

// An entry whose pieces of random bytes come out as stored blocks inside its
// deflate stream: text pieces, then random ones, the last of them ending the
// stream.
class PackStoredPieces : public testing_support::ZipWriteFixture {
 protected:
  static constexpr std::uint32_t kPieceSize = 150000;  // over two stored blocks

  void SetUp() override {
    ZipWriteFixture::SetUp();
    content_ = pack_test::TextBytes(2 * kPieceSize, 50) +
               pack_test::RandomBytes(5 * kPieceSize + 1234, 51);
    PutFile(app_, "app/data.bin", content_);
  }

  std::string PackWith(unsigned storeBelow, unsigned threads) {
    pack::WriteOptions options;
    options.pieceSize = kPieceSize;
    options.storeBelowPercent = storeBelow;
    options.threads = threads;
    const auto archive =
        out_ / ("a-" + std::to_string(storeBelow) + "-" + std::to_string(threads) + ".zip");
    EXPECT_EQ(pack_test::Pack(app_.path(), archive, options), "");
    return ReadFileBytes(archive);
  }

  // The data entry's pieces, each as its bytes in the archive.
  std::vector<std::string> PieceBytes() {
    std::vector<std::string> out;
    const std::uint32_t index = 1;  // "app/" comes first
    zip::ZipEntryRecord record;
    const unsigned char* data = nullptr;
    std::uint64_t length = 0;
    std::vector<zip::ZipPiece> pieces;
    EXPECT_TRUE(zip::ZipReadEntryRecord(archive_, index, record));
    EXPECT_EQ(record.central.method, zip::kMethodDeflate);
    if (!zip::ZipLocateEntryData(archive_, index, data, length) ||
        !zip::ZipPiecesFromIndex(record.central.extra, record.location.compressedSize,
                                 record.location.uncompressedSize, pieces)) {
      ADD_FAILURE() << "no piece index";
      return out;
    }
    for (const zip::ZipPiece& piece : pieces) {
      out.emplace_back(reinterpret_cast<const char*>(data) + piece.compressedOffset,
                       static_cast<std::size_t>(piece.compressedLength));
    }
    return out;
  }

  // Slice `i` of the content, as StorePiece or DeflatePiece writes it.
  std::string Expected(std::size_t i, bool stored) const {
    const std::size_t offset = i * kPieceSize;
    const std::size_t length = std::min<std::size_t>(kPieceSize, content_.size() - offset);
    const bool last = offset + length == content_.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(content_.data()) + offset;
    std::string piece;
    if (stored) {
      pack::StorePiece(bytes, length, last, piece);
    } else {
      EXPECT_TRUE(pack::DeflatePiece(bytes, length, last, pack::kDefaultLevel, piece));
    }
    return piece;
  }

  TempFolder app_{"pack-app-"};
  TempFolder out_{"pack-out-"};
  std::string content_;
};

TEST_F(PackStoredPieces, PiecesOfRandomBytesAreStoredBlocksAndTheRestDeflated) {
  const std::string bytes = PackWith(pack::kDefaultStoreBelowPercent, 2);
  Open(bytes);
  const std::vector<std::string> pieces = PieceBytes();
  ASSERT_EQ(pieces.size(), 8u);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_TRUE(pieces[i] == Expected(i, i >= 2)) << i;
  }
  // 3 blocks and the sync flush's empty one; the last: one final block.
  EXPECT_EQ(pieces[2].size(), kPieceSize + 4 * 5);
  EXPECT_EQ(pieces[7].size(), 1234u + 5);
  EXPECT_EQ(static_cast<unsigned char>(pieces[7][0]), 0x01);
  std::vector<ReadBackEntry> entries;
  std::string error;
  ASSERT_TRUE(ReadBack(bytes, entries, error)) << error;  // zlib inflates it whole
  EXPECT_TRUE(entries[1].data == content_);
}

TEST_F(PackStoredPieces, ThresholdZeroDeflatesEveryPieceAsBefore) {
  Open(PackWith(0, 2));
  const std::vector<std::string> pieces = PieceBytes();
  ASSERT_EQ(pieces.size(), 8u);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_TRUE(pieces[i] == Expected(i, false)) << i;
  }
  // zlib too keeps a short tail of random bytes in one stored block; the
  // longer pieces it splits otherwise.
  for (std::size_t i = 2; i + 1 < pieces.size(); ++i) {
    EXPECT_FALSE(pieces[i] == Expected(i, true)) << i;
  }
}

TEST_F(PackStoredPieces, GivesIdenticalBytesForAnyThreadCount) {
  const std::string reference = PackWith(pack::kDefaultStoreBelowPercent, 1);
  for (const unsigned threads : {2u, 4u}) {
    EXPECT_TRUE(PackWith(pack::kDefaultStoreBelowPercent, threads) == reference) << threads;
  }
}

TEST_F(PackStoredPieces, TheStartersReaderExtractsThemOnOneThreadAndSeveral) {
  Open(PackWith(pack::kDefaultStoreBelowPercent, 2));
  std::string decoded;
  ASSERT_TRUE(DecodeEachPiece(archive_, 1, decoded));  // each piece alone
  EXPECT_TRUE(decoded == content_);
  zip::ZipEntryJob job;
  ASSERT_TRUE(zip::ZipPrepareEntryJob(archive_, 1, job));
  EXPECT_EQ(job.crc32,
            static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(content_.data()),
                                             static_cast<uInt>(content_.size()))));
  for (const unsigned threads : {1u, 3u}) {
    std::size_t pieces = 0;
    const auto written = PiecedOnThreads(job, threads, "pieced-" + std::to_string(threads), pieces);
    EXPECT_EQ(pieces, 8u) << threads;
    EXPECT_EQ(written.error, zip::ZipError::kNone) << threads;
    EXPECT_TRUE(written.bytes == content_) << threads;
  }
  const auto streamed = Streamed(1);
  EXPECT_EQ(streamed.error, zip::ZipError::kNone);
  EXPECT_TRUE(streamed.bytes == content_);
}

TEST(PackWriter, StoresAOnePieceFileThatDeflateShrinksByLessThanTheThreshold) {
  TempFolder app("pack-app-");
  TempFolder out("pack-out-");
  // Deflate saves about 1.4%: below the default 2%, above 1%.
  const std::string barely = pack_test::RandomBytes(100000, 60) + std::string(1500, '\0');
  PutFile(app, "barely", barely);
  for (const unsigned percent : {0u, 1u, 2u}) {
    pack::WriteOptions options;
    options.storeBelowPercent = percent;
    const auto entries = PackAndRead(app, out, options);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].method, percent == 2 ? zip::kMethodStored : zip::kMethodDeflate)
        << percent;
    EXPECT_TRUE(entries[0].data == barely) << percent;
  }
}

}  // namespace
