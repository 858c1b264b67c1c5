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

// The recorded size given to the data check's decode, so that it never stops
// short: what the data really holds is counted and compared afterwards.
constexpr std::uint64_t kUnbounded = UINT64_MAX;

// Keeps nothing of what it is given (in order, from offset 0) but its length
// and CRC-32.
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

zip::DosStamp Stamp(const zip::ZipEntryRecord& entry) {
  return zip::DosStamp{entry.central.dosDate, entry.central.dosTime};
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

class Inspector {
 public:
  Inspector(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
            ArchiveReport& report, std::string& error)
      : data_(data), size_(size), options_(options), report_(report), error_(error) {}

  bool Run() {
    report_ = ArchiveReport();
    if (data_ == nullptr || size_ < zip::kEndRecordSize) {
      return Fatal("too small to be a ZIP archive");
    }
    if (!Open() || !CheckEndRecords() || !ReadEntries()) {
      return false;
    }
    CheckEntries();
    CheckOrder();
    CheckExecutable();
    return true;
  }

 private:
  bool Fatal(const std::string& why) {
    error_ = why;
    return false;
  }

  void Break(const std::string& rule, const std::string& detail) {
    report_.breaks.push_back(FormBreak{rule, detail});
  }

  void Note(const std::string& rule, const std::string& detail) {
    report_.notes.push_back(FormBreak{rule, detail});
  }

  static std::string Quoted(std::string_view name) { return "'" + DisplayName(name) + "'"; }

  // The reader opens what lies in front of any bytes after the end record;
  // those bytes only break the form.
  bool Open() {
    std::uint64_t archiveSize = 0;
    if (!zip::ZipFindArchiveEnd(data_, size_, archiveSize)) {
      return Fatal(OpenFailureText(zip::ZipError::kCentralDirectoryNotFound));
    }
    if (archiveSize != size_) {
      Break("layout", "bytes after the end-of-central-directory record");
    }
    if (!zip::ZipOpenMemory(archive_, data_, archiveSize)) {
      return Fatal(OpenFailureText(zip::ZipTakeLastError(archive_)));
    }
    if (!zip::ZipReadArchiveFacts(archive_, facts_)) {
      return Fatal(zip::ZipErrorText(zip::ZipTakeLastError(archive_)));
    }
    return true;
  }

  bool CheckEndRecords() {
    if (facts_.endRecord.comment.size() != 0) {
      Break("comment",
            "archive comment of " + std::to_string(facts_.endRecord.comment.size()) + " bytes");
    }
    // The reader takes Zip64 markers in the disk fields; the form has none.
    if (facts_.endRecord.diskNumber != 0 || facts_.endRecord.directoryDisk != 0) {
      return Fatal("multi-disk archives are not supported");
    }
    if (facts_.endRecord.entriesOnDisk != facts_.endRecord.entryCount) {
      Break("layout", "the end record's two entry counts differ");
    }
    if (facts_.hasZip64) {
      Break("zip64", "Zip64 end-of-central-directory locator present");
    } else if (facts_.endRecord.entryCount == zip::kMarker16 ||
               facts_.endRecord.directorySize == zip::kMarker32 ||
               facts_.endRecord.directoryOffset == zip::kMarker32) {
      Break("zip64", "the end record holds Zip64 markers but no locator follows them");
    }
    return true;
  }

  bool ReadEntries() {
    report_.entries.resize(zip::ZipEntryCount(archive_));
    for (std::uint32_t i = 0; i < report_.entries.size(); ++i) {
      if (!zip::ZipReadEntryRecord(archive_, i, report_.entries[i])) {
        return Fatal(zip::ZipErrorText(zip::ZipTakeLastError(archive_)));
      }
    }
    return true;
  }

  void CheckEntries() {
    std::uint64_t expectedOffset = 0;
    for (std::size_t i = 0; i < report_.entries.size(); ++i) {
      const zip::ZipEntryRecord& entry = report_.entries[i];
      const std::string who = "entry " + Quoted(entry.central.name);
      CheckRecordExtras(entry, who);
      CheckFlags(entry, who);
      if (!zip::IsValidDosStamp(Stamp(entry))) {
        Break("date", who + ": invalid MS-DOS date or time");
      }
      CheckKindFields(entry, IsFolderName(entry.central.name), who);
      std::string_view zip64Field;
      if (zip::FindExtraField(entry.central.extra, zip::kExtraIdZip64, zip64Field)) {
        Break("zip64", who + ": Zip64 extra field");
      }
      CheckName(entry, who);
      if (entry.location.localHeaderOffset != expectedOffset) {
        Break("layout", who + ": local header at offset " +
                            std::to_string(entry.location.localHeaderOffset) +
                            ", not right after the " +
                            (i == 0 ? "start of the file (0)"
                                    : "previous entry (" + std::to_string(expectedOffset) + ")"));
      }
      expectedOffset = CheckLocalHeader(static_cast<std::uint32_t>(i), entry, who);
    }
    if (!report_.entries.empty() && expectedOffset != facts_.centralDirectoryOffset) {
      Break("layout", "the central directory does not start right after the last entry's data");
    } else if (report_.entries.empty() && facts_.centralDirectoryOffset != 0) {
      Break("layout", "bytes before the central directory of an empty archive");
    }
  }

  // The reader does not look behind an entry's data; the descriptor's
  // signature is optional.
  std::uint64_t DataDescriptorLength(std::uint64_t at) const {
    const bool signature = zip::RangeFits(at, zip::kDataDescriptorSignatureSize, size_) &&
                           zip::LoadLe32(data_ + at) == zip::kDataDescriptorSignature;
    return (signature ? zip::kDataDescriptorSignatureSize : 0) + zip::kDataDescriptorSize;
  }

  void CheckRecordExtras(const zip::ZipEntryRecord& entry, const std::string& who) {
    if (entry.central.versionMadeBy != zip::kVersionMadeByMsDos63 &&
        entry.central.versionMadeBy != kVersionMadeByUnix63) {
      Break("version made by",
            who + ": " + Hex(entry.central.versionMadeBy) + " instead of 0x003F (or 0x033F)");
    } else if (report_.entries.front().central.versionMadeBy != entry.central.versionMadeBy) {
      // One archive is packed for one kind of starter.
      Break("version made by", who + ": " + Hex(entry.central.versionMadeBy) + " after " +
                                   Hex(report_.entries.front().central.versionMadeBy) +
                                   " on the first entry");
    }
    if (!entry.central.extra.empty() && !IsPieceIndexAlone(entry.central.extra)) {
      Break("extra field", who + ": central extra field of " +
                               std::to_string(entry.central.extra.size()) + " bytes");
    }
    if (entry.central.comment.size() != 0) {
      Break("comment", who + ": entry comment");
    }
    if (entry.central.internalAttributes != 0) {
      Break("internal attributes",
            who + ": " + Hex(entry.central.internalAttributes) + " instead of 0");
    }
    if (entry.central.diskStart != 0) {
      Break("multi-disk", who + ": starts on disk " + std::to_string(entry.central.diskStart));
    }
  }

  // The packer's central extra field: one piece index, nothing else.
  static bool IsPieceIndexAlone(std::string_view extra) {
    std::string_view body;
    return zip::FindExtraField(extra, zip::kExtraIdPieceIndex, body) &&
           body.size() + zip::kExtraHeaderSize == extra.size();
  }

  // The index is a hint the starter checks before it uses it: what does not
  // hold up only costs the parallel decoding of that entry.
  void CheckPieceIndex(const zip::ZipEntryRecord& entry, const std::string& who,
                       const unsigned char* data) {
    std::string_view body;
    if (!zip::FindExtraField(entry.central.extra, zip::kExtraIdPieceIndex, body)) {
      return;
    }
    if (entry.central.method != zip::kMethodDeflate) {
      Note("piece index", who + ": a piece index on an entry that is not deflated");
      return;
    }
    std::vector<zip::ZipPiece> pieces;
    if (!zip::ZipPiecesFromIndex(entry.central.extra, entry.location.compressedSize,
                                 entry.location.uncompressedSize, pieces)) {
      Note("piece index",
           who + ": the piece index does not describe the entry; it is decoded in one pass");
      return;
    }
    if ((entry.central.flags & kEncryptionFlags) != 0) {
      return;
    }
    zip::ZipPieceDecoder decoder;
    std::uint32_t crc = 0;
    const std::size_t decoded = decoder.DecodeInTurn(data, pieces, crc);
    if (decoded < pieces.size()) {
      Note("piece index", who + ": piece " + std::to_string(decoded + 1) + " of " +
                              std::to_string(pieces.size()) +
                              " does not decode on its own; the entry is decoded in one pass");
      return;
    }
    if (crc != entry.central.crc32) {
      Note("piece index", who + ": the pieces decode to other content than the entry's");
    }
  }

  void CheckFlags(const zip::ZipEntryRecord& entry, const std::string& who) {
    if ((entry.central.flags & kEncryptionFlags) != 0) {
      Break("flags", who + ": encrypted");
    }
    if ((entry.central.flags & zip::kFlagDataDescriptor) != 0) {
      Break("data descriptor", who + ": sizes and CRC follow the data (flag bit 3)");
    }
    const std::uint16_t expectedUtf8 = IsAscii(entry.central.name) ? 0 : zip::kFlagUtf8Name;
    if ((entry.central.flags & zip::kFlagUtf8Name) != expectedUtf8) {
      Break("flags", who + (expectedUtf8 != 0 ? ": non-ASCII name without the UTF-8 flag (bit 11)"
                                              : ": UTF-8 flag (bit 11) on an ASCII name"));
    }
    const std::uint16_t otherFlags = static_cast<std::uint16_t>(
        entry.central.flags & ~(kEncryptionFlags | zip::kFlagDataDescriptor | zip::kFlagUtf8Name));
    if (otherFlags != 0) {
      Break("flags", who + ": flags " + Hex(otherFlags) + " set");
    }
  }

  // The MS-DOS form carries the MS-DOS attributes alone; the Unix form a
  // Unix mode of the entry's type above them.
  void CheckExternalAttributes(const zip::ZipEntryRecord& entry, bool folder,
                               const std::string& who) {
    const std::uint32_t attributes = entry.central.externalAttributes;
    const bool unixForm = entry.central.versionMadeBy == kVersionMadeByUnix63;
    const std::uint32_t dos = folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive;
    if (attributes != (unixForm ? UnixExternalAttributes(folder, attributes >> 16) : dos)) {
      const std::string mode = folder ? "mode 040000" : "mode 0100000";
      Break("external attributes", who + ": " + Hex(attributes) + " instead of " +
                                       (unixForm ? mode + " and permissions above " : "") +
                                       (folder ? "0x10 for a folder" : "0x20 for a file"));
    }
  }

  // The method, sizes and version needed an entry of its kind must have.
  void CheckKindFields(const zip::ZipEntryRecord& entry, bool folder, const std::string& who) {
    CheckExternalAttributes(entry, folder, who);
    const zip::CentralRecord& central = entry.central;
    const std::uint64_t compressed = entry.location.compressedSize;
    const std::uint64_t uncompressed = entry.location.uncompressedSize;
    if (folder) {
      if (central.method != zip::kMethodStored) {
        Break("method", who + ": a folder entry must be stored");
      }
      if (compressed != 0 || uncompressed != 0 || central.crc32 != 0) {
        Break("folder entry", who + ": non-zero sizes or CRC");
      }
    } else if (central.method != zip::kMethodStored && central.method != zip::kMethodDeflate) {
      Break("method", who + ": method " + std::to_string(central.method) +
                          " (only 0, stored, and 8, deflate, are used)");
      return;
    }
    const bool deflated = !folder && central.method == zip::kMethodDeflate;
    const std::uint16_t needed = folder     ? zip::kVersionNeededFolder
                                 : deflated ? zip::kVersionNeededDeflate
                                            : zip::kVersionNeededStored;
    if (central.versionNeeded != needed) {
      Break("version needed", who + ": " + std::to_string(central.versionNeeded) + " instead of " +
                                  std::to_string(needed) + " for " +
                                  (folder     ? "a folder"
                                   : deflated ? "a deflated file"
                                              : "a stored file"));
    }
    if (deflated && compressed >= uncompressed) {
      Break("method", who + ": deflated although that does not make it smaller");
    } else if (!folder && !deflated && compressed != uncompressed) {
      Break("method", who + ": stored with different compressed and uncompressed sizes");
    }
  }

  void CheckName(const zip::ZipEntryRecord& entry, const std::string& who) {
    const std::string_view name = entry.central.name;
    if (!names_.insert(std::string(name)).second) {
      Break("name", who + ": duplicate name");
    }
    // A folder's name is its path with a '/' after it.
    const std::string_view path = IsFolderName(name) ? name.substr(0, name.size() - 1) : name;
    const std::string problem = RelativePathProblem(path);
    if (!problem.empty()) {
      Break("name", who + ": " + problem);
      return;
    }
    for (const std::string_view level : SplitPathLevels(path)) {
      const std::string windowsProblem = WindowsNameProblem(level);
      if (!windowsProblem.empty()) {
        Break("windows name", who + ": a component " + windowsProblem);
        return;
      }
    }
  }

  // Readers that stream from the local headers see only them, so they must
  // agree with the central records. Returns where the next entry should start.
  std::uint64_t CheckLocalHeader(std::uint32_t index, const zip::ZipEntryRecord& entry,
                                 const std::string& who) {
    zip::ZipLocalHeaderRecord local;
    const unsigned char* entryData = nullptr;
    std::uint64_t length = 0;
    if (!zip::ZipReadLocalHeader(archive_, index, local) ||
        !zip::ZipLocateEntryData(archive_, index, entryData, length)) {
      zip::ZipTakeLastError(archive_);
      const std::uint64_t at = entry.location.localHeaderOffset;
      Break("local header", who + (HasLocalHeaderSignature(at)
                                       ? ": header or data runs past the entries' area"
                                       : ": no local header at offset " + std::to_string(at)));
      return at;
    }
    if (!local.header.extra.empty()) {
      Break("extra field",
            who + ": local extra field of " + std::to_string(local.header.extra.size()) + " bytes");
    }
    if (!LocalHeaderAgrees(local, entry)) {
      Break("local header", who + ": local header disagrees with the central record");
    }
    if (local.header.compressedSize == zip::kMarker32 ||
        local.header.uncompressedSize == zip::kMarker32) {
      Break("zip64", who + ": Zip64 sizes in the local header");
    }
    if ((entry.central.method == zip::kMethodStored ||
         entry.central.method == zip::kMethodDeflate) &&
        (entry.central.flags & kEncryptionFlags) == 0) {
      CheckData(entry, who, entryData);
    }
    CheckPieceIndex(entry, who, entryData);
    const std::uint64_t dataEnd = local.dataOffset + length;
    const bool descriptor = (entry.central.flags & zip::kFlagDataDescriptor) != 0;
    return dataEnd + (descriptor ? DataDescriptorLength(dataEnd) : 0);
  }

  // The reader refuses a header that is not there and one whose name or extra
  // field runs past the entries alike; the signature tells them apart.
  bool HasLocalHeaderSignature(std::uint64_t at) const {
    return zip::RangeFits(at, zip::kLocalHeaderSize, size_) &&
           zip::LoadLe32(data_ + at) == zip::kLocalHeaderSignature;
  }

  // With a data descriptor (local flag bit 3) the header need not hold the
  // CRC and sizes; a Zip64 marker stands for the central record's value.
  static bool LocalHeaderAgrees(const zip::ZipLocalHeaderRecord& local,
                                const zip::ZipEntryRecord& entry) {
    const bool descriptor = (local.header.flags & zip::kFlagDataDescriptor) != 0;
    const bool sizesAgree = (local.header.compressedSize == entry.location.compressedSize ||
                             local.header.compressedSize == zip::kMarker32) &&
                            (local.header.uncompressedSize == entry.location.uncompressedSize ||
                             local.header.uncompressedSize == zip::kMarker32);
    return local.header.name == entry.central.name &&
           local.header.versionNeeded == entry.central.versionNeeded &&
           local.header.flags == entry.central.flags &&
           local.header.method == entry.central.method &&
           local.header.dosTime == Stamp(entry).time && local.header.dosDate == Stamp(entry).date &&
           (descriptor || (local.header.crc32 == entry.central.crc32 && sizesAgree));
  }

  // The data decoded to its end whatever the record says, by the starter's
  // own streaming decoder, with what it gives counted.
  void CheckData(const zip::ZipEntryRecord& entry, const std::string& who,
                 const unsigned char* start) {
    zip::ZipEntryJob job;
    job.data = start;
    job.compressedSize = entry.location.compressedSize;
    job.uncompressedSize = kUnbounded;
    job.method = entry.central.method;
    CountingOutput output;
    std::uint64_t unusedInput = 0;
    // Bytes left after the end of the deflate stream count as damage: the
    // recorded compressed size must be exact.
    if (zip::ZipStreamEntryJob(job, output, &unusedInput) != zip::ZipError::kUnexpectedSize ||
        unusedInput != 0) {
      Break("data", who + ": deflate data is damaged");
    } else if (output.length != entry.location.uncompressedSize) {
      Break("data", who + ": " + std::to_string(output.length) + " bytes of data instead of " +
                        std::to_string(entry.location.uncompressedSize));
    } else if (output.crc != entry.central.crc32) {
      Break("data", who + ": CRC-32 mismatch");
    }
  }

  void CheckOrder() {
    const std::vector<zip::ZipEntryRecord>& entries = report_.entries;
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (!EntryNameLess(entries[i - 1].central.name, entries[i].central.name)) {
        Break("order", Quoted(entries[i].central.name) + " comes after " +
                           Quoted(entries[i - 1].central.name));
      }
    }
    std::set<std::string> reported;
    for (const zip::ZipEntryRecord& entry : entries) {
      std::string name(entry.central.name);
      if (!name.empty() && name.back() == '/') {
        name.pop_back();
      }
      for (std::size_t slash = name.find('/'); slash != std::string::npos && slash != 0;
           slash = name.find('/', slash + 1)) {
        const std::string ancestor = name.substr(0, slash + 1);
        if (names_.count(ancestor) == 0 && reported.insert(ancestor).second) {
          Break("folder entries",
                "no folder entry " + Quoted(ancestor) + " for " + Quoted(entry.central.name));
        }
      }
    }
  }

  void CheckExecutable() {
    if (!options_.executablePath.empty() && names_.count(options_.executablePath) == 0) {
      Break("executable", "no entry " + Quoted(options_.executablePath));
    }
  }

  static std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, value > 0xFFFF ? "0x%08X" : "0x%04X", value);
    return text;
  }

  const unsigned char* data_;
  std::uint64_t size_;
  const InspectOptions& options_;
  ArchiveReport& report_;
  std::string& error_;
  zip::ZipArchive archive_;  // holds nothing that needs closing
  zip::ZipArchiveFacts facts_;
  std::set<std::string> names_;
};

std::string MethodName(std::uint16_t method) {
  return method == zip::kMethodStored    ? "stored"
         : method == zip::kMethodDeflate ? "deflate"
                                         : "method" + std::to_string(method);
}

}  // namespace

bool InspectArchive(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
                    ArchiveReport& report, std::string& error) {
  return Inspector(data, size, options, report, error).Run();
}

void PrintEntries(const ArchiveReport& report, std::ostream& out) {
  char line[128];
  std::snprintf(line, sizeof line, "%-8s %12s %12s  %-10s %-8s  %s\n", "Method", "Compressed",
                "Size", "Date", "Time", "Name");
  out << line;
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  for (const zip::ZipEntryRecord& entry : report.entries) {
    const zip::CivilTime t = zip::CivilFromDosStamp(Stamp(entry));
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
  std::vector<std::string> rules;  // in the order first broken
  for (const FormBreak& item : report.breaks) {
    if (std::find(rules.begin(), rules.end(), item.rule) == rules.end()) {
      rules.push_back(item.rule);
    }
  }
  for (const std::string& rule : rules) {
    std::size_t count = 0;
    for (const FormBreak& item : report.breaks) {
      if (item.rule == rule && count++ < perRule) {
        out << "  [" << rule << "] " << item.detail << '\n';
      }
    }
    if (count > perRule) {
      out << "  [" << rule << "] ... and " << (count - perRule) << " more\n";
    }
  }
  for (const FormBreak& note : report.notes) {
    out << "  note: [" << note.rule << "] " << note.detail << '\n';
  }
}

}  // namespace pack
