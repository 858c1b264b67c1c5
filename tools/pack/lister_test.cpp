#include "pack/lister.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "pack/chunk_deflate.h"
#include "pack/entry_names.h"
#include "pack/pack_test_support.h"
#include "testing/zip_builder.h"
#include "testing/zip_test_records.h"
#include "zip/zip_format.h"

namespace {

constexpr char kExe[] = "app/run.exe";

// One entry of an archive built byte by byte, with knobs to break the form.
struct Item {
  std::string name;
  std::string data;
  bool deflate = false;
  int flags = -1;  // -1: derived from the name
  std::uint16_t madeBy = zip::kVersionMadeByMsDos63;
  int needed = -1;            // -1: derived from the kind and method
  long long attributes = -1;  // -1: derived from the kind
  std::string localExtra;
  std::string centralExtra;
  std::string comment;
  std::string after;  // bytes between this entry's data and the next header
  bool descriptor = false;
  bool corruptCrc = false;
  bool forceSizes = false;  // a folder with non-zero sizes
  /// With `deflate`: deflate in independent pieces of this size and add
  /// their index to the central record (after `centralExtra`), as the packer
  /// does; `lengths` then replaces the honest lengths when not empty.
  std::uint32_t pieceSize = 0;
  std::vector<std::uint32_t> lengths;
};

struct Archive {
  std::vector<Item> items;
  std::string comment;
  bool zip64Locator = false;
};

std::string Build(const Archive& archive) {
  std::string out;
  std::string central;
  for (const Item& item : archive.items) {
    const bool folder = !item.name.empty() && item.name.back() == '/';
    std::string stored = item.data;
    std::uint16_t method = zip::kMethodStored;
    if (item.deflate) {
      stored.clear();
      const auto* bytes = reinterpret_cast<const unsigned char*>(item.data.data());
      EXPECT_TRUE(pack::DeflatePiece(bytes, item.data.size(), true, 9, stored));
      method = zip::kMethodDeflate;
    }
    std::string centralExtra = item.centralExtra;
    if (item.deflate && item.pieceSize != 0) {
      std::vector<std::uint32_t> lengths;
      stored = testing_support::DeflatePieces(item.data, item.pieceSize, 9, lengths);
      centralExtra += testing_support::PieceIndexField(
          item.pieceSize, item.lengths.empty() ? lengths : item.lengths);
    }
    std::uint32_t crc = static_cast<std::uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(item.data.data()), static_cast<uInt>(item.data.size())));
    if (item.corruptCrc) {
      crc ^= 1;
    }
    const std::uint16_t flags = static_cast<std::uint16_t>(
        item.flags >= 0 ? item.flags
                        : (std::all_of(item.name.begin(), item.name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; })
                               ? 0
                               : 0x0800) |
                              (item.descriptor ? 0x0008 : 0));
    const std::uint16_t needed = static_cast<std::uint16_t>(
        item.needed >= 0 ? item.needed : (folder || item.deflate ? 20 : 10));
    const std::uint32_t attributes =
        static_cast<std::uint32_t>(item.attributes >= 0 ? item.attributes : (folder ? 0x10 : 0x20));
    const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t csize = item.forceSizes ? 5 : static_cast<std::uint32_t>(stored.size());
    const std::uint32_t usize = item.forceSizes ? 5 : static_cast<std::uint32_t>(item.data.size());
    const std::uint16_t time = (10 << 11) | (20 << 5);
    const std::uint16_t date = (44 << 9) | (3 << 5) | 7;

    zip::LocalHeader local;
    local.versionNeeded = needed;
    local.flags = flags;
    local.method = method;
    local.dosTime = time;
    local.dosDate = date;
    local.crc32 = item.descriptor ? 0 : crc;
    local.compressedSize = item.descriptor ? 0 : csize;
    local.uncompressedSize = item.descriptor ? 0 : usize;
    local.name = item.name;
    local.extra = item.localExtra;
    zip::AppendLocalHeader(out, local);
    out += stored;
    if (item.descriptor) {
      zip::AppendLe32(out, zip::kDataDescriptorSignature);
      zip::AppendLe32(out, crc);
      zip::AppendLe32(out, csize);
      zip::AppendLe32(out, usize);
    }
    out += item.after;

    zip::CentralRecord record;
    record.versionMadeBy = item.madeBy;
    record.versionNeeded = needed;
    record.flags = flags;
    record.method = method;
    record.dosTime = time;
    record.dosDate = date;
    record.crc32 = crc;
    record.compressedSize = csize;
    record.uncompressedSize = usize;
    record.externalAttributes = attributes;
    record.localHeaderOffset = offset;
    record.name = item.name;
    record.extra = centralExtra;
    record.comment = item.comment;
    zip::AppendCentralRecord(central, record);
  }
  const std::uint32_t directoryOffset = static_cast<std::uint32_t>(out.size());
  out += central;
  if (archive.zip64Locator) {
    zip::Zip64EndRecord record;
    record.recordSize = zip::kZip64EndRecordSize - zip::kZip64EndRecordLeadSize;
    record.versionMadeBy = zip::kVersionNeededZip64;
    record.versionNeeded = zip::kVersionNeededZip64;
    record.entriesOnDisk = archive.items.size();
    record.entryCount = archive.items.size();
    record.directorySize = central.size();
    record.directoryOffset = directoryOffset;
    zip::Zip64Locator locator;
    locator.endRecordOffset = out.size();
    locator.totalDisks = 1;
    testing_support::AppendZip64EndRecord(out, record);
    testing_support::AppendZip64Locator(out, locator);
  }
  zip::EndRecord end;
  end.entriesOnDisk = static_cast<std::uint16_t>(archive.items.size());
  end.entryCount = static_cast<std::uint16_t>(archive.items.size());
  end.directorySize = static_cast<std::uint32_t>(central.size());
  end.directoryOffset = directoryOffset;
  end.comment = archive.comment;
  zip::AppendEndRecord(out, end);
  return out;
}

Item MakeItem(const std::string& name, const std::string& data, bool deflate = false) {
  Item item;
  item.name = name;
  item.data = data;
  item.deflate = deflate;
  return item;
}

Archive Conforming() {
  Archive archive;
  archive.items = {
      MakeItem("app/", ""),
      MakeItem("app/data/", ""),
      MakeItem("app/data/text.txt", pack_test::TextBytes(5000, 1), true),
      MakeItem(kExe, pack_test::RandomBytes(300, 2)),
      MakeItem("app/\xC3\xA9t\xC3\xA9.txt", "summer"),
      MakeItem("empty/", ""),
      MakeItem("zero", ""),
  };
  return archive;
}

// The report's names and extra fields are views into the inspected bytes,
// which are kept here until the next inspection (callers pass temporaries).
bool Inspect(const std::string& bytes, pack::ArchiveReport& report, std::string& error) {
  static std::string inspected;
  inspected = bytes;
  pack::InspectOptions options;
  options.executablePath = kExe;
  return pack::InspectArchive(reinterpret_cast<const unsigned char*>(inspected.data()),
                              inspected.size(), options, report, error);
}

// The rules broken by `archive`, each once, in the order first found.
std::vector<std::string> BrokenRules(const Archive& archive) {
  pack::ArchiveReport report;
  std::string error;
  EXPECT_TRUE(Inspect(Build(archive), report, error)) << error;
  std::vector<std::string> rules;
  for (const auto& item : report.breaks) {
    if (std::find(rules.begin(), rules.end(), item.rule) == rules.end()) {
      rules.push_back(item.rule);
    }
  }
  return rules;
}

bool Breaks(const Archive& archive, const std::string& rule) {
  const auto rules = BrokenRules(archive);
  return std::find(rules.begin(), rules.end(), rule) != rules.end();
}

TEST(PackLister, AcceptsAConformingArchiveAndListsIt) {
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(Build(Conforming()), report, error)) << error;
  for (const auto& item : report.breaks) {
    ADD_FAILURE() << item.rule << ": " << item.detail;
  }
  ASSERT_EQ(report.entries.size(), 7u);
  EXPECT_EQ(report.entries[2].central.name, "app/data/text.txt");
  EXPECT_EQ(report.entries[2].central.method, zip::kMethodDeflate);
  EXPECT_EQ(report.entries[2].location.uncompressedSize, 5000u);
  std::ostringstream listing;
  pack::PrintEntries(report, listing);
  EXPECT_NE(listing.str().find("deflate"), std::string::npos);
  EXPECT_NE(listing.str().find("2024-03-07 10:20:00  app/data/text.txt"), std::string::npos)
      << listing.str();
  std::ostringstream verdict;
  pack::PrintBreaks(report, verdict);
  EXPECT_EQ(verdict.str().rfind("conforms", 0), 0u) << verdict.str();
}

TEST(PackLister, ReportsEntriesOutOfOrder) {
  Archive archive = Conforming();
  std::swap(archive.items[3], archive.items[4]);
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"order"});
  archive = Conforming();
  archive.items[0].name = "App/";  // still sorted case-insensitively, but now orphaned children
  EXPECT_TRUE(Breaks(archive, "folder entries"));
}

TEST(PackLister, ReportsAMissingFolderEntry) {
  Archive archive = Conforming();
  archive.items.erase(archive.items.begin() + 1);
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"folder entries"});
  // Every missing ancestor counts, each once.
  archive = Conforming();
  archive.items.erase(archive.items.begin(), archive.items.begin() + 2);
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(Build(archive), report, error)) << error;
  std::vector<std::string> details;
  for (const auto& item : report.breaks) {
    details.push_back(item.detail);
  }
  const std::vector<std::string> expected = {
      "no folder entry 'app/' for 'app/data/text.txt'",
      "no folder entry 'app/data/' for 'app/data/text.txt'",
  };
  EXPECT_EQ(details, expected);
}

TEST(PackLister, ReportsWrongAttributesVersionsAndFlags) {
  Archive archive = Conforming();
  archive.items[3].attributes = 0x81ED0000;  // Unix mode bits, as Info-ZIP writes them
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"external attributes"});
  archive = Conforming();
  archive.items[1].attributes = 0x30;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"external attributes"});
  archive = Conforming();
  archive.items[2].madeBy = 0x031E;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"version made by"});
  archive = Conforming();
  archive.items[3].needed = 20;  // stored file
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"version needed"});
  archive = Conforming();
  archive.items[4].flags = 0;  // non-ASCII name without bit 11
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"flags"});
  archive = Conforming();
  archive.items[6].flags = 0x0800;  // ASCII name with bit 11
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"flags"});
  archive = Conforming();
  archive.items[6].flags = 0x0002;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"flags"});
}

// The archive a native starter carries: made on a Unix host, each entry's
// mode above its MS-DOS attributes.
Archive ConformingWithUnixModes() {
  Archive archive = Conforming();
  for (Item& item : archive.items) {
    const bool folder = item.name.back() == '/';
    item.madeBy = 0x033F;
    item.attributes = folder ? (040755LL << 16) | 0x10 : (0100644LL << 16) | 0x20;
  }
  archive.items[3].attributes = (0100755LL << 16) | 0x20;
  return archive;
}

TEST(PackLister, AcceptsTheUnixFormOfANativeStartersArchive) {
  EXPECT_EQ(BrokenRules(ConformingWithUnixModes()), std::vector<std::string>{});
}

TEST(PackLister, ReportsUnixModesThatDoNotFitTheEntryOrAMixOfForms) {
  Archive archive = ConformingWithUnixModes();
  archive.items[3].attributes = (040755LL << 16) | 0x20;  // a folder's type on a file
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"external attributes"});
  archive = ConformingWithUnixModes();
  archive.items[0].attributes = (040755LL << 16);  // no MS-DOS folder bit
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"external attributes"});
  archive = ConformingWithUnixModes();
  archive.items[2].attributes = 0x20;  // no mode at all
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"external attributes"});
  archive = ConformingWithUnixModes();
  archive.items[4].madeBy = zip::kVersionMadeByMsDos63;
  archive.items[4].attributes = 0x20;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"version made by"});
  archive = Conforming();
  archive.items[3].attributes = (0100755LL << 16) | 0x20;  // a mode in the MS-DOS form
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"external attributes"});
}

TEST(PackLister, ReportsExtraFieldsCommentsAndDataDescriptors) {
  Archive archive = Conforming();
  archive.items[2].localExtra = std::string("UT\x05\x00\x01\x00\x00\x00\x00", 9);
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"extra field"});
  archive = Conforming();
  archive.items[2].centralExtra = std::string("UT\x01\x00\x01", 5);
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"extra field"});
  archive = Conforming();
  archive.items[3].comment = "hello";
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"comment"});
  archive = Conforming();
  archive.comment = "archive comment";
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"comment"});
  archive = Conforming();
  archive.items[2].descriptor = true;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"data descriptor"});
}

// The pieces of app/data/text.txt (5000 bytes) in an index.
Archive WithPieceIndex(std::vector<std::uint32_t> lengths = {}) {
  Archive archive = Conforming();
  archive.items[2].pieceSize = 1500;
  archive.items[2].lengths = std::move(lengths);
  return archive;
}

std::vector<std::string> Notes(const Archive& archive) {
  pack::ArchiveReport report;
  std::string error;
  EXPECT_TRUE(Inspect(Build(archive), report, error)) << error;
  std::vector<std::string> details;
  for (const auto& note : report.notes) {
    EXPECT_EQ(note.rule, "piece index");
    details.push_back(note.detail);
  }
  return details;
}

TEST(PackLister, AcceptsAPieceIndexAsTheCentralExtraField) {
  EXPECT_EQ(BrokenRules(WithPieceIndex()), std::vector<std::string>{});
  EXPECT_EQ(Notes(WithPieceIndex()), std::vector<std::string>{});
  // Beside another field it is an extra field like any other.
  Archive archive = WithPieceIndex();
  archive.items[2].centralExtra = std::string("UT\x01\x00\x01", 5);
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"extra field"});
}

TEST(PackLister, NotesAPieceIndexThatLiesWithoutBreakingTheForm) {
  std::vector<std::uint32_t> honest;
  testing_support::DeflatePieces(pack_test::TextBytes(5000, 1), 1500, 9, honest);
  ASSERT_EQ(honest.size(), 4u);
  // Conforming() fills app/data/text.txt with pack_test::TextBytes(5000, 1).
  ASSERT_EQ(Conforming().items[2].data, pack_test::TextBytes(5000, 1));
  std::vector<std::uint32_t> shorter = honest;
  shorter[0] -= 1;
  std::vector<std::uint32_t> moved = honest;
  moved[1] += 3;
  moved[2] -= 3;
  const std::vector<std::uint32_t> fewer(honest.begin(), honest.end() - 1);
  for (const auto& lengths : {shorter, fewer}) {
    EXPECT_EQ(BrokenRules(WithPieceIndex(lengths)), std::vector<std::string>{});
    EXPECT_EQ(Notes(WithPieceIndex(lengths)),
              std::vector<std::string>{"entry 'app/data/text.txt': the piece index does not "
                                       "describe the entry; it is decoded in one pass"});
  }
  EXPECT_EQ(BrokenRules(WithPieceIndex(moved)), std::vector<std::string>{});
  EXPECT_EQ(Notes(WithPieceIndex(moved)),
            std::vector<std::string>{"entry 'app/data/text.txt': piece 2 of 4 does not decode "
                                     "on its own; the entry is decoded in one pass"});
  std::ostringstream verdict;
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(Build(WithPieceIndex(moved)), report, error)) << error;
  pack::PrintBreaks(report, verdict);
  EXPECT_EQ(verdict.str(),
            "conforms: the archive has the starter's archive form\n"
            "  note: [piece index] entry 'app/data/text.txt': piece 2 of 4 does not decode on its "
            "own; the entry is decoded in one pass\n");
}

TEST(PackLister, ReportsGapsBetweenLocalHeaders) {
  Archive archive = Conforming();
  archive.items[3].after = "junk";
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"layout"});
  archive = Conforming();
  archive.items.back().after = "junk before the directory";
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"layout"});
}

TEST(PackLister, ReportsZip64Records) {
  Archive archive = Conforming();
  archive.zip64Locator = true;
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(Build(archive), report, error)) << error;
  ASSERT_FALSE(report.breaks.empty());
  EXPECT_EQ(report.breaks[0].rule, "zip64");
  EXPECT_EQ(report.entries.size(), 7u);
}

TEST(PackLister, ReportsMethodAndFolderEntryProblems) {
  Archive archive = Conforming();
  archive.items[3].deflate = true;  // random data: deflate does not shrink it
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"method"});
  archive = Conforming();
  archive.items[5].forceSizes = true;
  EXPECT_TRUE(Breaks(archive, "folder entry"));
}

TEST(PackLister, ReportsBadNamesAndTheMissingExecutable) {
  Archive archive = Conforming();
  archive.items[6].name = "zero\\back";
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"name"});
  archive = Conforming();
  archive.items[6].name = "zero\xFF";
  archive.items[6].flags = 0x0800;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"name"});
  archive = Conforming();
  archive.items[6].name = "zz/../x";
  EXPECT_TRUE(Breaks(archive, "name"));
  archive = Conforming();
  archive.items.erase(archive.items.begin() + 3);
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"executable"});
}

// The name rule is the one of text/entry_name.h: the lister says what it says.
TEST(PackLister, NamesWhyANameIsRefusedInTheSharedRulesWords) {
  const std::pair<const char*, const char*> cases[] = {
      {"zero\\back", "entry 'zero\\back': holds a backslash (use '/')"},
      {"/zero", "entry '/zero': is not relative"},
      {"zero\xFF", "entry 'zero\\xFF': is not valid UTF-8"},
      {"zz/../x", "entry 'zz/../x': has an empty, '.' or '..' component"},
      {"zz//", "entry 'zz//': ends in '/'"},
      {"", "entry '': is empty"},
  };
  for (const auto& [name, detail] : cases) {
    Archive archive = Conforming();
    archive.items[6].name = name;
    archive.items[6].flags = pack::IsAscii(name) ? 0 : 0x0800;
    pack::ArchiveReport report;
    std::string error;
    ASSERT_TRUE(Inspect(Build(archive), report, error)) << error;
    std::vector<std::string> details;
    for (const auto& item : report.breaks) {
      if (item.rule == "name") {
        details.push_back(item.detail);
      }
    }
    EXPECT_EQ(details, std::vector<std::string>{detail}) << name;
  }
}

TEST(PackLister, ReportsNamesWindowsCannotCreate) {
  Archive archive = Conforming();
  archive.items[6].name = "zero:stream";
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"windows name"});
  archive = Conforming();
  archive.items.insert(archive.items.begin() + 5, MakeItem("aux/", ""));
  archive.items.insert(archive.items.begin() + 6, MakeItem("aux/inner", "x"));
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(Build(archive), report, error)) << error;
  ASSERT_EQ(report.breaks.size(), 2u);
  EXPECT_EQ(report.breaks[0].detail, "entry 'aux/': a component is a Windows device name");
  EXPECT_EQ(report.breaks[1].detail, "entry 'aux/inner': a component is a Windows device name");
}

TEST(PackLister, ReportsDamagedData) {
  Archive archive = Conforming();
  archive.items[3].corruptCrc = true;
  EXPECT_EQ(BrokenRules(archive), std::vector<std::string>{"data"});
  std::string bytes = Build(Conforming());
  // Flip a byte in the middle of the deflated entry's data.
  const std::size_t dataStart = 30 + 4 + 30 + 9 + 30 + 17;
  bytes[dataStart + 20] = static_cast<char>(bytes[dataStart + 20] ^ 0x55);
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(bytes, report, error)) << error;
  ASSERT_FALSE(report.breaks.empty());
  EXPECT_EQ(report.breaks[0].rule, "data");
}

TEST(PackLister, SaysWhatIsWrongWithAnEntrysData) {
  const std::string text = pack_test::TextBytes(3000, 4);
  testing_support::ZipBuilder builder;
  builder.AddDeflated("trailing", text).data = testing_support::DeflateRaw(text) + "tail!";
  builder.AddDeflated("crc", text).central.crc32 = 0x12345678;
  builder.AddDeflated("size", text).central.uncompressedSize = 2999;
  builder.AddDeflated("sound", text);
  const std::string bytes = builder.Build();
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(bytes, report, error)) << error;
  std::vector<std::string> details;
  for (const pack::FormBreak& item : report.breaks) {
    if (item.rule == "data") {
      details.push_back(item.detail);
    }
  }
  EXPECT_EQ(details,
            (std::vector<std::string>{"entry 'trailing': deflate data is damaged",
                                      "entry 'crc': CRC-32 mismatch",
                                      "entry 'size': 3000 bytes of data instead of 2999"}));
}

TEST(PackLister, RefusesWhatIsNotAZipArchive) {
  pack::ArchiveReport report;
  std::string error;
  EXPECT_FALSE(Inspect("", report, error));
  EXPECT_FALSE(Inspect("short", report, error));
  EXPECT_FALSE(Inspect(pack_test::RandomBytes(5000, 3), report, error));
  EXPECT_NE(error, "");
  // A central directory said to lie beyond the end of the file.
  std::string bytes = Build(Conforming());
  bytes[bytes.size() - 6] = '\x7F';
  EXPECT_FALSE(Inspect(bytes, report, error));
  EXPECT_NE(error.find("central directory"), std::string::npos) << error;
}

TEST(PackLister, ReportsBytesAfterTheEndRecord) {
  pack::ArchiveReport report;
  std::string error;
  ASSERT_TRUE(Inspect(Build(Conforming()) + "trailing bytes", report, error)) << error;
  ASSERT_EQ(report.breaks.size(), 1u);
  EXPECT_EQ(report.breaks[0].rule, "layout");
  EXPECT_EQ(report.breaks[0].detail, "bytes after the end-of-central-directory record");
  EXPECT_EQ(report.entries.size(), 7u);
}

TEST(PackLister, RefusesWhatTheReaderRefuses) {
  std::string bytes = Build(Conforming());
  // The first entry starts on disk 1.
  const std::size_t directory = pack_test::Le32(
      bytes, bytes.size() - zip::kEndRecordSize + zip::end_record_field::kDirectoryOffset);
  bytes[directory + zip::central_record_field::kDiskStart] = 1;
  pack::ArchiveReport report;
  std::string error;
  EXPECT_FALSE(Inspect(bytes, report, error));
  EXPECT_EQ(error, "multi-disk archives are not supported");
}

TEST(PackLister, SurvivesEveryTruncationAndNeverCallsItConforming) {
  const std::string bytes = Build(Conforming());
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    pack::ArchiveReport report;
    std::string error;
    if (Inspect(bytes.substr(0, length), report, error)) {
      EXPECT_FALSE(report.breaks.empty()) << length;
    }
  }
}

TEST(PackLister, SurvivesCorruptedOffsetsAndLengths) {
  const std::string original = Build(Conforming());
  // Overwrite each byte of the central directory and end record in turn with
  // extreme values: every change must be noticed, and nothing may read out of
  // bounds (the sanitizer build checks that).
  const std::size_t directory = pack_test::Le32(original, original.size() - 22 + 16);
  for (std::size_t at = directory; at < original.size(); ++at) {
    for (const char value : {'\x00', '\xFF', '\x80'}) {
      if (original[at] == value) {
        continue;
      }
      std::string bytes = original;
      bytes[at] = value;
      pack::ArchiveReport report;
      std::string error;
      if (Inspect(bytes, report, error)) {
        EXPECT_FALSE(report.breaks.empty()) << "byte " << at << " set to " << int{value};
      }
    }
  }
}

TEST(PackLister, GroupsManyBreaksOfOneRule) {
  pack::ArchiveReport report;
  for (int i = 0; i < 8; ++i) {
    report.breaks.push_back(pack::FormBreak{"extra field", "entry " + std::to_string(i)});
  }
  report.breaks.push_back(pack::FormBreak{"order", "x"});
  std::ostringstream out;
  pack::PrintBreaks(report, out, 3);
  EXPECT_EQ(out.str(),
            "does not conform: 9 problems\n"
            "  [extra field] entry 0\n"
            "  [extra field] entry 1\n"
            "  [extra field] entry 2\n"
            "  [extra field] ... and 5 more\n"
            "  [order] x\n");
}

}  // namespace
