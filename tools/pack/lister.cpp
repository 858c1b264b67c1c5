#include "pack/lister.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "pack/entry_names.h"
#include "text/entry_name.h"

namespace pack {

namespace {

constexpr std::uint16_t kZip64ExtraId = 0x0001;

class Inspector {
 public:
  Inspector(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
            ArchiveReport& report, std::string& error)
      : data_(data), size_(size), options_(options), report_(report), error_(error) {}

  bool Run() {
    report_ = ArchiveReport();
    if (data_ == nullptr || size_ < kEndRecordSize) {
      return Fatal("too small to be a ZIP archive");
    }
    if (!ReadEndRecord() || !ReadCentralDirectory()) {
      return false;
    }
    CheckEntries();
    CheckOrder();
    CheckExecutable();
    return true;
  }

 private:
  struct CentralExtras {
    std::uint16_t extraLength = 0;
    std::uint16_t commentLength = 0;
    std::uint16_t diskStart = 0;
    std::uint16_t internalAttributes = 0;
  };

  bool Fatal(const std::string& why) {
    error_ = why;
    return false;
  }

  void Break(const std::string& rule, const std::string& detail) {
    report_.breaks.push_back(FormBreak{rule, detail});
  }

  static std::string Quoted(const std::string& name) { return "'" + DisplayName(name) + "'"; }

  bool Fits(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  bool SignatureAt(std::uint64_t offset, std::uint32_t signature) const {
    return Fits(offset, 4) && ReadLe32(data_ + offset) == signature;
  }

  bool ReadEndRecord() {
    // The record normally ends the file; an archive comment moves it back by
    // up to 65535 bytes.
    std::uint64_t end = size_ - kEndRecordSize;
    bool found = false;
    const std::uint64_t lowest = end > 0xFFFF ? end - 0xFFFF : 0;
    for (std::uint64_t at = end + 1; at-- > lowest;) {
      if (SignatureAt(at, kEndRecordSignature) &&
          at + kEndRecordSize + ReadLe16(data_ + at + 20) == size_) {
        end = at;
        found = true;
        break;
      }
    }
    if (!found) {
      for (std::uint64_t at = end + 1; at-- > lowest;) {
        if (SignatureAt(at, kEndRecordSignature)) {
          end = at;
          found = true;
          Break("layout", "bytes after the end-of-central-directory record");
          break;
        }
      }
    }
    if (!found) {
      return Fatal("no end-of-central-directory record: not a ZIP archive");
    }
    endOffset_ = end;
    const unsigned char* p = data_ + end;
    const std::uint16_t commentLength = ReadLe16(p + 20);
    if (commentLength != 0) {
      Break("comment", "archive comment of " + std::to_string(commentLength) + " bytes");
    }
    if (ReadLe16(p + 4) != 0 || ReadLe16(p + 6) != 0) {
      Break("multi-disk", "the end record names disks other than 0");
      return Fatal("multi-disk archives are not supported");
    }
    if (ReadLe16(p + 8) != ReadLe16(p + 10)) {
      Break("layout", "the end record's two entry counts differ");
    }
    entryCount_ = ReadLe16(p + 10);
    directorySize_ = ReadLe32(p + 12);
    directoryOffset_ = ReadLe32(p + 16);
    directoryEnd_ = end;
    if (end >= kZip64LocatorSize && SignatureAt(end - kZip64LocatorSize, kZip64LocatorSignature)) {
      Break("zip64", "Zip64 end-of-central-directory locator present");
      if (!ReadZip64EndRecord(end - kZip64LocatorSize)) {
        return false;
      }
    } else if (entryCount_ == 0xFFFF || directorySize_ == 0xFFFFFFFF ||
               directoryOffset_ == 0xFFFFFFFF) {
      Break("zip64", "the end record holds Zip64 markers but no locator follows them");
    }
    if (!Fits(directoryOffset_, directorySize_) ||
        directoryOffset_ + directorySize_ > directoryEnd_) {
      return Fatal("the central directory lies outside the archive");
    }
    if (directoryOffset_ + directorySize_ != directoryEnd_) {
      Break("layout", "bytes between the central directory and the end record");
    }
    return true;
  }

  bool ReadZip64EndRecord(std::uint64_t locator) {
    const std::uint64_t record = ReadLe64(data_ + locator + 8);
    if (!Fits(record, 56) || record + 56 > locator ||
        !SignatureAt(record, kZip64EndRecordSignature)) {
      return Fatal("the Zip64 end record lies outside the archive or is damaged");
    }
    const unsigned char* p = data_ + record;
    const std::uint64_t count = ReadLe64(p + 32);
    if (count > 0xFFFFFFFFull) {
      return Fatal("implausible Zip64 entry count");
    }
    entryCount_ = count;
    directorySize_ = ReadLe64(p + 40);
    directoryOffset_ = ReadLe64(p + 48);
    directoryEnd_ = record;
    return true;
  }

  bool ReadCentralDirectory() {
    std::uint64_t at = directoryOffset_;
    const std::uint64_t end = directoryOffset_ + directorySize_;
    while (at < end) {
      if (!Fits(at, kCentralRecordSize) || at + kCentralRecordSize > end ||
          ReadLe32(data_ + at) != kCentralRecordSignature) {
        return Fatal("damaged central-directory record at offset " + std::to_string(at));
      }
      const unsigned char* p = data_ + at;
      ListedEntry entry;
      CentralExtras extras;
      entry.versionMadeBy = ReadLe16(p + 4);
      entry.versionNeeded = ReadLe16(p + 6);
      entry.flags = ReadLe16(p + 8);
      entry.method = ReadLe16(p + 10);
      entry.stamp.time = ReadLe16(p + 12);
      entry.stamp.date = ReadLe16(p + 14);
      entry.crc32 = ReadLe32(p + 16);
      entry.compressedSize = ReadLe32(p + 20);
      entry.uncompressedSize = ReadLe32(p + 24);
      const std::uint16_t nameLength = ReadLe16(p + 28);
      extras.extraLength = ReadLe16(p + 30);
      extras.commentLength = ReadLe16(p + 32);
      extras.diskStart = ReadLe16(p + 34);
      extras.internalAttributes = ReadLe16(p + 36);
      entry.externalAttributes = ReadLe32(p + 38);
      entry.localHeaderOffset = ReadLe32(p + 42);
      const std::uint64_t total = std::uint64_t{kCentralRecordSize} + nameLength +
                                  extras.extraLength + extras.commentLength;
      if (at + total > end) {
        return Fatal("central-directory record at offset " + std::to_string(at) +
                     " runs past the directory");
      }
      entry.name.assign(reinterpret_cast<const char*>(p + kCentralRecordSize), nameLength);
      if (!ApplyZip64Extra(p + kCentralRecordSize + nameLength, extras.extraLength, entry)) {
        return false;
      }
      report_.entries.push_back(entry);
      centralExtras_.push_back(extras);
      at += total;
    }
    if (report_.entries.size() != entryCount_) {
      Break("layout", "the end record counts " + std::to_string(entryCount_) +
                          " entries, the central directory holds " +
                          std::to_string(report_.entries.size()));
    }
    return true;
  }

  // Archives from other tools may use Zip64; applying its values lets them
  // still be listed and checked.
  bool ApplyZip64Extra(const unsigned char* extra, std::uint16_t length, ListedEntry& entry) {
    std::uint16_t at = 0;
    while (at + 4u <= length) {
      const std::uint16_t id = ReadLe16(extra + at);
      const std::uint16_t size = ReadLe16(extra + at + 2);
      if (at + 4u + size > length) {
        break;
      }
      if (id == kZip64ExtraId) {
        const unsigned char* field = extra + at + 4;
        std::uint16_t used = 0;
        const auto take = [&](std::uint64_t& value) {
          if (value == 0xFFFFFFFF && used + 8u <= size) {
            value = ReadLe64(field + used);
            used = static_cast<std::uint16_t>(used + 8);
          }
        };
        take(entry.uncompressedSize);
        take(entry.compressedSize);
        take(entry.localHeaderOffset);
        zip64Entries_.insert(report_.entries.size());
      }
      at = static_cast<std::uint16_t>(at + 4 + size);
    }
    return true;
  }

  void CheckEntries() {
    std::uint64_t expectedOffset = 0;
    for (std::size_t i = 0; i < report_.entries.size(); ++i) {
      const ListedEntry& entry = report_.entries[i];
      const std::string who = "entry " + Quoted(entry.name);
      CheckCentralFields(entry, centralExtras_[i], who);
      if (zip64Entries_.count(i) != 0) {
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
      if (!CheckLocalHeader(entry, who, dataEnd)) {
        expectedOffset = entry.localHeaderOffset;
        continue;
      }
      expectedOffset = dataEnd;
      if ((entry.flags & kFlagDataDescriptor) != 0) {
        expectedOffset += DataDescriptorLength(dataEnd);
      }
    }
    if (!report_.entries.empty() && expectedOffset != directoryOffset_) {
      Break("layout", "the central directory does not start right after the last entry's data");
    } else if (report_.entries.empty() && directoryOffset_ != 0) {
      Break("layout", "bytes before the central directory of an empty archive");
    }
  }

  std::uint64_t DataDescriptorLength(std::uint64_t at) const {
    const std::uint64_t base = SignatureAt(at, kDataDescriptorSignature) ? 4 : 0;
    return base + 12;
  }

  void CheckCentralFields(const ListedEntry& entry, const CentralExtras& extras,
                          const std::string& who) {
    const bool folder = !entry.name.empty() && entry.name.back() == '/';
    if (entry.versionMadeBy != kVersionMadeBy) {
      Break("version made by", who + ": " + Hex(entry.versionMadeBy) + " instead of 0x003F");
    }
    if (extras.extraLength != 0) {
      Break("extra field",
            who + ": central extra field of " + std::to_string(extras.extraLength) + " bytes");
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
    if ((entry.flags & (kFlagEncrypted | 0x0040)) != 0) {
      Break("flags", who + ": encrypted");
    }
    if ((entry.flags & kFlagDataDescriptor) != 0) {
      Break("data descriptor", who + ": sizes and CRC follow the data (flag bit 3)");
    }
    const std::uint16_t expectedUtf8 = IsAscii(entry.name) ? 0 : kFlagUtf8Name;
    if ((entry.flags & kFlagUtf8Name) != expectedUtf8) {
      Break("flags", who + (expectedUtf8 != 0 ? ": non-ASCII name without the UTF-8 flag (bit 11)"
                                              : ": UTF-8 flag (bit 11) on an ASCII name"));
    }
    const std::uint16_t otherFlags = static_cast<std::uint16_t>(
        entry.flags & ~(kFlagEncrypted | 0x0040 | kFlagDataDescriptor | kFlagUtf8Name));
    if (otherFlags != 0) {
      Break("flags", who + ": flags " + Hex(otherFlags) + " set");
    }
    if (!IsValidDosStamp(entry.stamp)) {
      Break("date", who + ": invalid MS-DOS date or time");
    }
    if (folder) {
      if (entry.externalAttributes != kAttributeFolder) {
        Break("external attributes",
              who + ": " + Hex(entry.externalAttributes) + " instead of 0x10 for a folder");
      }
      if (entry.method != kMethodStored) {
        Break("method", who + ": a folder entry must be stored");
      }
      if (entry.compressedSize != 0 || entry.uncompressedSize != 0 || entry.crc32 != 0) {
        Break("folder entry", who + ": non-zero sizes or CRC");
      }
      if (entry.versionNeeded != kVersionNeededFolder) {
        Break("version needed",
              who + ": " + std::to_string(entry.versionNeeded) + " instead of 20 for a folder");
      }
      return;
    }
    if (entry.externalAttributes != kAttributeFile) {
      Break("external attributes",
            who + ": " + Hex(entry.externalAttributes) + " instead of 0x20 for a file");
    }
    if (entry.method == kMethodDeflate) {
      if (entry.versionNeeded != kVersionNeededDeflate) {
        Break("version needed", who + ": " + std::to_string(entry.versionNeeded) +
                                    " instead of 20 for a deflated file");
      }
      if (entry.compressedSize >= entry.uncompressedSize) {
        Break("method", who + ": deflated although that does not make it smaller");
      }
    } else if (entry.method == kMethodStored) {
      if (entry.versionNeeded != kVersionNeededStored) {
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
  bool CheckLocalHeader(const ListedEntry& entry, const std::string& who, std::uint64_t& dataEnd) {
    const std::uint64_t at = entry.localHeaderOffset;
    if (!Fits(at, kLocalHeaderSize) || ReadLe32(data_ + at) != kLocalHeaderSignature) {
      Break("local header", who + ": no local header at offset " + std::to_string(at));
      return false;
    }
    const unsigned char* p = data_ + at;
    const std::uint16_t nameLength = ReadLe16(p + 26);
    const std::uint16_t extraLength = ReadLe16(p + 28);
    const std::uint64_t dataStart = at + kLocalHeaderSize + nameLength + extraLength;
    if (!Fits(at, dataStart - at) || !Fits(dataStart, entry.compressedSize) ||
        dataStart + entry.compressedSize > directoryOffset_) {
      Break("local header", who + ": header or data runs past the entries' area");
      return false;
    }
    if (extraLength != 0) {
      Break("extra field",
            who + ": local extra field of " + std::to_string(extraLength) + " bytes");
    }
    const std::string localName(reinterpret_cast<const char*>(p + kLocalHeaderSize), nameLength);
    const bool descriptor = (ReadLe16(p + 6) & kFlagDataDescriptor) != 0;
    const std::uint32_t localCompressed = ReadLe32(p + 18);
    const std::uint32_t localUncompressed = ReadLe32(p + 22);
    const bool sizesAgree =
        (localCompressed == entry.compressedSize || localCompressed == 0xFFFFFFFF) &&
        (localUncompressed == entry.uncompressedSize || localUncompressed == 0xFFFFFFFF);
    const bool agree = localName == entry.name && ReadLe16(p + 4) == entry.versionNeeded &&
                       ReadLe16(p + 6) == entry.flags && ReadLe16(p + 8) == entry.method &&
                       ReadLe16(p + 10) == entry.stamp.time &&
                       ReadLe16(p + 12) == entry.stamp.date &&
                       (descriptor || (ReadLe32(p + 14) == entry.crc32 && sizesAgree));
    if (!agree) {
      Break("local header", who + ": local header disagrees with the central record");
    }
    if (localCompressed == 0xFFFFFFFF || localUncompressed == 0xFFFFFFFF) {
      Break("zip64", who + ": Zip64 sizes in the local header");
    }
    dataEnd = dataStart + entry.compressedSize;
    if (options_.checkData && (entry.method == kMethodStored || entry.method == kMethodDeflate) &&
        (entry.flags & (kFlagEncrypted | 0x0040)) == 0) {
      CheckData(entry, who, data_ + dataStart);
    }
    return true;
  }

  void CheckData(const ListedEntry& entry, const std::string& who, const unsigned char* start) {
    std::uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    if (entry.method == kMethodStored) {
      for (std::uint64_t done = 0; done < entry.compressedSize;) {
        const uInt step =
            static_cast<uInt>(std::min<std::uint64_t>(entry.compressedSize - done, 1u << 30));
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
    if (inflateInit2(&stream, -15) != Z_OK) {
      return false;
    }
    std::vector<unsigned char> buffer(256 * 1024);
    std::uint64_t consumed = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
      if (stream.avail_in == 0) {
        const std::uint64_t step = std::min<std::uint64_t>(length - consumed, 1u << 30);
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
  std::uint64_t endOffset_ = 0;
  std::uint64_t entryCount_ = 0;
  std::uint64_t directorySize_ = 0;
  std::uint64_t directoryOffset_ = 0;
  std::uint64_t directoryEnd_ = 0;
  std::vector<CentralExtras> centralExtras_;
  std::set<std::size_t> zip64Entries_;
  std::set<std::string> names_;
};

std::string MethodName(std::uint16_t method) {
  switch (method) {
    case kMethodStored:
      return "stored";
    case kMethodDeflate:
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
    const CivilTime t = CivilFromDosStamp(entry.stamp);
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

void PrintBreaks(const ArchiveReport& report, std::ostream& out, std::size_t perRule) {
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

}  // namespace pack
