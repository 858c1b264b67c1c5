#include "zip/zip_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::ZipBuilder;
using testing_support::ZipLayout;
using zip::ZipArchive;
using zip::ZipEntryRecord;
using zip::ZipError;

// Deterministic content that compresses moderately: text with a varying
// counter, so inflate produces many output buffers.
std::string TextContent(std::size_t size, unsigned seed = 1) {
  std::string out;
  out.reserve(size + 64);
  unsigned state = seed;
  while (out.size() < size) {
    state = state * 1103515245u + 12345u;
    out += "line " + std::to_string(state % 100000) + " of some text\n";
  }
  out.resize(size);
  return out;
}

std::string PathText(const std::filesystem::path& path) {
  return path.u8string();
}

bool Open(ZipArchive& archive, const std::string& bytes) {
  return zip::ZipOpenMemory(archive, bytes.data(), bytes.size());
}

// Extracts and returns the error left behind (kNone on success).
ZipError Extract(ZipArchive& archive, std::uint32_t index, const std::filesystem::path& path) {
  if (testing_support::ExtractEntryToFile(archive, index, PathText(path).c_str())) {
    return zip::ZipTakeLastError(archive) == ZipError::kNone ? ZipError::kNone
                                                             : ZipError::kInternalError;
  }
  const ZipError error = zip::ZipTakeLastError(archive);
  return error == ZipError::kNone ? ZipError::kInternalError : error;
}

// An open archive lasting one test; the bytes must outlive it.
class OpenArchive {
 public:
  explicit OpenArchive(const std::string& bytes) : bytes_(bytes) {
    ok_ = zip::ZipOpenMemory(archive_, bytes_.data(), bytes_.size());
  }
  ~OpenArchive() { zip::ZipClose(archive_); }
  bool ok() const { return ok_; }
  ZipArchive& get() { return archive_; }
  ZipEntryRecord Record(std::uint32_t index) {
    ZipEntryRecord record;
    EXPECT_TRUE(zip::ZipReadEntryRecord(archive_, index, record));
    return record;
  }

 private:
  std::string bytes_;
  ZipArchive archive_;
  bool ok_ = false;
};

// The reason an archive fails to open.
ZipError OpenError(const std::string& bytes) {
  ZipArchive archive;
  if (Open(archive, bytes)) {
    zip::ZipClose(archive);
    return ZipError::kNone;
  }
  EXPECT_FALSE(archive.open);
  EXPECT_EQ(archive.data, nullptr);
  EXPECT_TRUE(archive.recordOffsets.empty());
  return zip::ZipTakeLastError(archive);
}

std::int64_t ModificationTime(const std::filesystem::path& path) {
#ifdef _WIN32
  struct _stat64 info;
  if (_wstat64(path.wstring().c_str(), &info) != 0) {
    return -1;
  }
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    return -1;
  }
#endif
  return static_cast<std::int64_t>(info.st_mtime);
}

TEST(ZipOpen, EmptyArchiveOpensWithNoEntries) {
  const std::string bytes = ZipBuilder().Build();
  ASSERT_EQ(bytes.size(), 22u);
  ZipArchive archive;
  ASSERT_TRUE(Open(archive, bytes));
  EXPECT_TRUE(archive.open);
  EXPECT_EQ(zip::ZipEntryCount(archive), 0u);
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kNone);
  ZipEntryRecord record;
  EXPECT_FALSE(zip::ZipReadEntryRecord(archive, 0, record));
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kInvalidParameter);
  EXPECT_TRUE(zip::ZipClose(archive));
}

TEST(ZipOpen, FailsForNullDataAndShortBlocks) {
  ZipArchive archive;
  EXPECT_FALSE(zip::ZipOpenMemory(archive, nullptr, 22));
  EXPECT_FALSE(archive.open);
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kInvalidParameter);

  const std::string bytes = ZipBuilder().Build();
  for (std::size_t size = 0; size < 22; ++size) {
    // The tail of a valid empty archive, so the bytes present look right.
    EXPECT_EQ(OpenError(bytes.substr(22 - size)), ZipError::kNotAnArchive) << size;
  }
  EXPECT_EQ(OpenError(std::string(100, 'x')), ZipError::kCentralDirectoryNotFound);
}

TEST(ZipOpen, BytesInFrontNeedOffsetsFromTheBlockStart) {
  ZipBuilder builder;
  builder.prefix = std::string(4096, 'P');
  builder.AddStored("a.txt", "alpha");
  builder.AddDeflated("b.txt", TextContent(5000));
  {
    OpenArchive archive(builder.Build());
    ASSERT_TRUE(archive.ok());
    EXPECT_EQ(zip::ZipEntryCount(archive.get()), 2u);
    EXPECT_EQ(archive.Record(0).location.localHeaderOffset, 4096u);
  }
  builder.offsetsFromArchiveStart = true;
  EXPECT_NE(OpenError(builder.Build()), ZipError::kNone);
}

TEST(ZipOpen, ReadsPastAnArchiveComment) {
  ZipBuilder builder;
  builder.AddStored("a.txt", "alpha");
  // A comment that itself looks like the start of an end record.
  builder.comment = std::string("PK\x05\x06", 4) + std::string(30, '\0') + "comment";
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(zip::ZipEntryCount(archive.get()), 1u);
  EXPECT_EQ(archive.Record(0).central.name, "a.txt");

  ZipBuilder longComment;
  longComment.AddStored("b.txt", "beta");
  longComment.comment = std::string(65535, 'c');
  OpenArchive archive2(longComment.Build());
  ASSERT_TRUE(archive2.ok());
  EXPECT_EQ(archive2.Record(0).central.name, "b.txt");
}

TEST(ZipOpen, CommentLengthMustReachTheEnd) {
  ZipBuilder builder;
  builder.AddStored("a.txt", "alpha");
  builder.comment = "abc";
  builder.end.commentLength = 4;  // one more than present
  EXPECT_EQ(OpenError(builder.Build()), ZipError::kCentralDirectoryNotFound);
}

TEST(ZipOpen, FillsRecords) {
  ZipBuilder builder;
  builder.AddFolder("dir/");
  auto& stored = builder.AddStored("dir/a.txt", "alpha");
  stored.dosTime = testing_support::DosTime(13, 45, 30);
  stored.dosDate = testing_support::DosDate(2019, 6, 15);
  stored.externalAttributes = 0100755u << 16;
  stored.comment = "entry comment";
  auto& deflated = builder.AddDeflated("b.txt", TextContent(10000));
  deflated.versionMadeBy = 0x0014;  // MS-DOS host
  deflated.externalAttributes = 0x20;
  ZipLayout layout;
  const std::string bytes = builder.Build(&layout);
  OpenArchive archive(bytes);
  ASSERT_TRUE(archive.ok());
  ASSERT_EQ(zip::ZipEntryCount(archive.get()), 3u);
  ASSERT_EQ(archive.get().recordOffsets.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(archive.get().recordOffsets[i], layout.centralRecordOffsets[i]);
  }
  EXPECT_EQ(archive.get().centralDirectoryOffset, layout.centralDirectoryOffset);
  EXPECT_EQ(archive.get().centralDirectorySize, layout.centralDirectorySize);

  const ZipEntryRecord folder = archive.Record(0);
  EXPECT_EQ(folder.index, 0u);
  EXPECT_TRUE(folder.isDirectory);
  EXPECT_EQ(folder.central.name, "dir/");

  const ZipEntryRecord a = archive.Record(1);
  EXPECT_EQ(a.index, 1u);
  EXPECT_FALSE(a.isDirectory);
  EXPECT_EQ(a.central.name, "dir/a.txt");
  EXPECT_EQ(a.central.method, 0);
  EXPECT_EQ(a.location.compressedSize, 5u);
  EXPECT_EQ(a.location.uncompressedSize, 5u);
  EXPECT_EQ(a.central.crc32, testing_support::Crc32("alpha"));
  EXPECT_EQ(a.location.localHeaderOffset, layout.localHeaderOffsets[1]);
  EXPECT_EQ(a.central.dosTime, testing_support::DosTime(13, 45, 30));
  EXPECT_EQ(a.central.dosDate, testing_support::DosDate(2019, 6, 15));
  EXPECT_EQ(a.central.versionMadeBy, 0x031E);
  EXPECT_EQ(a.central.versionNeeded, 20);
  EXPECT_EQ(a.central.externalAttributes, 0100755u << 16);
  EXPECT_EQ(a.central.flags, 0);

  const ZipEntryRecord b = archive.Record(2);
  EXPECT_EQ(b.index, 2u);
  EXPECT_EQ(b.central.method, 8);
  EXPECT_EQ(b.location.uncompressedSize, 10000u);
  EXPECT_EQ(b.location.compressedSize, layout.dataLengths[2]);
  EXPECT_LT(b.location.compressedSize, b.location.uncompressedSize);
  EXPECT_EQ(b.central.versionMadeBy, 0x0014);

  ZipEntryRecord untouched;
  untouched.central.name = "keep";
  EXPECT_FALSE(zip::ZipReadEntryRecord(archive.get(), 3, untouched));
  EXPECT_EQ(untouched.central.name, "keep");
  EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidParameter);
}

TEST(ZipOpen, DosDirectoryAttributeMarksAFolder) {
  ZipBuilder builder;
  builder.AddStored("folder", "").externalAttributes = 0x10;
  builder.AddStored("file", "").externalAttributes = 0x20;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_TRUE(archive.Record(0).isDirectory);
  EXPECT_FALSE(archive.Record(1).isDirectory);
}

TEST(ZipOpen, KeepsLongAndNonAsciiNamesWhole) {
  std::string longName;
  while (longName.size() < 600) {
    longName += "segment-" + std::to_string(longName.size()) + "/";
  }
  longName += "end.txt";
  const std::string utf8Name = "dossier/na\xC3\xAFve-\xE6\x97\xA5\xE6\x9C\xAC.txt";
  ZipBuilder builder;
  builder.AddStored(longName, "long");
  builder.AddStored(utf8Name, "utf8");
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(archive.Record(0).central.name, longName);
  EXPECT_GT(archive.Record(0).central.name.size(), 511u);
  EXPECT_EQ(archive.Record(1).central.name, utf8Name);
}

TEST(ZipOpen, EntryCountMustMatchTheRecords) {
  for (std::uint16_t count : {std::uint16_t{1}, std::uint16_t{3}}) {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    builder.AddStored("b", "2");
    builder.end.entriesOnDisk = count;
    builder.end.totalEntries = count;
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kInvalidHeader) << count;
  }
}

TEST(ZipOpen, RejectsRecordsThatDoNotFit) {
  {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    builder.AddStored("b", "2").central.nameLength = 200;  // past the directory
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kInvalidHeader);
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1").central.extraLength = 60;
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kInvalidHeader);
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1").central.commentLength = 1;
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kInvalidHeader);
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1").central.signature = 0x02014b51;
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kInvalidHeader);
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    builder.end.directoryOffset = 0xFFFFFFF0u;
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kUnsupportedDirectorySize);
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    ZipLayout layout;
    builder.Build(&layout);
    builder.end.directorySize = static_cast<std::uint32_t>(layout.centralDirectorySize + 1);
    EXPECT_EQ(OpenError(builder.Build()), ZipError::kUnsupportedDirectorySize);
  }
  {
    // A count no directory of this size can hold is refused before any
    // allocation for it; one past what an index can number, as too many.
    for (const std::uint64_t count : {std::uint64_t{0xFFFFFFFFu}, std::uint64_t{0x100000000ull}}) {
      ZipBuilder builder;
      builder.AddStored("a", "1");
      builder.zip64End = true;
      builder.zip64EndRecord.entriesOnDisk = count;
      builder.zip64EndRecord.totalEntries = count;
      EXPECT_EQ(OpenError(builder.Build()),
                count == 0xFFFFFFFFu ? ZipError::kInvalidHeader : ZipError::kTooManyFiles)
          << count;
    }
  }
}

TEST(ZipOpen, RejectsMultiDiskArchives) {
  auto build = [](auto change) {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    change(builder);
    return builder.Build();
  };
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.end.diskNumber = 1; })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.end.directoryDisk = 1; })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.end.entriesOnDisk = 0; })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.entries[0].central.diskStart = 1; })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.zip64End = true;
              b.zip64Locator.totalDisks = 2;
            })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.zip64End = true;
              b.zip64Locator.zip64EndDisk = 1;
            })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.zip64End = true;
              b.zip64EndRecord.diskNumber = 1;
            })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.zip64End = true;
              b.zip64EndRecord.directoryDisk = 1;
            })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.zip64End = true;
              b.zip64EndRecord.entriesOnDisk = 0;
            })),
            ZipError::kMultiDiskUnsupported);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.entries[0].zip64.emplace();
              b.entries[0].zip64->diskStart = true;
              b.entries[0].zip64->diskValue = 2;
            })),
            ZipError::kMultiDiskUnsupported);
}

TEST(ZipOpen, OpeningTwiceFailsAndKeepsTheArchive) {
  ZipBuilder builder;
  builder.AddStored("a", "1");
  const std::string bytes = builder.Build();
  ZipArchive archive;
  ASSERT_TRUE(Open(archive, bytes));
  EXPECT_FALSE(Open(archive, bytes));
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kInvalidParameter);
  EXPECT_TRUE(archive.open);
  EXPECT_EQ(zip::ZipEntryCount(archive), 1u);
  EXPECT_TRUE(zip::ZipClose(archive));
}

TEST(ZipOpen, CloseReturnsToTheClosedStateAndReopenWorks) {
  ZipBuilder builder;
  builder.AddStored("a", "1");
  builder.AddStored("b", "2");
  const std::string bytes = builder.Build();
  ZipArchive archive;
  EXPECT_FALSE(zip::ZipClose(archive));
  ASSERT_TRUE(Open(archive, bytes));
  ZipEntryRecord record;
  EXPECT_FALSE(zip::ZipReadEntryRecord(archive, 9, record));  // leaves an error behind
  ASSERT_TRUE(zip::ZipClose(archive));
  EXPECT_FALSE(archive.open);
  EXPECT_EQ(archive.data, nullptr);
  EXPECT_EQ(archive.size, 0u);
  EXPECT_EQ(archive.centralDirectoryOffset, 0u);
  EXPECT_EQ(archive.centralDirectorySize, 0u);
  EXPECT_TRUE(archive.recordOffsets.empty());
  EXPECT_EQ(archive.lastError, ZipError::kNone);
  EXPECT_EQ(zip::ZipEntryCount(archive), 0u);
  EXPECT_FALSE(zip::ZipClose(archive));
  EXPECT_FALSE(zip::ZipReadEntryRecord(archive, 0, record));
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kInvalidParameter);

  ASSERT_TRUE(Open(archive, bytes));
  EXPECT_EQ(zip::ZipEntryCount(archive), 2u);
  ASSERT_TRUE(zip::ZipReadEntryRecord(archive, 1, record));
  EXPECT_EQ(record.central.name, "b");
  EXPECT_TRUE(zip::ZipClose(archive));
}

TEST(ZipOpen, LastErrorIsHandedOutOnce) {
  ZipArchive archive;
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kNone);
  EXPECT_FALSE(Open(archive, "short"));
  EXPECT_EQ(archive.lastError, ZipError::kNotAnArchive);
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kNotAnArchive);
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kNone);
  // A success does not clear an error nobody took.
  EXPECT_FALSE(Open(archive, "short"));
  const std::string bytes = ZipBuilder().Build();
  ASSERT_TRUE(Open(archive, bytes));
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kNone);
  EXPECT_TRUE(zip::ZipClose(archive));
}

TEST(ZipOpen, RecordsGiveExtraFieldCommentAttributesAndDisk) {
  ZipBuilder builder;
  auto& plain = builder.AddStored("plain", "p");
  plain.centralExtra = std::string("UT\x05\x00\x01\x02\x03\x04\x05", 9);
  plain.localExtra = "not in the central record";
  plain.comment = "a comment";
  plain.internalAttributes = 0x0001;  // text
  auto& zip64 = builder.AddStored("zip64", "z");
  zip64.zip64.emplace();
  zip64.zip64->diskStart = true;  // the record's disk field becomes the marker
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());

  const ZipEntryRecord first = archive.Record(0);
  EXPECT_EQ(first.central.extra, std::string("UT\x05\x00\x01\x02\x03\x04\x05", 9));
  EXPECT_EQ(first.central.comment.size(), 9u);
  EXPECT_EQ(first.central.internalAttributes, 0x0001);
  EXPECT_EQ(first.central.diskStart, 0u);

  const ZipEntryRecord second = archive.Record(1);
  EXPECT_EQ(second.central.comment.size(), 0u);
  EXPECT_EQ(second.central.internalAttributes, 0u);
  EXPECT_EQ(second.central.diskStart, 0xFFFFu);  // as stored; the Zip64 field says disk 0
  // Header ID 1, then three 8-byte values and the 4-byte disk.
  ASSERT_EQ(second.central.extra.size(), 4u + 28u);
  EXPECT_EQ(second.central.extra.substr(0, 4), std::string("\x01\x00\x1C\x00", 4));
}

TEST(ZipFacts, GiveTheEndRecordAsStored) {
  ZipBuilder builder;
  builder.AddStored("a", "alpha");
  builder.AddDeflated("b", TextContent(3000));
  builder.comment = "the archive comment";
  ZipLayout layout;
  OpenArchive archive(builder.Build(&layout));
  ASSERT_TRUE(archive.ok());
  zip::ZipArchiveFacts facts;
  ASSERT_TRUE(zip::ZipReadArchiveFacts(archive.get(), facts));
  EXPECT_EQ(facts.endRecordOffset, layout.endRecordOffset);
  EXPECT_EQ(facts.endRecord.diskNumber, 0u);
  EXPECT_EQ(facts.endRecord.directoryDisk, 0u);
  EXPECT_EQ(facts.endRecord.entriesOnDisk, 2u);
  EXPECT_EQ(facts.endRecord.entryCount, 2u);
  EXPECT_EQ(facts.endRecord.directorySize, layout.centralDirectorySize);
  EXPECT_EQ(facts.endRecord.directoryOffset, layout.centralDirectoryOffset);
  EXPECT_EQ(facts.endRecord.comment.size(), 19u);
  EXPECT_FALSE(facts.hasZip64);
  EXPECT_EQ(facts.centralDirectoryOffset, layout.centralDirectoryOffset);
  EXPECT_EQ(facts.centralDirectorySize, layout.centralDirectorySize);
  EXPECT_EQ(facts.entryCount, 2u);
}

TEST(ZipFacts, GiveZip64MarkersAndTheValuesInEffect) {
  ZipBuilder builder;
  builder.AddStored("a", "alpha");
  builder.zip64End = true;
  builder.end.entriesOnDisk = 0xFFFF;  // a marker in one count only
  builder.end.totalEntries = 1;
  ZipLayout layout;
  OpenArchive archive(builder.Build(&layout));
  ASSERT_TRUE(archive.ok());
  zip::ZipArchiveFacts facts;
  ASSERT_TRUE(zip::ZipReadArchiveFacts(archive.get(), facts));
  EXPECT_TRUE(facts.hasZip64);
  EXPECT_EQ(facts.endRecordOffset, layout.endRecordOffset);
  EXPECT_EQ(facts.endRecord.entriesOnDisk, 0xFFFFu);
  EXPECT_EQ(facts.endRecord.entryCount, 1u);
  EXPECT_EQ(facts.endRecord.directorySize, 0xFFFFFFFFu);
  EXPECT_EQ(facts.endRecord.directoryOffset, 0xFFFFFFFFu);
  EXPECT_EQ(facts.centralDirectoryOffset, layout.centralDirectoryOffset);
  EXPECT_EQ(facts.centralDirectorySize, layout.centralDirectorySize);
  EXPECT_EQ(facts.entryCount, 1u);
}

TEST(ZipFacts, ClosedArchiveGivesNothing) {
  ZipArchive archive;
  zip::ZipArchiveFacts facts;
  facts.entryCount = 77;
  EXPECT_FALSE(zip::ZipReadArchiveFacts(archive, facts));
  EXPECT_EQ(zip::ZipTakeLastError(archive), ZipError::kInvalidParameter);
  EXPECT_EQ(facts.entryCount, 77u);
}

TEST(ZipFindArchiveEnd, FindsTheArchiveInFrontOfTrailingBytes) {
  ZipBuilder builder;
  builder.AddStored("a", "alpha");
  // A comment that itself looks like the start of an end record.
  builder.comment = std::string("PK\x05\x06", 4) + std::string(30, '\0') + "comment";
  const std::string plain = builder.Build();
  std::uint64_t archiveSize = 0;
  ASSERT_TRUE(zip::ZipFindArchiveEnd(plain.data(), plain.size(), archiveSize));
  EXPECT_EQ(archiveSize, plain.size());

  // Behind trailing bytes the end record is the last that fits, so the
  // comment must not look like one.
  builder.comment = "comment";
  const std::string commented = builder.Build();
  builder.trailer = "trailing bytes";
  const std::string trailed = builder.Build();
  ASSERT_TRUE(zip::ZipFindArchiveEnd(trailed.data(), trailed.size(), archiveSize));
  EXPECT_EQ(archiveSize, commented.size());
  EXPECT_EQ(OpenError(trailed), ZipError::kCentralDirectoryNotFound);
  ZipArchive archive;
  ASSERT_TRUE(zip::ZipOpenMemory(archive, trailed.data(), archiveSize));
  EXPECT_EQ(zip::ZipEntryCount(archive), 1u);
  zip::ZipClose(archive);
}

TEST(ZipFindArchiveEnd, FailsWithoutAnEndRecordWithinReach) {
  std::uint64_t archiveSize = 5;
  EXPECT_FALSE(zip::ZipFindArchiveEnd(nullptr, 100, archiveSize));
  const std::string bytes = ZipBuilder().Build();
  EXPECT_FALSE(zip::ZipFindArchiveEnd(bytes.data(), bytes.size() - 1, archiveSize));
  EXPECT_FALSE(zip::ZipFindArchiveEnd(std::string(100, 'x').data(), 100, archiveSize));
  // More trailing bytes than the longest comment: the record is out of reach.
  ZipBuilder far;
  far.AddStored("a", "alpha");
  far.trailer = std::string(65536, 't');
  const std::string farBytes = far.Build();
  EXPECT_FALSE(zip::ZipFindArchiveEnd(farBytes.data(), farBytes.size(), archiveSize));
  // A comment said to run past the end of the block.
  ZipBuilder cut;
  cut.AddStored("a", "alpha");
  cut.comment = "abc";
  cut.end.commentLength = 4;
  const std::string cutBytes = cut.Build();
  EXPECT_FALSE(zip::ZipFindArchiveEnd(cutBytes.data(), cutBytes.size(), archiveSize));
  EXPECT_EQ(archiveSize, 5u);
}

TEST(ZipLocalHeader, GivesTheFieldsAsStored) {
  ZipBuilder builder;
  builder.AddStored("first", "padding");
  auto& entry = builder.AddDeflated("second", TextContent(4000));
  entry.localExtra = std::string("UT\x01\x00\x07", 5);
  entry.local.versionNeeded = 30;
  entry.local.flags = 0x0800;
  entry.local.method = 12;
  entry.local.dosTime = testing_support::DosTime(1, 2, 4);
  entry.local.dosDate = testing_support::DosDate(2001, 2, 3);
  entry.local.crc32 = 0x12345678;
  entry.local.compressedSize = 11;
  entry.local.uncompressedSize = 22;
  entry.local.name = "other";
  auto& descriptor = builder.AddStored("third", "behind a descriptor");
  descriptor.dataDescriptor = true;
  ZipLayout layout;
  OpenArchive archive(builder.Build(&layout));
  ASSERT_TRUE(archive.ok());

  zip::ZipLocalHeaderRecord header;
  ASSERT_TRUE(zip::ZipReadLocalHeader(archive.get(), 1, header));
  EXPECT_EQ(header.offset, layout.localHeaderOffsets[1]);
  EXPECT_EQ(header.header.versionNeeded, 30u);
  EXPECT_EQ(header.header.flags, 0x0800u);
  EXPECT_EQ(header.header.method, 12u);
  EXPECT_EQ(header.header.dosTime, testing_support::DosTime(1, 2, 4));
  EXPECT_EQ(header.header.dosDate, testing_support::DosDate(2001, 2, 3));
  EXPECT_EQ(header.header.crc32, 0x12345678u);
  EXPECT_EQ(header.header.compressedSize, 11u);
  EXPECT_EQ(header.header.uncompressedSize, 22u);
  EXPECT_EQ(header.header.name, "other");
  EXPECT_EQ(header.header.extra, std::string("UT\x01\x00\x07", 5));
  EXPECT_EQ(header.dataOffset, layout.dataOffsets[1]);

  ASSERT_TRUE(zip::ZipReadLocalHeader(archive.get(), 2, header));
  EXPECT_EQ(header.header.name, "third");
  EXPECT_EQ(header.header.flags, 0x0008u);
  EXPECT_EQ(header.header.crc32, 0u);
  EXPECT_EQ(header.header.compressedSize, 0u);
  // The data's length comes from the central record.
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  ASSERT_TRUE(zip::ZipLocateEntryData(archive.get(), 1, data, length));
  EXPECT_EQ(length, layout.dataLengths[1]);
  ASSERT_TRUE(zip::ZipLocateEntryData(archive.get(), 2, data, length));
  EXPECT_EQ(length, 19u);
}

TEST(ZipLocalHeader, GivesZip64MarkersAndTheSizeInEffect) {
  ZipBuilder builder;
  builder.AddStored("pad", "padding");
  builder.AddStored("big", "stored in zip64").zip64.emplace();
  ZipLayout layout;
  OpenArchive archive(builder.Build(&layout));
  ASSERT_TRUE(archive.ok());
  zip::ZipLocalHeaderRecord header;
  ASSERT_TRUE(zip::ZipReadLocalHeader(archive.get(), 1, header));
  EXPECT_EQ(header.offset, layout.localHeaderOffsets[1]);
  EXPECT_EQ(header.header.compressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(header.header.uncompressedSize, 0xFFFFFFFFu);
  EXPECT_EQ(header.header.extra.size(), 20u);  // Zip64 field with the two sizes
  EXPECT_EQ(header.dataOffset, layout.dataOffsets[1]);
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  ASSERT_TRUE(zip::ZipLocateEntryData(archive.get(), 1, data, length));
  EXPECT_EQ(length, 15u);
}

TEST(ZipLocalHeader, RefusesHeadersThatAreMissingOrDoNotFit) {
  // Signature and zeros: a local header with an empty name and no extra field.
  const std::string fakeHeader = std::string("PK\x03\x04", 4) + std::string(26, '\0');
  ZipBuilder builder;
  builder.AddStored("pad", "padding");
  builder.AddStored("signature", "data").local.signature = 0x04034b51;
  builder.AddStored("name-length", "data").local.nameLength = 0xFFFF;
  builder.AddStored("extra-length", "data").local.extraLength = 0xFFFF;
  builder.AddStored("offset", "data").central.localHeaderOffset = 0x7FFFFFFF;
  auto& inDirectory = builder.AddStored(fakeHeader, "");
  // The last data ends with a signature whose fixed part would run into the
  // directory.
  auto& straddling = builder.AddStored("straddling", "data" + fakeHeader.substr(0, 10));
  ZipLayout layout;
  builder.Build(&layout);
  // The fake header is the record's name, inside the central directory.
  inDirectory.central.localHeaderOffset =
      static_cast<std::uint32_t>(layout.centralRecordOffsets[5] + 46);
  straddling.central.localHeaderOffset =
      static_cast<std::uint32_t>(layout.centralDirectoryOffset - 10);
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  ASSERT_EQ(zip::ZipEntryCount(archive.get()), 7u);
  zip::ZipLocalHeaderRecord header;
  ASSERT_TRUE(zip::ZipReadLocalHeader(archive.get(), 0, header));
  for (std::uint32_t i = 1; i < 7; ++i) {
    zip::ZipLocalHeaderRecord untouched;
    untouched.header.name = "keep";
    EXPECT_FALSE(zip::ZipReadLocalHeader(archive.get(), i, untouched)) << i;
    EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidHeader) << i;
    EXPECT_EQ(untouched.header.name, "keep") << i;
    const unsigned char* data = nullptr;
    std::uint64_t length = 3;
    EXPECT_FALSE(zip::ZipLocateEntryData(archive.get(), i, data, length)) << i;
    EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidHeader) << i;
    EXPECT_EQ(data, nullptr) << i;
    EXPECT_EQ(length, 3u) << i;
  }
  EXPECT_FALSE(zip::ZipReadLocalHeader(archive.get(), 7, header));
  EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidParameter);
  ZipArchive closed;
  EXPECT_FALSE(zip::ZipReadLocalHeader(closed, 0, header));
  EXPECT_EQ(zip::ZipTakeLastError(closed), ZipError::kInvalidParameter);
}

TEST(ZipLocateEntryData, GivesTheDataInPlace) {
  const std::string text = TextContent(5000);
  ZipBuilder builder;
  builder.AddStored("stored", "alpha");
  builder.AddDeflated("deflated", text);
  builder.AddStored("zip64", "stored in zip64").zip64.emplace();
  builder.AddStored("empty", "");
  ZipLayout layout;
  OpenArchive archive(builder.Build(&layout));
  ASSERT_TRUE(archive.ok());
  for (std::uint32_t i = 0; i < 4; ++i) {
    const unsigned char* data = nullptr;
    std::uint64_t length = 0;
    ASSERT_TRUE(zip::ZipLocateEntryData(archive.get(), i, data, length)) << i;
    EXPECT_EQ(data, archive.get().data + layout.dataOffsets[i]) << i;
    EXPECT_EQ(length, layout.dataLengths[i]) << i;
  }
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  ASSERT_TRUE(zip::ZipLocateEntryData(archive.get(), 0, data, length));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), length), "alpha");
  EXPECT_FALSE(zip::ZipLocateEntryData(archive.get(), 4, data, length));
  EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidParameter);
}

TEST(ZipLocateEntryData, RefusesDataPastTheEntriesArea) {
  ZipBuilder builder;
  builder.AddStored("fine", "data");
  auto& intoDirectory = builder.AddStored("into-directory", "data");
  intoDirectory.central.compressedSize = 200;  // runs into the central directory
  intoDirectory.central.uncompressedSize = 200;
  builder.AddStored("huge", "data").central.compressedSize = 0xFFFFFFF0u;
  auto& exact = builder.AddStored("exact", "data");
  ZipLayout layout;
  builder.Build(&layout);
  // Up to the first byte of the directory is still in front of it.
  exact.central.compressedSize =
      static_cast<std::uint32_t>(layout.centralDirectoryOffset - layout.dataOffsets[3]);
  OpenArchive archive(builder.Build(&layout));
  ASSERT_TRUE(archive.ok());
  for (std::uint32_t i = 1; i < 3; ++i) {
    // The header itself is fine; only its data does not fit.
    zip::ZipLocalHeaderRecord header;
    ASSERT_TRUE(zip::ZipReadLocalHeader(archive.get(), i, header)) << i;
    EXPECT_EQ(header.dataOffset, layout.dataOffsets[i]) << i;
    const unsigned char* data = nullptr;
    std::uint64_t length = 3;
    EXPECT_FALSE(zip::ZipLocateEntryData(archive.get(), i, data, length)) << i;
    EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidHeader) << i;
    EXPECT_EQ(data, nullptr) << i;
    EXPECT_EQ(length, 3u) << i;
  }
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  ASSERT_TRUE(zip::ZipLocateEntryData(archive.get(), 3, data, length));
  EXPECT_EQ(data + length, archive.get().data + layout.centralDirectoryOffset);
}

class ZipExtract : public ::testing::Test {
 protected:
  std::filesystem::path Out(const std::string& name) const { return folder_ / name; }
  TempFolder folder_;
};

TEST_F(ZipExtract, StoredAndDeflatedAreByteExact) {
  const std::string text = TextContent(3 * 1024 * 1024 + 17);
  const std::string noise = testing_support::NoiseBytes(700 * 1024 + 3);
  const std::string mixed =
      TextContent(400000, 3) + testing_support::NoiseBytes(300000, 9) + TextContent(5, 4);
  ZipBuilder builder;
  builder.AddStored("stored.txt", text);
  builder.AddDeflated("text.txt", text);
  builder.AddDeflated("noise.bin", noise);
  builder.AddDeflated("mixed.bin", mixed).deflateLevel = 1;
  builder.AddStored("empty-stored", "");
  builder.AddDeflated("empty-deflated", "");
  builder.AddDeflated("small", "x");
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  const std::string expected[] = {text, text, noise, mixed, "", "", "x"};
  for (std::uint32_t i = 0; i < 7; ++i) {
    const auto out = Out("out" + std::to_string(i));
    ASSERT_EQ(Extract(archive.get(), i, out), ZipError::kNone) << i;
    EXPECT_TRUE(ReadFileBytes(out) == expected[i]) << i;
    EXPECT_EQ(std::filesystem::file_size(out), expected[i].size()) << i;
  }
}

TEST_F(ZipExtract, ReplacesAnExistingFile) {
  ZipBuilder builder;
  builder.AddDeflated("a", "short content");
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  ASSERT_TRUE(testing_support::WriteFileBytes(Out("a"), std::string(10000, 'z')));
  ASSERT_EQ(Extract(archive.get(), 0, Out("a")), ZipError::kNone);
  EXPECT_EQ(ReadFileBytes(Out("a")), "short content");
}

TEST_F(ZipExtract, WritesToANonAsciiPath) {
  const std::string name = "na\xC3\xAFve-\xE6\x97\xA5\xE6\x9C\xAC.txt";
  ZipBuilder builder;
  builder.AddDeflated(name, "unicode");
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  const auto out = folder_ / name;
  ASSERT_EQ(Extract(archive.get(), 0, out), ZipError::kNone);
  EXPECT_EQ(ReadFileBytes(out), "unicode");
  EXPECT_TRUE(std::filesystem::exists(folder_.path() / std::filesystem::u8path(name)));
}

TEST_F(ZipExtract, DataDescriptorsNeedNothingSpecial) {
  const std::string content = TextContent(100000);
  ZipBuilder builder;
  builder.AddDeflated("with-signature", content).dataDescriptor = true;
  auto& plain = builder.AddStored("without-signature", content);
  plain.dataDescriptor = true;
  plain.descriptor.withSignature = false;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(archive.Record(0).central.flags & 0x8, 0x8);
  for (std::uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(Extract(archive.get(), i, Out("f" + std::to_string(i))), ZipError::kNone);
    EXPECT_TRUE(ReadFileBytes(Out("f" + std::to_string(i))) == content);
  }
}

TEST_F(ZipExtract, RefusesBadParameters) {
  ZipBuilder builder;
  builder.AddStored("a", "1");
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_FALSE(testing_support::ExtractEntryToFile(archive.get(), 0, nullptr));
  EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidParameter);
  EXPECT_EQ(Extract(archive.get(), 1, Out("x")), ZipError::kInvalidParameter);
  ZipArchive closed;
  EXPECT_EQ(Extract(closed, 0, Out("x")), ZipError::kInvalidParameter);
  EXPECT_FALSE(std::filesystem::exists(Out("x")));
}

TEST_F(ZipExtract, UnsupportedFeaturesCreateNoFile) {
  ZipBuilder builder;
  builder.AddFolder("dir/");
  builder.AddStored("method", "data").method = 12;
  builder.AddStored("encrypted", "data").flags = 0x0001;
  builder.AddStored("strong", "data").flags = 0x0040;
  builder.AddStored("patch", "data").flags = 0x0020;
  builder.AddStored("dos-folder", "").externalAttributes = 0x10;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  for (std::uint32_t i = 0; i < 6; ++i) {
    const auto out = Out("out" + std::to_string(i));
    EXPECT_EQ(Extract(archive.get(), i, out), ZipError::kUnsupportedFeature) << i;
    EXPECT_FALSE(std::filesystem::exists(out)) << i;
  }
}

TEST_F(ZipExtract, BadLocalHeaderCreatesNoFile) {
  ZipBuilder builder;
  builder.AddStored("pad", "padding");
  builder.AddStored("signature", "data").local.signature = 0x04034b51;
  builder.AddStored("name-length", "data").local.nameLength = 0xFFFF;
  builder.AddStored("extra-length", "data").local.extraLength = 0xFFFF;
  builder.AddStored("offset", "data").central.localHeaderOffset = 0x7FFFFFFF;
  builder.AddStored("compressed-size", "data").central.compressedSize = 0x7FFFFFFF;
  auto& intoDirectory = builder.AddStored("into-directory", "data");
  intoDirectory.central.compressedSize = 200;  // runs into the central directory
  intoDirectory.central.uncompressedSize = 200;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  ASSERT_EQ(Extract(archive.get(), 0, Out("pad")), ZipError::kNone);
  for (std::uint32_t i = 1; i < 7; ++i) {
    const auto out = Out("out" + std::to_string(i));
    EXPECT_EQ(Extract(archive.get(), i, out), ZipError::kInvalidHeader) << i;
    EXPECT_FALSE(std::filesystem::exists(out)) << i;
  }
}

TEST_F(ZipExtract, LocalHeaderInsideTheDirectoryIsRefused) {
  ZipBuilder builder;
  builder.AddStored("a", "data");
  ZipLayout layout;
  builder.Build(&layout);
  // Point at the central record itself: not a local header.
  builder.entries[0].central.localHeaderOffset =
      static_cast<std::uint32_t>(layout.centralDirectoryOffset);
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(Extract(archive.get(), 0, Out("a")), ZipError::kInvalidHeader);
  EXPECT_FALSE(std::filesystem::exists(Out("a")));
}

// A deflate stream that decodes `good`, then hits an invalid block type.
std::string DeflateThenDamage(const std::string& good) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(good.size())) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(good.data()));
  stream.avail_in = static_cast<uInt>(good.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_SYNC_FLUSH), Z_OK);
  EXPECT_EQ(stream.avail_in, 0u);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  // Byte-aligned after the flush: final block, type 3 (reserved).
  return out + std::string("\x07\x00\x00\x00", 4);
}

TEST_F(ZipExtract, DamagedDeflateDataLeavesThePartialFile) {
  const std::string good = TextContent(2 * 1024 * 1024);
  ZipBuilder builder;
  auto& entry = builder.AddDeflated("damaged", good + "more");
  entry.data = DeflateThenDamage(good);
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(Extract(archive.get(), 0, Out("damaged")), ZipError::kDecompressionFailed);
  ASSERT_TRUE(std::filesystem::exists(Out("damaged")));
  const std::string partial = ReadFileBytes(Out("damaged"));
  EXPECT_GT(partial.size(), 0u);
  EXPECT_TRUE(good.compare(0, partial.size(), partial) == 0);
}

TEST_F(ZipExtract, TruncatedDeflateDataFails) {
  const std::string content = TextContent(300000);
  std::string data = testing_support::DeflateRaw(content);
  data.resize(data.size() / 2);
  ZipBuilder builder;
  builder.AddDeflated("truncated", content).data = data;
  builder.AddDeflated("empty-data", content).data = std::string();
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(Extract(archive.get(), 0, Out("truncated")), ZipError::kDecompressionFailed);
  EXPECT_TRUE(std::filesystem::exists(Out("truncated")));
  EXPECT_EQ(Extract(archive.get(), 1, Out("empty")), ZipError::kDecompressionFailed);
}

TEST_F(ZipExtract, CrcMismatchLeavesTheFile) {
  const std::string content = TextContent(50000);
  ZipBuilder builder;
  builder.AddStored("stored", content).central.crc32 = testing_support::Crc32(content) ^ 1;
  builder.AddDeflated("deflated", content).central.crc32 = testing_support::Crc32(content) ^ 1;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  for (std::uint32_t i = 0; i < 2; ++i) {
    const auto out = Out("out" + std::to_string(i));
    EXPECT_EQ(Extract(archive.get(), i, out), ZipError::kDecompressionFailed) << i;
    EXPECT_TRUE(ReadFileBytes(out) == content) << i;
  }
}

TEST_F(ZipExtract, WrongRecordedSizeIsReported) {
  const std::string content = TextContent(1024 * 1024 + 5);
  const auto size = static_cast<std::uint32_t>(content.size());
  ZipBuilder builder;
  builder.AddDeflated("deflated-bigger", content).central.uncompressedSize = size + 1;
  builder.AddDeflated("deflated-smaller", content).central.uncompressedSize = size - 1;
  builder.AddDeflated("deflated-tiny", content).central.uncompressedSize = 10;
  builder.AddStored("stored-bigger", content).central.uncompressedSize = size + 1;
  builder.AddStored("stored-smaller", content).central.uncompressedSize = size - 1;
  builder.AddDeflated("deflated-zero", content).central.uncompressedSize = 0;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  for (std::uint32_t i = 0; i < 6; ++i) {
    const auto out = Out("out" + std::to_string(i));
    EXPECT_EQ(Extract(archive.get(), i, out), ZipError::kUnexpectedSize) << i;
    ASSERT_TRUE(std::filesystem::exists(out)) << i;
    // Never more than the recorded size, however much the data holds.
    EXPECT_LE(std::filesystem::file_size(out), archive.Record(i).location.uncompressedSize) << i;
  }
  EXPECT_EQ(std::filesystem::file_size(Out("out2")), 10u);
  EXPECT_EQ(std::filesystem::file_size(Out("out5")), 0u);
}

TEST_F(ZipExtract, Zip64RecordsOpenAndExtract) {
  const std::string text = TextContent(200000);
  ZipBuilder builder;
  builder.AddStored("pad", "padding");
  builder.AddDeflated("all-fields", text).zip64.emplace();
  auto& offsetOnly = builder.AddStored("offset-only", "stored in zip64");
  offsetOnly.zip64.emplace();
  offsetOnly.zip64->uncompressedSize = false;
  offsetOnly.zip64->compressedSize = false;
  auto& withDisk = builder.AddDeflated("with-disk", text);
  withDisk.zip64.emplace();
  withDisk.zip64->diskStart = true;
  withDisk.dataDescriptor = true;
  // Another extra field in front of the Zip64 one must be skipped.
  // Its values (sizes 1, offset 0) send it to the first byte of "pad"'s data.
  auto& behindOther = builder.AddStored("behind-other", "p");
  behindOther.zip64.emplace();
  behindOther.zip64->inLocalHeader = false;
  behindOther.central.extra =
      std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9) + std::string("\x01\x00\x18\x00", 4) +
      std::string("\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 16) + std::string(8, '\0');
  builder.zip64End = true;
  ZipLayout layout;
  const std::string bytes = builder.Build(&layout);
  // The plain end record holds only markers: the Zip64 values are used.
  OpenArchive archive(bytes);
  ASSERT_TRUE(archive.ok());
  ASSERT_EQ(zip::ZipEntryCount(archive.get()), 5u);
  EXPECT_EQ(archive.get().centralDirectoryOffset, layout.centralDirectoryOffset);

  const ZipEntryRecord all = archive.Record(1);
  EXPECT_EQ(all.location.uncompressedSize, text.size());
  EXPECT_EQ(all.location.compressedSize, layout.dataLengths[1]);
  EXPECT_EQ(all.location.localHeaderOffset, layout.localHeaderOffsets[1]);
  EXPECT_EQ(archive.Record(2).location.localHeaderOffset, layout.localHeaderOffsets[2]);
  EXPECT_EQ(archive.Record(2).location.uncompressedSize, 15u);
  EXPECT_EQ(archive.Record(4).location.localHeaderOffset,
            0u);  // from the extra field, not the marker
  EXPECT_EQ(archive.Record(4).location.uncompressedSize, 1u);

  ASSERT_EQ(Extract(archive.get(), 1, Out("all")), ZipError::kNone);
  EXPECT_TRUE(ReadFileBytes(Out("all")) == text);
  ASSERT_EQ(Extract(archive.get(), 2, Out("offset")), ZipError::kNone);
  EXPECT_EQ(ReadFileBytes(Out("offset")), "stored in zip64");
  ASSERT_EQ(Extract(archive.get(), 3, Out("disk")), ZipError::kNone);
  EXPECT_TRUE(ReadFileBytes(Out("disk")) == text);
  ASSERT_EQ(Extract(archive.get(), 4, Out("other")), ZipError::kNone);
  EXPECT_EQ(ReadFileBytes(Out("other")), "p");
}

TEST_F(ZipExtract, Zip64ValuesReplaceOnlyMarkedFields) {
  ZipBuilder builder;
  auto& entry = builder.AddStored("a", "abc");
  entry.zip64.emplace();
  entry.zip64->uncompressedSize = false;
  entry.zip64->localHeaderOffset = false;
  entry.zip64->compressedValue = 3;
  // The 32-bit sizes stay meaningful; the extra holds only the compressed size.
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  const ZipEntryRecord record = archive.Record(0);
  EXPECT_EQ(record.location.compressedSize, 3u);
  EXPECT_EQ(record.location.uncompressedSize, 3u);
  EXPECT_EQ(record.location.localHeaderOffset, 0u);
  ASSERT_EQ(Extract(archive.get(), 0, Out("a")), ZipError::kNone);
  EXPECT_EQ(ReadFileBytes(Out("a")), "abc");
}

TEST(ZipOpenZip64, RejectsBadZip64Structures) {
  auto build = [](auto change) {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    builder.zip64End = true;
    change(builder);
    return builder.Build();
  };
  EXPECT_EQ(OpenError(build([](ZipBuilder&) {})), ZipError::kNone);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.zip64Locator.zip64EndOffset = 1; })),
            ZipError::kInvalidHeader);
  EXPECT_EQ(OpenError(build(
                [](ZipBuilder& b) { b.zip64Locator.zip64EndOffset = 0xFFFFFFFFFFFFFFF0ull; })),
            ZipError::kInvalidHeader);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.zip64EndRecord.signature = 0x06064b51; })),
            ZipError::kInvalidHeader);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.zip64EndRecord.recordSize = 1000; })),
            ZipError::kInvalidHeader);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.zip64EndRecord.recordSize = 10; })),
            ZipError::kInvalidHeader);
  // A size whose sum with the 12 bytes in front of it would wrap.
  EXPECT_EQ(
      OpenError(build([](ZipBuilder& b) { b.zip64EndRecord.recordSize = 0xFFFFFFFFFFFFFFF8ull; })),
      ZipError::kInvalidHeader);
  EXPECT_EQ(OpenError(build(
                [](ZipBuilder& b) { b.zip64EndRecord.directoryOffset = 0xFFFFFFFFFFFFFF00ull; })),
            ZipError::kUnsupportedDirectorySize);
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.zip64EndRecord.entriesOnDisk = 0x100000000ull;
              b.zip64EndRecord.totalEntries = 0x100000000ull;
            })),
            ZipError::kTooManyFiles);
  // A Zip64 record that is needed but missing.
  EXPECT_EQ(
      OpenError(build([](ZipBuilder& b) { b.entries[0].central.uncompressedSize = 0xFFFFFFFFu; })),
      ZipError::kInvalidHeader);
  // A Zip64 record too short for the values it must hold.
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) {
              b.entries[0].zip64.emplace();
              b.entries[0].zip64->dataSize = 16;
            })),
            ZipError::kInvalidHeader);
  // Extensible data after the fixed part is allowed.
  EXPECT_EQ(OpenError(build([](ZipBuilder& b) { b.zip64EndRecord.extensibleData = "extensible"; })),
            ZipError::kNone);
}

TEST_F(ZipExtract, SetsTheDosTimeAsLocalTime) {
  ZipBuilder builder;
  auto& summer = builder.AddStored("summer", "s");
  summer.dosTime = testing_support::DosTime(13, 45, 30);
  summer.dosDate = testing_support::DosDate(2019, 6, 15);
  auto& winter = builder.AddDeflated("winter", "w");
  winter.dosTime = testing_support::DosTime(23, 59, 58);
  winter.dosDate = testing_support::DosDate(2001, 12, 31);
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  struct {
    int year, month, day, hour, minute, second;
  } const expected[] = {{2019, 6, 15, 13, 45, 30}, {2001, 12, 31, 23, 59, 58}};
  for (std::uint32_t i = 0; i < 2; ++i) {
    const auto out = Out("t" + std::to_string(i));
    ASSERT_EQ(Extract(archive.get(), i, out), ZipError::kNone);
    std::tm local{};
    local.tm_year = expected[i].year - 1900;
    local.tm_mon = expected[i].month - 1;
    local.tm_mday = expected[i].day;
    local.tm_hour = expected[i].hour;
    local.tm_min = expected[i].minute;
    local.tm_sec = expected[i].second;
    local.tm_isdst = -1;
    const std::time_t want = std::mktime(&local);
    ASSERT_NE(want, static_cast<std::time_t>(-1));
    EXPECT_EQ(ModificationTime(out), static_cast<std::int64_t>(want)) << i;
  }
}

TEST_F(ZipExtract, OutputThatCannotBeOpened) {
  ZipBuilder builder;
  builder.AddStored("a", "data");
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(Extract(archive.get(), 0, Out("missing/a")), ZipError::kFileOpenFailed);
  EXPECT_FALSE(std::filesystem::exists(Out("missing")));
  std::filesystem::create_directory(Out("folder"));
  EXPECT_EQ(Extract(archive.get(), 0, Out("folder")), ZipError::kFileOpenFailed);
  EXPECT_TRUE(std::filesystem::is_directory(Out("folder")));
  EXPECT_EQ(Extract(archive.get(), 0, std::filesystem::path()), ZipError::kFileOpenFailed);
}

TEST_F(ZipExtract, PreparingAJobRefusesWhatTheExtractionRefusesAndOpensNothing) {
  ZipBuilder builder;
  builder.AddStored("fine", "data");
  builder.AddDeflated("fine-deflated", "data");
  builder.AddFolder("dir/");
  builder.AddStored("method", "data").method = 12;
  builder.AddStored("encrypted", "data").flags = 0x0001;
  builder.AddStored("signature", "data").local.signature = 0x04034b51;
  builder.AddStored("offset", "data").central.localHeaderOffset = 0x7FFFFFFF;
  // A damaged CRC only shows while writing: the check passes it.
  builder.AddStored("crc", "data").central.crc32 = 0x12345678;
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  const ZipError expected[] = {ZipError::kNone,
                               ZipError::kNone,
                               ZipError::kUnsupportedFeature,
                               ZipError::kUnsupportedFeature,
                               ZipError::kUnsupportedFeature,
                               ZipError::kInvalidHeader,
                               ZipError::kInvalidHeader,
                               ZipError::kNone};
  for (std::uint32_t i = 0; i < 8; ++i) {
    zip::ZipEntryJob job;
    EXPECT_EQ(zip::ZipPrepareEntryJob(archive.get(), i, job), expected[i] == ZipError::kNone) << i;
    EXPECT_EQ(zip::ZipTakeLastError(archive.get()), expected[i]) << i;
    if (expected[i] != ZipError::kNone) {
      const auto out = Out("out" + std::to_string(i));
      EXPECT_EQ(Extract(archive.get(), i, out), expected[i]) << i;
      EXPECT_FALSE(std::filesystem::exists(out)) << i;
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));
  zip::ZipEntryJob job;
  EXPECT_FALSE(zip::ZipPrepareEntryJob(archive.get(), 8, job));
  EXPECT_EQ(zip::ZipTakeLastError(archive.get()), ZipError::kInvalidParameter);
  ZipArchive closed;
  EXPECT_FALSE(zip::ZipPrepareEntryJob(closed, 0, job));
  EXPECT_EQ(zip::ZipTakeLastError(closed), ZipError::kInvalidParameter);
}

TEST(ZipEntryFileMode, TakesUnixBitsFromUnixHostsOnly) {
  zip::CentralRecord record;
  record.versionMadeBy = 0x031E;  // Unix host
  record.externalAttributes = 0100755u << 16;
  EXPECT_EQ(zip::ZipEntryFileMode(record), 0755u);
  record.externalAttributes = 0104751u << 16;  // set-user-id is dropped
  EXPECT_EQ(zip::ZipEntryFileMode(record), 0751u);
  record.externalAttributes = 0100444u << 16;  // the owner may always rewrite
  EXPECT_EQ(zip::ZipEntryFileMode(record), 0644u);
  record.externalAttributes = 0x20;  // no Unix bits at all
  EXPECT_EQ(zip::ZipEntryFileMode(record), 0666u);
  record.versionMadeBy = 0x0014;  // MS-DOS host: the high half means nothing
  record.externalAttributes = 0100700u << 16;
  EXPECT_EQ(zip::ZipEntryFileMode(record), 0666u);
}

TEST_F(ZipExtract, ExtractsTheSameEntryRepeatedly) {
  // Each extraction starts from a fresh inflate state.
  const std::string content = TextContent(600000);
  ZipBuilder builder;
  builder.AddDeflated("a", content);
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Extract(archive.get(), 0, Out("a")), ZipError::kNone);
    EXPECT_TRUE(ReadFileBytes(Out("a")) == content);
  }
}

}  // namespace

// The texts are part of what callers show; each is checked at a failure that
// reports it.
TEST_F(ZipExtract, FailuresCarryTheirFixedTexts) {
  const auto openText = [](const std::string& bytes) {
    return std::string(zip::ZipErrorText(OpenError(bytes)));
  };
  EXPECT_EQ(openText("short"), "not a ZIP archive");
  EXPECT_EQ(openText(std::string(100, 'x')), "failed finding central directory");
  {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    builder.end.diskNumber = 1;
    EXPECT_EQ(openText(builder.Build()), "unsupported multidisk archive");
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1");
    builder.end.directorySize = 1000;
    EXPECT_EQ(openText(builder.Build()), "unsupported central directory size");
  }
  {
    ZipBuilder builder;
    builder.AddStored("a", "1").central.signature = 0x12345678;
    EXPECT_EQ(openText(builder.Build()), "invalid header or archive is corrupted");
  }

  const std::string content = TextContent(70000);
  ZipBuilder builder;
  builder.AddDeflated("damaged", content).data = std::string(64, '\xff');
  builder.AddStored("short", content).central.uncompressedSize = 10;
  builder.AddStored("method", content).central.method = 12;
  builder.AddStored("fine", content);
  OpenArchive archive(builder.Build());
  ASSERT_TRUE(archive.ok());
  const auto extractText = [&](std::uint32_t index, const std::filesystem::path& out) {
    return std::string(zip::ZipErrorText(Extract(archive.get(), index, out)));
  };
  EXPECT_EQ(extractText(0, Out("0")), "decompression failed or archive is corrupted");
  EXPECT_EQ(extractText(1, Out("1")), "unexpected decompressed size");
  EXPECT_EQ(extractText(2, Out("2")), "unsupported feature");
  EXPECT_EQ(extractText(3, Out("missing/3")), "file open failed");
  EXPECT_EQ(extractText(9, Out("9")), "invalid parameter");
  EXPECT_EQ(extractText(3, Out("3")), "no error");

  EXPECT_STREQ(zip::ZipErrorText(static_cast<ZipError>(0xFFFFFFFFu)), "unknown error");
}
