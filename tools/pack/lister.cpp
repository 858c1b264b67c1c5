#include "pack/lister.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string_view>

#include "pack/archive_writer.h"
#include "pack/entry_names.h"
#include "text/entry_name.h"
#include "zip/zip_format.h"
#include "zip/zip_pieces.h"
#include "zip/zip_reader.h"

namespace pack {

namespace {

// The data check's decode bound, never reached: the real length is counted.
constexpr std::uint64_t kUnbounded = UINT64_MAX;

// Keeps only the length and CRC-32 of what it is given (in order, from 0).
class CountingOutput final : public zip::ZipOutput {
 public:
  bool WriteAt(std::uint64_t /*offset*/, const unsigned char* data, std::size_t size) override {
    crc = crc32(crc, data, static_cast<uInt>(size));
    length += size;
    return true;
  }
  bool Reset() override { return false; }

  uLong crc = crc32(0, nullptr, 0);
  std::uint64_t length = 0;
};

// The starter's form allows neither kind of encryption.
constexpr std::uint16_t kEncryptionFlags = zip::kFlagEncrypted | zip::kFlagStrongEncryption;

bool IsFolderName(std::string_view name) {
  return !name.empty() && name.back() == '/';
}

// The text `pack list` gives for an archive the reader refuses.
std::string OpenFailureText(zip::ZipError error) {
  switch (error) {
    case zip::ZipError::kNotAnArchive:
    case zip::ZipError::kCentralDirectoryNotFound:
      return "no end-of-central-directory record: not a ZIP archive";
    case zip::ZipError::kMultiDiskUnsupported:
      return "multi-disk archives are not supported";
    case zip::ZipError::kUnsupportedDirectorySize:
      return "the central directory lies outside the archive or does not end at the end records";
    case zip::ZipError::kTooManyFiles:
      return "implausible Zip64 entry count";
    case zip::ZipError::kInvalidHeader:
      return "damaged central directory or Zip64 end record";
    default:
      return zip::ZipErrorText(error);
  }
}

// Checks one archive; made with the inputs, then Run once.
struct Inspector {
  const unsigned char* bytes;
  std::uint64_t size;
  const InspectOptions& options;
  ArchiveReport& report;
  std::string& error;
  zip::ZipArchive archive{};  // holds nothing that needs closing
  zip::ZipArchiveFacts facts{};
  std::set<std::string> names{};
  std::string who{};  // the entry being checked, as the details name it

  bool Run() {
    report = ArchiveReport();
    if (bytes == nullptr || size < zip::kEndRecordSize) {
      return Fatal("too small to be a ZIP archive");
    }
    if (!Open() || !CheckEndRecords()) {
      return false;
    }
    CheckEntries();
    CheckOrder();
    if (!options.executablePath.empty() && names.count(options.executablePath) == 0) {
      Break("executable", "no entry " + Quoted(options.executablePath));
    }
    return true;
  }

  bool Fatal(const std::string& why) {
    error = why;
    return false;
  }

  void Break(const std::string& rule, const std::string& detail) {
    report.breaks.push_back(FormBreak{rule, detail});
  }

  // A break or note of the entry being checked.
  void EntryBreak(const std::string& rule, const std::string& detail) {
    Break(rule, who + ": " + detail);
  }

  void Note(const std::string& detail) {
    report.notes.push_back(FormBreak{"piece index", who + ": " + detail});
  }

  static std::string Quoted(std::string_view name) { return "'" + DisplayName(name) + "'"; }

  // The reader opens what lies before any bytes after the end record (a break).
  bool Open() {
    std::uint64_t archiveSize = 0;
    if (!zip::ZipFindArchiveEnd(bytes, size, archiveSize)) {
      return Fatal(OpenFailureText(zip::ZipError::kCentralDirectoryNotFound));
    }
    if (archiveSize != size) {
      Break("layout", "bytes after the end-of-central-directory record");
    }
    bool read =
        zip::ZipOpenMemory(archive, bytes, archiveSize) && zip::ZipReadArchiveFacts(archive, facts);
    report.entries.resize(zip::ZipEntryCount(archive));
    for (std::uint32_t i = 0; read && i < report.entries.size(); ++i) {
      read = zip::ZipReadEntryRecord(archive, i, report.entries[i]);
    }
    return read || Fatal(OpenFailureText(zip::ZipTakeLastError(archive)));
  }

  bool CheckEndRecords() {
    const zip::EndRecord& end = facts.endRecord;
    if (end.comment.size() != 0) {
      Break("comment", "archive comment of " + std::to_string(end.comment.size()) + " bytes");
    }
    // The reader takes Zip64 markers in the disk fields; the form has none.
    if (end.diskNumber != 0 || end.directoryDisk != 0) {
      return Fatal(OpenFailureText(zip::ZipError::kMultiDiskUnsupported));
    }
    if (end.entriesOnDisk != end.entryCount) {
      Break("layout", "the end record's two entry counts differ");
    }
    if (facts.hasZip64) {
      Break("zip64", "Zip64 end-of-central-directory locator present");
    } else if (end.entryCount == zip::kMarker16 || end.directorySize == zip::kMarker32 ||
               end.directoryOffset == zip::kMarker32) {
      Break("zip64", "the end record holds Zip64 markers but no locator follows them");
    }
    return true;
  }

  void CheckEntries() {
    std::uint64_t expectedOffset = 0;
    for (std::uint32_t i = 0; i < report.entries.size(); ++i) {
      const zip::ZipEntryRecord& entry = report.entries[i];
      who = "entry " + Quoted(entry.central.name);
      CheckRecordExtras(entry);
      CheckFlags(entry.central);
      if (!zip::IsValidDosStamp({entry.central.dosDate, entry.central.dosTime})) {
        EntryBreak("date", "invalid MS-DOS date or time");
      }
      CheckKindFields(entry, IsFolderName(entry.central.name));
      std::string_view zip64Field;
      if (zip::FindExtraField(entry.central.extra, zip::kExtraIdZip64, zip64Field)) {
        EntryBreak("zip64", "Zip64 extra field");
      }
      CheckName(entry.central.name);
      if (entry.location.localHeaderOffset != expectedOffset) {
        EntryBreak("layout",
                   "local header at offset " + std::to_string(entry.location.localHeaderOffset) +
                       ", not right after the " +
                       (i == 0 ? "start of the file (0)"
                               : "previous entry (" + std::to_string(expectedOffset) + ")"));
      }
      expectedOffset = CheckLocalHeader(i, entry);
    }
    if (!report.entries.empty() && expectedOffset != facts.centralDirectoryOffset) {
      Break("layout", "the central directory does not start right after the last entry's data");
    } else if (report.entries.empty() && facts.centralDirectoryOffset != 0) {
      Break("layout", "bytes before the central directory of an empty archive");
    }
  }

  // The signature at `at` is there, `size` bytes from it within the block.
  bool HasSignature(std::uint64_t at, std::uint64_t length, std::uint32_t signature) const {
    return zip::RangeFits(at, length, size) && zip::LoadLe32(bytes + at) == signature;
  }

  void CheckRecordExtras(const zip::ZipEntryRecord& entry) {
    const zip::CentralRecord& central = entry.central;
    const std::uint16_t firstMadeBy = report.entries.front().central.versionMadeBy;
    if (central.versionMadeBy != zip::kVersionMadeByMsDos63 &&
        central.versionMadeBy != kVersionMadeByUnix63) {
      EntryBreak("version made by", Hex(central.versionMadeBy) + " instead of 0x003F (or 0x033F)");
    } else if (firstMadeBy != central.versionMadeBy) {
      // One archive is packed for one kind of starter.
      EntryBreak("version made by",
                 Hex(central.versionMadeBy) + " after " + Hex(firstMadeBy) + " on the first entry");
    }
    // The packer's central extra field: one piece index, nothing else.
    std::string_view index;
    if (!central.extra.empty() &&
        !(zip::FindExtraField(central.extra, zip::kExtraIdPieceIndex, index) &&
          index.size() + zip::kExtraHeaderSize == central.extra.size())) {
      EntryBreak("extra field",
                 "central extra field of " + std::to_string(central.extra.size()) + " bytes");
    }
    if (central.comment.size() != 0) {
      EntryBreak("comment", "entry comment");
    }
    if (central.internalAttributes != 0) {
      EntryBreak("internal attributes", Hex(central.internalAttributes) + " instead of 0");
    }
    if (central.diskStart != 0) {
      EntryBreak("multi-disk", "starts on disk " + std::to_string(central.diskStart));
    }
  }

  // A hint the starter checks before use: a bad one costs only parallel decoding.
  void CheckPieceIndex(const zip::ZipEntryRecord& entry, const unsigned char* data) {
    std::string_view body;
    std::vector<zip::ZipPiece> pieces;
    if (!zip::FindExtraField(entry.central.extra, zip::kExtraIdPieceIndex, body)) {
      return;
    }
    if (entry.central.method != zip::kMethodDeflate) {
      return Note("a piece index on an entry that is not deflated");
    }
    if (!zip::ZipPiecesFromIndex(entry.central.extra, entry.location.compressedSize,
                                 entry.location.uncompressedSize, pieces)) {
      return Note("the piece index does not describe the entry; it is decoded in one pass");
    }
    if ((entry.central.flags & kEncryptionFlags) != 0) {
      return;
    }
    zip::ZipPieceDecoder decoder;
    std::uint32_t crc = 0;
    const std::size_t decoded = decoder.DecodeInTurn(data, pieces, crc);
    if (decoded < pieces.size()) {
      Note("piece " + std::to_string(decoded + 1) + " of " + std::to_string(pieces.size()) +
           " does not decode on its own; the entry is decoded in one pass");
    } else if (crc != entry.central.crc32) {
      Note("the pieces decode to other content than the entry's");
    }
  }

  void CheckFlags(const zip::CentralRecord& central) {
    if ((central.flags & kEncryptionFlags) != 0) {
      EntryBreak("flags", "encrypted");
    }
    if ((central.flags & zip::kFlagDataDescriptor) != 0) {
      EntryBreak("data descriptor", "sizes and CRC follow the data (flag bit 3)");
    }
    const std::uint16_t expectedUtf8 = IsAscii(central.name) ? 0 : zip::kFlagUtf8Name;
    if ((central.flags & zip::kFlagUtf8Name) != expectedUtf8) {
      EntryBreak("flags", expectedUtf8 != 0 ? "non-ASCII name without the UTF-8 flag (bit 11)"
                                            : "UTF-8 flag (bit 11) on an ASCII name");
    }
    const std::uint16_t otherFlags = static_cast<std::uint16_t>(
        central.flags & ~(kEncryptionFlags | zip::kFlagDataDescriptor | zip::kFlagUtf8Name));
    if (otherFlags != 0) {
      EntryBreak("flags", "flags " + Hex(otherFlags) + " set");
    }
  }

  // MS-DOS attributes alone, or (Unix form) below a Unix mode of the entry's type.
  void CheckExternalAttributes(const zip::CentralRecord& central, bool folder) {
    const std::uint32_t attributes = central.externalAttributes;
    const bool unixForm = central.versionMadeBy == kVersionMadeByUnix63;
    const std::uint32_t dos = folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive;
    if (attributes != (unixForm ? UnixExternalAttributes(folder, attributes >> 16) : dos)) {
      const std::string mode = folder ? "mode 040000" : "mode 0100000";
      EntryBreak("external attributes", Hex(attributes) + " instead of " +
                                            (unixForm ? mode + " and permissions above " : "") +
                                            (folder ? "0x10 for a folder" : "0x20 for a file"));
    }
  }

  // The method, sizes and version needed an entry of its kind must have.
  void CheckKindFields(const zip::ZipEntryRecord& entry, bool folder) {
    const zip::CentralRecord& central = entry.central;
    CheckExternalAttributes(central, folder);
    const std::uint64_t compressed = entry.location.compressedSize;
    const std::uint64_t uncompressed = entry.location.uncompressedSize;
    if (folder) {
      if (central.method != zip::kMethodStored) {
        EntryBreak("method", "a folder entry must be stored");
      }
      if (compressed != 0 || uncompressed != 0 || central.crc32 != 0) {
        EntryBreak("folder entry", "non-zero sizes or CRC");
      }
    } else if (central.method != zip::kMethodStored && central.method != zip::kMethodDeflate) {
      return EntryBreak("method", "method " + std::to_string(central.method) +
                                      " (only 0, stored, and 8, deflate, are used)");
    }
    const bool deflated = !folder && central.method == zip::kMethodDeflate;
    const auto [needed, kind] = folder ? std::pair(zip::kVersionNeededFolder, "a folder")
                                : deflated
                                    ? std::pair(zip::kVersionNeededDeflate, "a deflated file")
                                    : std::pair(zip::kVersionNeededStored, "a stored file");
    if (central.versionNeeded != needed) {
      EntryBreak("version needed", std::to_string(central.versionNeeded) + " instead of " +
                                       std::to_string(needed) + " for " + kind);
    }
    if (deflated && compressed >= uncompressed) {
      EntryBreak("method", "deflated although that does not make it smaller");
    } else if (!folder && !deflated && compressed != uncompressed) {
      EntryBreak("method", "stored with different compressed and uncompressed sizes");
    }
  }

  void CheckName(std::string_view name) {
    if (!names.insert(std::string(name)).second) {
      EntryBreak("name", "duplicate name");
    }
    // A folder's name is its path with a '/' after it.
    const std::string_view path = IsFolderName(name) ? name.substr(0, name.size() - 1) : name;
    const std::string problem = RelativePathProblem(path);
    if (!problem.empty()) {
      return EntryBreak("name", problem);
    }
    for (const std::string_view level : SplitPathLevels(path)) {
      const std::string windowsProblem = WindowsNameProblem(level);
      if (!windowsProblem.empty()) {
        return EntryBreak("windows name", "a component " + windowsProblem);
      }
    }
  }

  // Readers that stream from the local headers see only them, so they must
  // agree with the central records. Returns where the next entry should start.
  std::uint64_t CheckLocalHeader(std::uint32_t index, const zip::ZipEntryRecord& entry) {
    zip::ZipLocalHeaderRecord local;
    const unsigned char* entryData = nullptr;
    std::uint64_t length = 0;
    if (!zip::ZipReadLocalHeader(archive, index, local) ||
        !zip::ZipLocateEntryData(archive, index, entryData, length)) {
      zip::ZipTakeLastError(archive);
      // The reader refuses a header that is not there and one whose name or
      // extra field runs past the entries alike; the signature tells them apart.
      const std::uint64_t at = entry.location.localHeaderOffset;
      EntryBreak("local header", HasSignature(at, zip::kLocalHeaderSize, zip::kLocalHeaderSignature)
                                     ? "header or data runs past the entries' area"
                                     : "no local header at offset " + std::to_string(at));
      return at;
    }
    if (!local.header.extra.empty()) {
      EntryBreak("extra field",
                 "local extra field of " + std::to_string(local.header.extra.size()) + " bytes");
    }
    if (!LocalHeaderAgrees(local.header, entry)) {
      EntryBreak("local header", "local header disagrees with the central record");
    }
    if (local.header.compressedSize == zip::kMarker32 ||
        local.header.uncompressedSize == zip::kMarker32) {
      EntryBreak("zip64", "Zip64 sizes in the local header");
    }
    if ((entry.central.method == zip::kMethodStored ||
         entry.central.method == zip::kMethodDeflate) &&
        (entry.central.flags & kEncryptionFlags) == 0) {
      CheckData(entry, entryData);
    }
    CheckPieceIndex(entry, entryData);
    // The reader does not look past the data; a descriptor's signature is optional.
    const std::uint64_t dataEnd = local.dataOffset + length;
    if ((entry.central.flags & zip::kFlagDataDescriptor) == 0) {
      return dataEnd;
    }
    const bool signature =
        HasSignature(dataEnd, zip::kDataDescriptorSignatureSize, zip::kDataDescriptorSignature);
    return dataEnd + (signature ? zip::kDataDescriptorSignatureSize : 0) + zip::kDataDescriptorSize;
  }

  // With a data descriptor (local flag bit 3) the header need not hold the
  // CRC and sizes; a Zip64 marker stands for the central record's value.
  static bool LocalHeaderAgrees(const zip::LocalHeader& local, const zip::ZipEntryRecord& entry) {
    const auto sizeAgrees = [](std::uint32_t local, std::uint64_t central) {
      return local == central || local == zip::kMarker32;
    };
    return local.name == entry.central.name && local.versionNeeded == entry.central.versionNeeded &&
           local.flags == entry.central.flags && local.method == entry.central.method &&
           local.dosTime == entry.central.dosTime && local.dosDate == entry.central.dosDate &&
           ((local.flags & zip::kFlagDataDescriptor) != 0 ||
            (local.crc32 == entry.central.crc32 &&
             sizeAgrees(local.compressedSize, entry.location.compressedSize) &&
             sizeAgrees(local.uncompressedSize, entry.location.uncompressedSize)));
  }

  // Decodes to the end whatever the record says, with the starter's stream decoder.
  void CheckData(const zip::ZipEntryRecord& entry, const unsigned char* start) {
    zip::ZipEntryJob job;
    job.data = start;
    job.compressedSize = entry.location.compressedSize;
    job.uncompressedSize = kUnbounded;
    job.method = entry.central.method;
    CountingOutput output;
    std::uint64_t unusedInput = 0;
    // Bytes after the deflate stream's end are damage: the compressed size is exact.
    if (zip::ZipStreamEntryJob(job, output, &unusedInput) != zip::ZipError::kUnexpectedSize ||
        unusedInput != 0) {
      EntryBreak("data", "deflate data is damaged");
    } else if (output.length != entry.location.uncompressedSize) {
      EntryBreak("data", std::to_string(output.length) + " bytes of data instead of " +
                             std::to_string(entry.location.uncompressedSize));
    } else if (output.crc != entry.central.crc32) {
      EntryBreak("data", "CRC-32 mismatch");
    }
  }

  void CheckOrder() {
    const std::vector<zip::ZipEntryRecord>& entries = report.entries;
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (!EntryNameLess(entries[i - 1].central.name, entries[i].central.name)) {
        Break("order", Quoted(entries[i].central.name) + " comes after " +
                           Quoted(entries[i - 1].central.name));
      }
    }
    std::set<std::string> reported;
    for (const zip::ZipEntryRecord& entry : entries) {
      const std::string_view name = entry.central.name;
      // Every '/' but a leading or a folder's trailing one ends an ancestor.
      for (std::size_t slash = name.find('/'); slash != 0 && slash < name.size() - 1;
           slash = name.find('/', slash + 1)) {
        const std::string ancestor(name.substr(0, slash + 1));
        if (names.count(ancestor) == 0 && reported.insert(ancestor).second) {
          Break("folder entries", "no folder entry " + Quoted(ancestor) + " for " + Quoted(name));
        }
      }
    }
  }

  static std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, value > 0xFFFF ? "0x%08X" : "0x%04X", value);
    return text;
  }
};

std::string MethodName(std::uint16_t method) {
  return method == zip::kMethodStored    ? "stored"
         : method == zip::kMethodDeflate ? "deflate"
                                         : "method" + std::to_string(method);
}

}  // namespace

bool InspectArchive(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
                    ArchiveReport& report, std::string& error) {
  return Inspector{data, size, options, report, error}.Run();
}

void PrintEntries(const ArchiveReport& report, std::ostream& out) {
  out << "Method     Compressed         Size  Date       Time      Name\n";
  char line[128];
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  for (const zip::ZipEntryRecord& entry : report.entries) {
    const zip::CivilTime t = zip::CivilFromDosStamp({entry.central.dosDate, entry.central.dosTime});
    std::snprintf(line, sizeof line, "%-8s %12llu %12llu  %04d-%02d-%02d %02d:%02d:%02d  ",
                  MethodName(entry.central.method).c_str(),
                  static_cast<unsigned long long>(entry.location.compressedSize),
                  static_cast<unsigned long long>(entry.location.uncompressedSize), t.year, t.month,
                  t.day, t.hour, t.minute, t.second);
    out << line << DisplayName(entry.central.name) << '\n';
    compressed += entry.location.compressedSize;
    uncompressed += entry.location.uncompressedSize;
  }
  out << report.entries.size() << " entries, " << compressed << " bytes compressed, "
      << uncompressed << " bytes unpacked\n";
}

void PrintBreaks(const ArchiveReport& report, std::ostream& out, std::size_t perRule) {
  const std::size_t problems = report.breaks.size();
  if (problems == 0) {
    out << "conforms: the archive has the starter's archive form\n";
  } else {
    out << "does not conform: " << problems << " problem" << (problems == 1 ? "" : "s") << '\n';
  }
  // Each rule's breaks together, from where it is first broken.
  for (auto first = report.breaks.begin(); first != report.breaks.end(); ++first) {
    const auto sameRule = [&](const FormBreak& item) { return item.rule == first->rule; };
    if (std::find_if(report.breaks.begin(), first, sameRule) != first) {
      continue;
    }
    std::size_t count = 0;
    for (auto item = first; item != report.breaks.end(); ++item) {
      if (sameRule(*item) && count++ < perRule) {
        out << "  [" << item->rule << "] " << item->detail << '\n';
      }
    }
    if (count > perRule) {
      out << "  [" << first->rule << "] ... and " << (count - perRule) << " more\n";
    }
  }
  for (const FormBreak& note : report.notes) {
    out << "  note: [" << note.rule << "] " << note.detail << '\n';
  }
}

}  // namespace pack
