#include "pack/lister.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "pack/entry_header.h"
#include "pack/entry_names.h"
#include "text/entry_name.h"
#include "zip/zip_format.h"
#include "zip/zip_pieces.h"
#include "zip/zip_reader.h"

namespace pack {

namespace {

// Sizes of the data check: zlib counts its input in uInt, and the output
// buffer only bounds memory.
constexpr std::uint64_t kMaxZlibInput = 1u << 30;
constexpr std::size_t kInflateBufferSize = 256 * 1024;

// The starter's form allows neither kind of encryption.
constexpr std::uint16_t kEncryptionFlags = zip::kFlagEncrypted | zip::kFlagStrongEncryption;

bool IsFolderName(const std::string& name) {
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

// Closes the reader on every way out of an inspection.
class OpenedArchive {
 public:
  OpenedArchive() = default;
  ~OpenedArchive() { zip::ZipClose(archive); }
  OpenedArchive(const OpenedArchive&) = delete;
  OpenedArchive& operator=(const OpenedArchive&) = delete;

  zip::ZipArchive archive;
};

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
  // What the central record holds besides the listed values.
  struct CentralExtras {
    std::string extra;
    std::uint16_t commentLength = 0;
    std::uint16_t diskStart = 0;
    std::uint16_t internalAttributes = 0;
    bool zip64Extra = false;
  };

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

  static std::string Quoted(const std::string& name) { return "'" + DisplayName(name) + "'"; }

  zip::ZipArchive& Archive() { return opened_.archive; }

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
    if (!zip::ZipOpenMemory(Archive(), data_, archiveSize)) {
      return Fatal(OpenFailureText(zip::ZipTakeLastError(Archive())));
    }
    if (!zip::ZipReadArchiveFacts(Archive(), facts_)) {
      return Fatal(zip::ZipErrorText(zip::ZipTakeLastError(Archive())));
    }
    return true;
  }

  bool CheckEndRecords() {
    if (facts_.commentLength != 0) {
      Break("comment", "archive comment of " + std::to_string(facts_.commentLength) + " bytes");
    }
    // The reader takes Zip64 markers in the disk fields; the form has none.
    if (facts_.endRecordDiskNumber != 0 || facts_.endRecordDirectoryDisk != 0) {
      Break("multi-disk", "the end record names disks other than 0");
      return Fatal("multi-disk archives are not supported");
    }
    if (facts_.endRecordEntriesOnDisk != facts_.endRecordEntryCount) {
      Break("layout", "the end record's two entry counts differ");
    }
    if (facts_.hasZip64) {
      Break("zip64", "Zip64 end-of-central-directory locator present");
    } else if (facts_.endRecordEntryCount == zip::kMarker16 ||
               facts_.endRecordDirectorySize == zip::kMarker32 ||
               facts_.endRecordDirectoryOffset == zip::kMarker32) {
      Break("zip64", "the end record holds Zip64 markers but no locator follows them");
    }
    return true;
  }

  bool ReadEntries() {
    const std::uint32_t count = zip::ZipEntryCount(Archive());
    for (std::uint32_t i = 0; i < count; ++i) {
      zip::ZipEntryRecord record;
      if (!zip::ZipReadEntryRecord(Archive(), i, record)) {
        return Fatal(zip::ZipErrorText(zip::ZipTakeLastError(Archive())));
      }
      ListedEntry entry;
      entry.name = record.name;
      entry.versionMadeBy = record.versionMadeBy;
      entry.versionNeeded = record.versionNeeded;
      entry.flags = record.flags;
      entry.method = record.method;
      entry.stamp = zip::DosStamp{record.dosDate, record.dosTime};
      entry.crc32 = record.crc32;
      entry.compressedSize = record.compressedSize;
      entry.uncompressedSize = record.uncompressedSize;
      entry.externalAttributes = record.externalAttributes;
      entry.localHeaderOffset = record.localHeaderOffset;
      CentralExtras extras;
      extras.extra = std::string(record.extra);
      extras.commentLength = record.commentLength;
      extras.diskStart = record.diskStart;
      extras.internalAttributes = record.internalAttributes;
      std::string_view zip64Field;
      extras.zip64Extra = zip::FindExtraField(record.extra, zip::kExtraIdZip64, zip64Field);
      report_.entries.push_back(entry);
      centralExtras_.push_back(extras);
    }
    return true;
  }

  void CheckEntries() {
    std::uint64_t expectedOffset = 0;
    for (std::size_t i = 0; i < report_.entries.size(); ++i) {
      const ListedEntry& entry = report_.entries[i];
      const std::string who = "entry " + Quoted(entry.name);
      CheckCentralFields(entry, centralExtras_[i], who);
      if (centralExtras_[i].zip64Extra) {
        Break("zip64", who + ": Zip64 extra field");
      }
      CheckName(entry, who);
      if (entry.localHeaderOffset != expectedOffset) {
        Break("layout", who + ": local header at offset " +
                            std::to_string(entry.localHeaderOffset) + ", not right after the " +
                            (i == 0 ? "start of the file (0)"
                                    : "previous entry (" + std::to_string(expectedOffset) + ")"));
      }
      std::uint64_t dataEnd = 0;
      if (!CheckLocalHeader(static_cast<std::uint32_t>(i), entry, who, dataEnd)) {
        expectedOffset = entry.localHeaderOffset;
        continue;
      }
      expectedOffset = dataEnd;
      if ((entry.flags & zip::kFlagDataDescriptor) != 0) {
        expectedOffset += DataDescriptorLength(dataEnd);
      }
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

  void CheckCentralFields(const ListedEntry& entry, const CentralExtras& extras,
                          const std::string& who) {
    CheckRecordExtras(entry, extras, who);
    CheckFlags(entry, who);
    if (!zip::IsValidDosStamp(entry.stamp)) {
      Break("date", who + ": invalid MS-DOS date or time");
    }
    if (IsFolderName(entry.name)) {
      CheckFolderFields(entry, who);
    } else {
      CheckFileFields(entry, who);
    }
  }

  void CheckRecordExtras(const ListedEntry& entry, const CentralExtras& extras,
                         const std::string& who) {
    if (entry.versionMadeBy != zip::kVersionMadeByMsDos63 &&
        entry.versionMadeBy != kVersionMadeByUnix63) {
      Break("version made by",
            who + ": " + Hex(entry.versionMadeBy) + " instead of 0x003F (or 0x033F)");
    } else if (report_.entries.front().versionMadeBy != entry.versionMadeBy) {
      // One archive is packed for one kind of starter.
      Break("version made by", who + ": " + Hex(entry.versionMadeBy) + " after " +
                                   Hex(report_.entries.front().versionMadeBy) +
                                   " on the first entry");
    }
    if (!extras.extra.empty() && !IsPieceIndexAlone(extras.extra)) {
      Break("extra field",
            who + ": central extra field of " + std::to_string(extras.extra.size()) + " bytes");
    }
    if (extras.commentLength != 0) {
      Break("comment", who + ": entry comment");
    }
    if (extras.internalAttributes != 0) {
      Break("internal attributes", who + ": " + Hex(extras.internalAttributes) + " instead of 0");
    }
    if (extras.diskStart != 0) {
      Break("multi-disk", who + ": starts on disk " + std::to_string(extras.diskStart));
    }
  }

  // The packer's central extra field: one piece index, nothing else.
  static bool IsPieceIndexAlone(const std::string& extra) {
    std::string_view body;
    return zip::FindExtraField(extra, zip::kExtraIdPieceIndex, body) &&
           body.size() + zip::kExtraHeaderSize == extra.size();
  }

  // The index is a hint the starter checks before it uses it: what does not
  // hold up only costs the parallel decoding of that entry.
  void CheckPieceIndex(const ListedEntry& entry, const CentralExtras& extras,
                       const std::string& who, const unsigned char* data) {
    std::string_view body;
    if (!zip::FindExtraField(extras.extra, zip::kExtraIdPieceIndex, body)) {
      return;
    }
    if (entry.method != zip::kMethodDeflate) {
      Note("piece index", who + ": a piece index on an entry that is not deflated");
      return;
    }
    std::vector<zip::ZipPiece> pieces;
    if (!zip::ZipPiecesFromIndex(extras.extra, entry.compressedSize, entry.uncompressedSize,
                                 pieces)) {
      Note("piece index",
           who + ": the piece index does not describe the entry; it is decoded in one pass");
      return;
    }
    if (!options_.checkData || (entry.flags & kEncryptionFlags) != 0) {
      return;
    }
    zip::ZipPieceDecoder decoder;
    std::vector<unsigned char> output;
    uLong crc = crc32(0, nullptr, 0);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const zip::ZipPiece& piece = pieces[i];
      output.resize(static_cast<std::size_t>(piece.uncompressedLength));
      std::uint32_t pieceCrc = 0;
      if (!decoder.Decode(data + piece.compressedOffset, piece.compressedLength,
                          i + 1 == pieces.size(), output.data(), output.size(), pieceCrc)) {
        Note("piece index", who + ": piece " + std::to_string(i + 1) + " of " +
                                std::to_string(pieces.size()) +
                                " does not decode on its own; the entry is decoded in one pass");
        return;
      }
      crc = crc32_combine(crc, pieceCrc, static_cast<z_off_t>(piece.uncompressedLength));
    }
    if (crc != entry.crc32) {
      Note("piece index", who + ": the pieces decode to other content than the entry's");
    }
  }

  void CheckFlags(const ListedEntry& entry, const std::string& who) {
    if ((entry.flags & kEncryptionFlags) != 0) {
      Break("flags", who + ": encrypted");
    }
    if ((entry.flags & zip::kFlagDataDescriptor) != 0) {
      Break("data descriptor", who + ": sizes and CRC follow the data (flag bit 3)");
    }
    const std::uint16_t expectedUtf8 = IsAscii(entry.name) ? 0 : zip::kFlagUtf8Name;
    if ((entry.flags & zip::kFlagUtf8Name) != expectedUtf8) {
      Break("flags", who + (expectedUtf8 != 0 ? ": non-ASCII name without the UTF-8 flag (bit 11)"
                                              : ": UTF-8 flag (bit 11) on an ASCII name"));
    }
    const std::uint16_t otherFlags = static_cast<std::uint16_t>(
        entry.flags & ~(kEncryptionFlags | zip::kFlagDataDescriptor | zip::kFlagUtf8Name));
    if (otherFlags != 0) {
      Break("flags", who + ": flags " + Hex(otherFlags) + " set");
    }
  }

  // The MS-DOS form carries the MS-DOS attributes alone; the Unix form a
  // Unix mode of the entry's type above them.
  void CheckExternalAttributes(const ListedEntry& entry, bool folder, const std::string& who) {
    const std::uint32_t dos = folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive;
    const char* expected = folder ? "0x10 for a folder" : "0x20 for a file";
    if (entry.versionMadeBy != kVersionMadeByUnix63) {
      if (entry.externalAttributes != dos) {
        Break("external attributes",
              who + ": " + Hex(entry.externalAttributes) + " instead of " + expected);
      }
      return;
    }
    const std::uint32_t mode = entry.externalAttributes >> 16;
    const std::uint32_t type = folder ? kUnixTypeFolder : kUnixTypeFile;
    if ((entry.externalAttributes & 0xFFFF) != dos || (mode & ~07777u) != type) {
      Break("external attributes", who + ": " + Hex(entry.externalAttributes) + " instead of " +
                                       (folder ? "mode 040000" : "mode 0100000") +
                                       " and permissions above " + expected);
    }
  }

  void CheckFolderFields(const ListedEntry& entry, const std::string& who) {
    CheckExternalAttributes(entry, true, who);
    if (entry.method != zip::kMethodStored) {
      Break("method", who + ": a folder entry must be stored");
    }
    if (entry.compressedSize != 0 || entry.uncompressedSize != 0 || entry.crc32 != 0) {
      Break("folder entry", who + ": non-zero sizes or CRC");
    }
    if (entry.versionNeeded != zip::kVersionNeededFolder) {
      Break("version needed",
            who + ": " + std::to_string(entry.versionNeeded) + " instead of 20 for a folder");
    }
  }

  void CheckFileFields(const ListedEntry& entry, const std::string& who) {
    CheckExternalAttributes(entry, false, who);
    if (entry.method == zip::kMethodDeflate) {
      if (entry.versionNeeded != zip::kVersionNeededDeflate) {
        Break("version needed", who + ": " + std::to_string(entry.versionNeeded) +
                                    " instead of 20 for a deflated file");
      }
      if (entry.compressedSize >= entry.uncompressedSize) {
        Break("method", who + ": deflated although that does not make it smaller");
      }
    } else if (entry.method == zip::kMethodStored) {
      if (entry.versionNeeded != zip::kVersionNeededStored) {
        Break("version needed", who + ": " + std::to_string(entry.versionNeeded) +
                                    " instead of 10 for a stored file");
      }
      if (entry.compressedSize != entry.uncompressedSize) {
        Break("method", who + ": stored with different compressed and uncompressed sizes");
      }
    } else {
      Break("method", who + ": method " + std::to_string(entry.method) +
                          " (only 0, stored, and 8, deflate, are used)");
    }
  }

  void CheckName(const ListedEntry& entry, const std::string& who) {
    const std::string& name = entry.name;
    if (!names_.insert(name).second) {
      Break("name", who + ": duplicate name");
    }
    if (name.empty()) {
      Break("name", "an entry has an empty name");
      return;
    }
    if (name.find('\\') != std::string::npos) {
      Break("name", who + ": holds a backslash");
    }
    if (!IsValidUtf8(name)) {
      Break("name", who + ": not valid UTF-8");
    }
    if (name.front() == '/') {
      Break("name", who + ": absolute path");
    }
    std::string_view rest(name);
    while (!rest.empty()) {
      const std::size_t slash = rest.find('/');
      const std::string problem = WindowsNameProblem(rest.substr(0, slash));
      if (!problem.empty()) {
        Break("windows name", who + ": a component " + problem);
        break;
      }
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    std::string trimmed = name;
    if (trimmed.back() == '/') {
      trimmed.pop_back();
    }
    std::size_t start = 0;
    while (start <= trimmed.size()) {
      std::size_t slash = trimmed.find('/', start);
      if (slash == std::string::npos) {
        slash = trimmed.size();
      }
      const std::string part = trimmed.substr(start, slash - start);
      if ((part.empty() && name.front() != '/') || part == "." || part == "..") {
        Break("name", who + ": empty, '.' or '..' component");
        break;
      }
      start = slash + 1;
    }
  }

  // Readers that stream from the local headers see only them, so they must
  // agree with the central records.
  bool CheckLocalHeader(std::uint32_t index, const ListedEntry& entry, const std::string& who,
                        std::uint64_t& dataEnd) {
    zip::ZipLocalHeaderRecord local;
    if (!zip::ZipReadLocalHeader(Archive(), index, local)) {
      zip::ZipTakeLastError(Archive());
      if (HasLocalHeaderSignature(entry.localHeaderOffset)) {
        Break("local header", who + ": header or data runs past the entries' area");
      } else {
        Break("local header",
              who + ": no local header at offset " + std::to_string(entry.localHeaderOffset));
      }
      return false;
    }
    const unsigned char* entryData = nullptr;
    std::uint64_t length = 0;
    if (!zip::ZipLocateEntryData(Archive(), index, entryData, length)) {
      zip::ZipTakeLastError(Archive());
      Break("local header", who + ": header or data runs past the entries' area");
      return false;
    }
    if (!local.extra.empty()) {
      Break("extra field",
            who + ": local extra field of " + std::to_string(local.extra.size()) + " bytes");
    }
    if (!LocalHeaderAgrees(local, entry)) {
      Break("local header", who + ": local header disagrees with the central record");
    }
    if (local.compressedSize == zip::kMarker32 || local.uncompressedSize == zip::kMarker32) {
      Break("zip64", who + ": Zip64 sizes in the local header");
    }
    dataEnd = local.dataOffset + length;
    if (options_.checkData &&
        (entry.method == zip::kMethodStored || entry.method == zip::kMethodDeflate) &&
        (entry.flags & kEncryptionFlags) == 0) {
      CheckData(entry, who, entryData);
    }
    CheckPieceIndex(entry, centralExtras_[index], who, entryData);
    return true;
  }

  // The reader refuses a header that is not there and one whose name or extra
  // field runs past the entries alike; the signature tells them apart.
  bool HasLocalHeaderSignature(std::uint64_t at) const {
    return zip::RangeFits(at, zip::kLocalHeaderSize, size_) &&
           zip::LoadLe32(data_ + at) == zip::kLocalHeaderSignature;
  }

  // With a data descriptor (local flag bit 3) the header need not hold the
  // CRC and sizes; a Zip64 marker stands for the central record's value.
  static bool LocalHeaderAgrees(const zip::ZipLocalHeaderRecord& local, const ListedEntry& entry) {
    const bool descriptor = (local.flags & zip::kFlagDataDescriptor) != 0;
    const bool sizesAgree =
        (local.compressedSize == entry.compressedSize || local.compressedSize == zip::kMarker32) &&
        (local.uncompressedSize == entry.uncompressedSize ||
         local.uncompressedSize == zip::kMarker32);
    return local.name == entry.name && local.versionNeeded == entry.versionNeeded &&
           local.flags == entry.flags && local.method == entry.method &&
           local.dosTime == entry.stamp.time && local.dosDate == entry.stamp.date &&
           (descriptor || (local.crc32 == entry.crc32 && sizesAgree));
  }

  void CheckData(const ListedEntry& entry, const std::string& who, const unsigned char* start) {
    std::uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    if (entry.method == zip::kMethodStored) {
      for (std::uint64_t done = 0; done < entry.compressedSize;) {
        const uInt step =
            static_cast<uInt>(std::min<std::uint64_t>(entry.compressedSize - done, kMaxZlibInput));
        crc = crc32(crc, start + done, step);
        done += step;
      }
      produced = entry.compressedSize;
    } else if (!Inflate(start, entry.compressedSize, crc, produced)) {
      Break("data", who + ": deflate data is damaged");
      return;
    }
    if (produced != entry.uncompressedSize) {
      Break("data", who + ": " + std::to_string(produced) + " bytes of data instead of " +
                        std::to_string(entry.uncompressedSize));
    } else if (crc != entry.crc32) {
      Break("data", who + ": CRC-32 mismatch");
    }
  }

  // Bytes left after the end of the deflate stream count as damage: the
  // recorded compressed size must be exact.
  static bool Inflate(const unsigned char* input, std::uint64_t length, uLong& crc,
                      std::uint64_t& produced) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
      return false;
    }
    std::vector<unsigned char> buffer(kInflateBufferSize);
    std::uint64_t consumed = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
      if (stream.avail_in == 0) {
        const std::uint64_t step = std::min<std::uint64_t>(length - consumed, kMaxZlibInput);
        stream.next_in = const_cast<unsigned char*>(input + consumed);
        stream.avail_in = static_cast<uInt>(step);
        consumed += step;
      }
      stream.next_out = buffer.data();
      stream.avail_out = static_cast<uInt>(buffer.size());
      result = inflate(&stream, Z_NO_FLUSH);
      const std::size_t got = buffer.size() - stream.avail_out;
      crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
      produced += got;
      if (result == Z_BUF_ERROR && stream.avail_in == 0 && consumed == length) {
        break;
      }
      if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
        break;
      }
    }
    const bool ended = result == Z_STREAM_END && stream.avail_in == 0 && consumed == length;
    inflateEnd(&stream);
    return ended;
  }

  void CheckOrder() {
    const std::vector<ListedEntry>& entries = report_.entries;
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (!EntryNameLess(entries[i - 1].name, entries[i].name)) {
        Break("order", Quoted(entries[i].name) + " comes after " + Quoted(entries[i - 1].name));
      }
    }
    std::set<std::string> reported;
    for (const ListedEntry& entry : entries) {
      std::string name = entry.name;
      if (!name.empty() && name.back() == '/') {
        name.pop_back();
      }
      for (std::size_t slash = name.find('/'); slash != std::string::npos && slash != 0;
           slash = name.find('/', slash + 1)) {
        const std::string ancestor = name.substr(0, slash + 1);
        if (names_.count(ancestor) == 0 && reported.insert(ancestor).second) {
          Break("folder entries",
                "no folder entry " + Quoted(ancestor) + " for " + Quoted(entry.name));
        }
      }
    }
  }

  void CheckExecutable() {
    if (options_.executablePath.empty()) {
      return;
    }
    if (names_.count(options_.executablePath) == 0) {
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
  OpenedArchive opened_;
  zip::ZipArchiveFacts facts_;
  std::vector<CentralExtras> centralExtras_;
  std::set<std::string> names_;
};

std::string MethodName(std::uint16_t method) {
  switch (method) {
    case zip::kMethodStored:
      return "stored";
    case zip::kMethodDeflate:
      return "deflate";
    default:
      return "method" + std::to_string(method);
  }
}

}  // namespace

bool InspectArchive(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
                    ArchiveReport& report, std::string& error) {
  Inspector inspector(data, size, options, report, error);
  return inspector.Run();
}

void PrintEntries(const ArchiveReport& report, std::ostream& out) {
  char line[128];
  std::snprintf(line, sizeof line, "%-8s %12s %12s  %-10s %-8s  %s\n", "Method", "Compressed",
                "Size", "Date", "Time", "Name");
  out << line;
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  for (const ListedEntry& entry : report.entries) {
    const zip::CivilTime t = zip::CivilFromDosStamp(entry.stamp);
    std::snprintf(line, sizeof line, "%-8s %12llu %12llu  %04d-%02d-%02d %02d:%02d:%02d  ",
                  MethodName(entry.method).c_str(),
                  static_cast<unsigned long long>(entry.compressedSize),
                  static_cast<unsigned long long>(entry.uncompressedSize), t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    out << line << DisplayName(entry.name) << '\n';
    compressed += entry.compressedSize;
    uncompressed += entry.uncompressedSize;
  }
  out << report.entries.size() << " entries, " << compressed << " bytes compressed, "
      << uncompressed << " bytes unpacked\n";
}

namespace {

void PrintVerdict(const ArchiveReport& report, std::ostream& out, std::size_t perRule) {
  if (report.breaks.empty()) {
    out << "conforms: the archive has the starter's archive form\n";
    return;
  }
  out << "does not conform: " << report.breaks.size() << " problem"
      << (report.breaks.size() == 1 ? "" : "s") << '\n';
  std::vector<std::string> rules;
  std::map<std::string, std::vector<const FormBreak*>> byRule;
  for (const FormBreak& item : report.breaks) {
    auto& list = byRule[item.rule];
    if (list.empty()) {
      rules.push_back(item.rule);
    }
    list.push_back(&item);
  }
  for (const std::string& rule : rules) {
    const auto& list = byRule[rule];
    for (std::size_t i = 0; i < list.size() && i < perRule; ++i) {
      out << "  [" << rule << "] " << list[i]->detail << '\n';
    }
    if (list.size() > perRule) {
      out << "  [" << rule << "] ... and " << (list.size() - perRule) << " more\n";
    }
  }
}

}  // namespace

void PrintBreaks(const ArchiveReport& report, std::ostream& out, std::size_t perRule) {
  PrintVerdict(report, out, perRule);
  for (const FormBreak& note : report.notes) {
    out << "  note: [" << note.rule << "] " << note.detail << '\n';
  }
}

}  // namespace pack
