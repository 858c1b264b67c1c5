// The fixed layout of the archives the packer writes: record signatures and
// sizes, field values, MS-DOS time stamps, and little-endian encoding.
#ifndef PACK_ZIP_FORMAT_H
#define PACK_ZIP_FORMAT_H

#include <cstdint>
#include <string>

namespace pack {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralRecordSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074b50;

constexpr std::uint32_t kLocalHeaderSize = 30;    // without name and extra field
constexpr std::uint32_t kCentralRecordSize = 46;  // without name, extra field, comment
constexpr std::uint32_t kEndRecordSize = 22;      // without comment
constexpr std::uint32_t kZip64LocatorSize = 20;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

/// "Made by" version 6.3 on host 0 (MS-DOS attribute compatibility).
constexpr std::uint16_t kVersionMadeBy = 0x003F;
constexpr std::uint16_t kVersionNeededStored = 10;
constexpr std::uint16_t kVersionNeededDeflate = 20;
constexpr std::uint16_t kVersionNeededFolder = 20;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;

constexpr std::uint32_t kAttributeFolder = 0x10;
constexpr std::uint32_t kAttributeFile = 0x20;

/// The largest archive (in bytes, exclusive) that needs no Zip64 records.
constexpr std::uint64_t kArchiveSizeLimit = std::uint64_t{1} << 32;
/// The most entries an end-of-central-directory record can count.
constexpr std::uint64_t kMaxEntries = 0xFFFF;
/// The longest name a header can hold.
constexpr std::uint64_t kMaxNameLength = 0xFFFF;

/// A broken-down local time (year in full, month 1-12, day 1-31, hour 0-23,
/// minute 0-59, second 0-60).
struct CivilTime {
  int year = 1980;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

/// An MS-DOS date and time as stored in ZIP headers.
struct DosStamp {
  std::uint16_t date = 0;
  std::uint16_t time = 0;
};

/// Encodes `civil` as an MS-DOS stamp (two-second resolution, seconds rounded
/// down). Times before 1980-01-01 00:00:00 become that instant; times after
/// 2107-12-31 23:59:58 become that instant. Fields out of range within a year
/// in range are clamped to their limits.
DosStamp DosStampFromCivil(const CivilTime& civil);

/// Decodes an MS-DOS stamp into its fields, without any validation.
CivilTime CivilFromDosStamp(DosStamp stamp);

/// True when `stamp` names a real calendar date and time of day (month 1-12,
/// a day that exists in that month, hour < 24, minute < 60, second < 60).
bool IsValidDosStamp(DosStamp stamp);

/// The values of one entry's headers. The local header and the central record
/// are built from the same values, so they always agree.
struct EntryHeader {
  std::string name;
  std::uint16_t versionNeeded = kVersionNeededStored;
  std::uint16_t flags = 0;
  std::uint16_t method = kMethodStored;
  DosStamp stamp;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t externalAttributes = kAttributeFile;
  std::uint32_t localHeaderOffset = 0;  // used by the central record only
};

/// Appends the local header for `header` (30 bytes plus the name, no extra
/// field) to `out`.
void AppendLocalHeader(std::string& out, const EntryHeader& header);

/// Appends the central-directory record for `header` (46 bytes plus the name;
/// no extra field, no comment; made by kVersionMadeBy) to `out`.
void AppendCentralRecord(std::string& out, const EntryHeader& header);

/// Appends an end-of-central-directory record without comment for a
/// single-disk archive of `entries` entries to `out`.
void AppendEndRecord(std::string& out, std::uint16_t entries, std::uint32_t directorySize,
                     std::uint32_t directoryOffset);

/// Reads a little-endian 16-bit value from the two bytes at `p`.
inline std::uint16_t ReadLe16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

/// Reads a little-endian 32-bit value from the four bytes at `p`.
inline std::uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

/// Reads a little-endian 64-bit value from the eight bytes at `p`.
inline std::uint64_t ReadLe64(const unsigned char* p) {
  return static_cast<std::uint64_t>(ReadLe32(p)) |
         (static_cast<std::uint64_t>(ReadLe32(p + 4)) << 32);
}

/// Appends `value` to `out` as two little-endian bytes.
void AppendLe16(std::string& out, std::uint16_t value);

/// Appends `value` to `out` as four little-endian bytes.
void AppendLe32(std::string& out, std::uint32_t value);

}  // namespace pack

#endif  // PACK_ZIP_FORMAT_H
