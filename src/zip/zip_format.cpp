#include "zip/zip_format.h"

#include <algorithm>
#include <utility>

namespace zip {
namespace {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) {
    return 29;
  }
  return kDays[month - 1];
}

std::string_view ViewAt(const unsigned char* p, std::uint64_t length) {
  return std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
}

void AppendView(std::string& out, std::string_view bytes) {
  out.append(bytes.data(), bytes.size());
}

std::uint16_t Length16(std::string_view bytes) {
  return static_cast<std::uint16_t>(bytes.size());
}

// The fixed part must fit and start with `signature`.
bool FixedPartFits(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                   std::uint64_t fixedSize, std::uint32_t signature) {
  return RangeFits(offset, fixedSize, limit) && LoadLe32(data + offset) == signature;
}

}  // namespace

void AppendLe16(std::string& out, std::uint16_t value) {
  unsigned char bytes[2];
  StoreLe16(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void AppendLe32(std::string& out, std::uint32_t value) {
  unsigned char bytes[4];
  StoreLe32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void AppendLe64(std::string& out, std::uint64_t value) {
  unsigned char bytes[8];
  StoreLe64(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

DosStamp DosStampFromCivil(const CivilTime& civil) {
  CivilTime c = civil;
  if (c.year < 1980) {
    c = CivilTime{1980, 1, 1, 0, 0, 0};
  } else if (c.year > 2107) {
    c = CivilTime{2107, 12, 31, 23, 59, 58};
  }
  c.month = std::clamp(c.month, 1, 12);
  c.day = std::clamp(c.day, 1, DaysInMonth(c.year, c.month));
  c.hour = std::clamp(c.hour, 0, 23);
  c.minute = std::clamp(c.minute, 0, 59);
  // A leap second (60) still has to fit the 0..58 range of two-second steps.
  c.second = std::clamp(c.second, 0, 59);
  DosStamp stamp;
  stamp.date = static_cast<std::uint16_t>(((c.year - 1980) << 9) | (c.month << 5) | c.day);
  stamp.time = static_cast<std::uint16_t>((c.hour << 11) | (c.minute << 5) | (c.second / 2));
  return stamp;
}

CivilTime CivilFromDosStamp(DosStamp stamp) {
  CivilTime c;
  c.year = 1980 + (stamp.date >> 9);
  c.month = (stamp.date >> 5) & 0x0F;
  c.day = stamp.date & 0x1F;
  c.hour = stamp.time >> 11;
  c.minute = (stamp.time >> 5) & 0x3F;
  c.second = (stamp.time & 0x1F) * 2;
  return c;
}

bool IsValidDosStamp(DosStamp stamp) {
  const CivilTime c = CivilFromDosStamp(stamp);
  return c.month >= 1 && c.month <= 12 && c.day >= 1 && c.day <= DaysInMonth(c.year, c.month) &&
         c.hour < 24 && c.minute < 60 && c.second < 60;
}

std::uint64_t RecordLength(const LocalHeader& header) {
  return kLocalHeaderSize + header.name.size() + header.extra.size();
}

std::uint64_t RecordLength(const CentralRecord& record) {
  return kCentralRecordSize + record.name.size() + record.extra.size() + record.comment.size();
}

std::uint64_t RecordLength(const EndRecord& record) {
  return kEndRecordSize + record.comment.size();
}

bool ParseLocalHeader(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                      LocalHeader& header) {
  namespace f = local_header_field;
  if (!FixedPartFits(data, limit, offset, kLocalHeaderSize, kLocalHeaderSignature)) {
    return false;
  }
  const unsigned char* p = data + offset;
  const std::uint64_t nameLength = LoadLe16(p + f::kNameLength);
  const std::uint64_t extraLength = LoadLe16(p + f::kExtraLength);
  if (!RangeFits(offset + kLocalHeaderSize, nameLength + extraLength, limit)) {
    return false;
  }
  header.versionNeeded = LoadLe16(p + f::kVersionNeeded);
  header.flags = LoadLe16(p + f::kFlags);
  header.method = LoadLe16(p + f::kMethod);
  header.dosTime = LoadLe16(p + f::kDosTime);
  header.dosDate = LoadLe16(p + f::kDosDate);
  header.crc32 = LoadLe32(p + f::kCrc32);
  header.compressedSize = LoadLe32(p + f::kCompressedSize);
  header.uncompressedSize = LoadLe32(p + f::kUncompressedSize);
  header.name = ViewAt(p + kLocalHeaderSize, nameLength);
  header.extra = ViewAt(p + kLocalHeaderSize + nameLength, extraLength);
  return true;
}

bool ParseCentralRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                        CentralRecord& record) {
  namespace f = central_record_field;
  if (!FixedPartFits(data, limit, offset, kCentralRecordSize, kCentralRecordSignature)) {
    return false;
  }
  const unsigned char* p = data + offset;
  const std::uint64_t nameLength = LoadLe16(p + f::kNameLength);
  const std::uint64_t extraLength = LoadLe16(p + f::kExtraLength);
  const std::uint64_t commentLength = LoadLe16(p + f::kCommentLength);
  if (!RangeFits(offset + kCentralRecordSize, nameLength + extraLength + commentLength, limit)) {
    return false;
  }
  record.versionMadeBy = LoadLe16(p + f::kVersionMadeBy);
  record.versionNeeded = LoadLe16(p + f::kVersionNeeded);
  record.flags = LoadLe16(p + f::kFlags);
  record.method = LoadLe16(p + f::kMethod);
  record.dosTime = LoadLe16(p + f::kDosTime);
  record.dosDate = LoadLe16(p + f::kDosDate);
  record.crc32 = LoadLe32(p + f::kCrc32);
  record.compressedSize = LoadLe32(p + f::kCompressedSize);
  record.uncompressedSize = LoadLe32(p + f::kUncompressedSize);
  record.diskStart = LoadLe16(p + f::kDiskStart);
  record.internalAttributes = LoadLe16(p + f::kInternalAttributes);
  record.externalAttributes = LoadLe32(p + f::kExternalAttributes);
  record.localHeaderOffset = LoadLe32(p + f::kLocalHeaderOffset);
  const unsigned char* variable = p + kCentralRecordSize;
  record.name = ViewAt(variable, nameLength);
  record.extra = ViewAt(variable + nameLength, extraLength);
  record.comment = ViewAt(variable + nameLength + extraLength, commentLength);
  return true;
}

bool ParseEndRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                    EndRecord& record) {
  namespace f = end_record_field;
  if (!FixedPartFits(data, limit, offset, kEndRecordSize, kEndRecordSignature)) {
    return false;
  }
  const unsigned char* p = data + offset;
  const std::uint64_t commentLength = LoadLe16(p + f::kCommentLength);
  if (!RangeFits(offset + kEndRecordSize, commentLength, limit)) {
    return false;
  }
  record.diskNumber = LoadLe16(p + f::kDiskNumber);
  record.directoryDisk = LoadLe16(p + f::kDirectoryDisk);
  record.entriesOnDisk = LoadLe16(p + f::kEntriesOnDisk);
  record.entryCount = LoadLe16(p + f::kEntryCount);
  record.directorySize = LoadLe32(p + f::kDirectorySize);
  record.directoryOffset = LoadLe32(p + f::kDirectoryOffset);
  record.comment = ViewAt(p + kEndRecordSize, commentLength);
  return true;
}

bool ParseZip64EndRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                         Zip64EndRecord& record) {
  namespace f = zip64_end_record_field;
  if (!FixedPartFits(data, limit, offset, kZip64EndRecordSize, kZip64EndRecordSignature)) {
    return false;
  }
  const unsigned char* p = data + offset;
  const std::uint64_t recordSize = LoadLe64(p + f::kRecordSize);
  // Compared without adding to it: a size near 2^64 would wrap the sum.
  const std::uint64_t room = limit - offset - kZip64EndRecordLeadSize;
  if (recordSize < kZip64EndRecordSize - kZip64EndRecordLeadSize || recordSize > room) {
    return false;
  }
  record.recordSize = recordSize;
  record.versionMadeBy = LoadLe16(p + f::kVersionMadeBy);
  record.versionNeeded = LoadLe16(p + f::kVersionNeeded);
  record.diskNumber = LoadLe32(p + f::kDiskNumber);
  record.directoryDisk = LoadLe32(p + f::kDirectoryDisk);
  record.entriesOnDisk = LoadLe64(p + f::kEntriesOnDisk);
  record.entryCount = LoadLe64(p + f::kEntryCount);
  record.directorySize = LoadLe64(p + f::kDirectorySize);
  record.directoryOffset = LoadLe64(p + f::kDirectoryOffset);
  record.extensibleData =
      ViewAt(p + kZip64EndRecordSize, recordSize + kZip64EndRecordLeadSize - kZip64EndRecordSize);
  return true;
}

bool ParseZip64Locator(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                       Zip64Locator& locator) {
  namespace f = zip64_locator_field;
  if (!FixedPartFits(data, limit, offset, kZip64LocatorSize, kZip64LocatorSignature)) {
    return false;
  }
  const unsigned char* p = data + offset;
  locator.endRecordDisk = LoadLe32(p + f::kEndRecordDisk);
  locator.endRecordOffset = LoadLe64(p + f::kEndRecordOffset);
  locator.totalDisks = LoadLe32(p + f::kTotalDisks);
  return true;
}

// The append functions write the fields in their order in the record, which
// is the order of the *_field offsets.

void AppendLocalHeader(std::string& out, const LocalHeader& header) {
  AppendLe32(out, kLocalHeaderSignature);
  AppendLe16(out, header.versionNeeded);
  AppendLe16(out, header.flags);
  AppendLe16(out, header.method);
  AppendLe16(out, header.dosTime);
  AppendLe16(out, header.dosDate);
  AppendLe32(out, header.crc32);
  AppendLe32(out, header.compressedSize);
  AppendLe32(out, header.uncompressedSize);
  AppendLe16(out, Length16(header.name));
  AppendLe16(out, Length16(header.extra));
  AppendView(out, header.name);
  AppendView(out, header.extra);
}

void AppendCentralRecord(std::string& out, const CentralRecord& record) {
  AppendLe32(out, kCentralRecordSignature);
  AppendLe16(out, record.versionMadeBy);
  AppendLe16(out, record.versionNeeded);
  AppendLe16(out, record.flags);
  AppendLe16(out, record.method);
  AppendLe16(out, record.dosTime);
  AppendLe16(out, record.dosDate);
  AppendLe32(out, record.crc32);
  AppendLe32(out, record.compressedSize);
  AppendLe32(out, record.uncompressedSize);
  AppendLe16(out, Length16(record.name));
  AppendLe16(out, Length16(record.extra));
  AppendLe16(out, Length16(record.comment));
  AppendLe16(out, record.diskStart);
  AppendLe16(out, record.internalAttributes);
  AppendLe32(out, record.externalAttributes);
  AppendLe32(out, record.localHeaderOffset);
  AppendView(out, record.name);
  AppendView(out, record.extra);
  AppendView(out, record.comment);
}

void AppendEndRecord(std::string& out, const EndRecord& record) {
  AppendLe32(out, kEndRecordSignature);
  AppendLe16(out, record.diskNumber);
  AppendLe16(out, record.directoryDisk);
  AppendLe16(out, record.entriesOnDisk);
  AppendLe16(out, record.entryCount);
  AppendLe32(out, record.directorySize);
  AppendLe32(out, record.directoryOffset);
  AppendLe16(out, Length16(record.comment));
  AppendView(out, record.comment);
}

bool FindExtraField(std::string_view extra, std::uint16_t id, std::string_view& body) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(extra.data());
  std::uint64_t pos = 0;
  while (extra.size() - pos >= kExtraHeaderSize) {
    const std::uint16_t fieldId = LoadLe16(bytes + pos);
    const std::uint64_t length = LoadLe16(bytes + pos + 2);
    const std::uint64_t start = pos + kExtraHeaderSize;
    if (length > extra.size() - start) {
      return false;
    }
    if (fieldId == id) {
      body = extra.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
      return true;
    }
    pos = start + length;
  }
  return false;
}

void AppendExtraFieldHeader(std::string& out, std::uint16_t id, std::uint16_t dataLength) {
  AppendLe16(out, id);
  AppendLe16(out, dataLength);
}

bool ResolveZip64(const CentralRecord& record, EntryLocation& location) {
  location.compressedSize = record.compressedSize;
  location.uncompressedSize = record.uncompressedSize;
  location.localHeaderOffset = record.localHeaderOffset;
  location.diskStart = record.diskStart;
  const bool needUncompressed = record.uncompressedSize == kMarker32;
  const bool needCompressed = record.compressedSize == kMarker32;
  const bool needOffset = record.localHeaderOffset == kMarker32;
  const bool needDisk = record.diskStart == kMarker16;
  if (!needUncompressed && !needCompressed && !needOffset && !needDisk) {
    return true;
  }
  std::string_view body;
  if (!FindExtraField(record.extra, kExtraIdZip64, body)) {
    return false;
  }
  const std::size_t needed = (needUncompressed ? 8 : 0) + (needCompressed ? 8 : 0) +
                             (needOffset ? 8 : 0) + (needDisk ? 4 : 0);
  if (needed > body.size()) {
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(body.data());
  if (needUncompressed) {
    location.uncompressedSize = LoadLe64(p);
    p += 8;
  }
  if (needCompressed) {
    location.compressedSize = LoadLe64(p);
    p += 8;
  }
  if (needOffset) {
    location.localHeaderOffset = LoadLe64(p);
    p += 8;
  }
  if (needDisk) {
    location.diskStart = LoadLe32(p);
  }
  return true;
}

bool ParsePieceIndex(std::string_view body, PieceIndex& index) {
  if (body.size() < kPieceIndexFixedSize) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
  if (bytes[0] != kPieceIndexVersion) {
    return false;
  }
  const std::uint32_t pieceSize = LoadLe32(bytes + 1);
  const std::uint64_t count = LoadLe32(bytes + 5);
  // 64-bit arithmetic: a count near 2^32 cannot wrap the expected size.
  if (body.size() - kPieceIndexFixedSize != 4 * count) {
    return false;
  }
  std::vector<std::uint32_t> lengths(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    lengths[i] = LoadLe32(bytes + kPieceIndexFixedSize + 4 * i);
  }
  index.pieceSize = pieceSize;
  index.compressedLengths = std::move(lengths);
  return true;
}

bool AppendPieceIndex(std::string& out, const PieceIndex& index) {
  const std::uint64_t count = index.compressedLengths.size();
  if (count > kMaxIndexedPieces) {
    return false;
  }
  const std::uint64_t dataLength = kPieceIndexFixedSize + 4 * count;
  if (out.size() > kMaxFieldLength ||
      kExtraHeaderSize + dataLength > kMaxFieldLength - out.size()) {
    return false;
  }
  AppendExtraFieldHeader(out, kExtraIdPieceIndex, static_cast<std::uint16_t>(dataLength));
  out.push_back(static_cast<char>(kPieceIndexVersion));
  AppendLe32(out, index.pieceSize);
  AppendLe32(out, static_cast<std::uint32_t>(count));
  for (const std::uint32_t length : index.compressedLengths) {
    AppendLe32(out, length);
  }
  return true;
}

}  // namespace zip
