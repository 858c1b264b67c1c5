// The ZIP format in one place: record signatures, fixed sizes, the records'
// fields in their order, flags, Zip64 markers, extra-field IDs,
// little-endian encoding and the MS-DOS date and time. The reader, the
// packer, the test builder and the tools all parse and write records through
// this header.
//
// Parsing never trusts a number from the block: every Parse* call checks that
// the record, with its variable parts, lies inside the limit it is given
// before it reads a byte of it. Appending writes the record as its fields
// stand; the lengths of the variable parts come from the views themselves.
#ifndef STARTER_ZIP_ZIP_FORMAT_H
#define STARTER_ZIP_ZIP_FORMAT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytes/bytes.h"

namespace zip {

// ---------------------------------------------------------------------------
// Constants

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralRecordSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074b50;

/// Fixed parts of the records, without names, extra fields and comments.
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kCentralRecordSize = 46;
constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kZip64EndRecordSize = 56;
constexpr std::uint64_t kZip64LocatorSize = 20;
/// A data descriptor after an entry's data: an optional signature, then the
/// CRC-32 and the two sizes (4 bytes each, 8 each for a Zip64 entry).
constexpr std::uint64_t kDataDescriptorSignatureSize = 4;
constexpr std::uint64_t kDataDescriptorSize = 12;  // without the signature, 4-byte sizes
/// The Zip64 end record's size field counts the bytes after its first 12.
constexpr std::uint64_t kZip64EndRecordLeadSize = 12;
/// The longest name, extra field or comment a 16-bit length can describe.
constexpr std::uint64_t kMaxFieldLength = 0xFFFF;

/// General-purpose bit flags.
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagPatchData = 0x0020;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

/// "Version needed to extract" values.
constexpr std::uint16_t kVersionNeededStored = 10;
constexpr std::uint16_t kVersionNeededDeflate = 20;
constexpr std::uint16_t kVersionNeededFolder = 20;
constexpr std::uint16_t kVersionNeededZip64 = 45;

/// Hosts, in the high byte of "version made by".
constexpr unsigned kHostMsDos = 0;
constexpr unsigned kHostUnix = 3;
/// "Made by" version 6.3 on host 0 (MS-DOS attribute compatibility).
constexpr std::uint16_t kVersionMadeByMsDos63 = 0x003F;

/// MS-DOS attribute bits, in the low byte of the external attributes.
constexpr std::uint32_t kDosAttributeDirectory = 0x10;
constexpr std::uint32_t kDosAttributeArchive = 0x20;

/// A 32-bit (16-bit) field holding this value defers to the Zip64 record or
/// extra field.
constexpr std::uint32_t kMarker32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMarker16 = 0xFFFFu;

/// Extra-field header IDs, and the size of an extra field's own header.
constexpr std::uint16_t kExtraIdZip64 = 0x0001;
/// Info-ZIP's extended timestamp: a flags byte, then up to three Unix times.
constexpr std::uint16_t kExtraIdExtendedTimestamp = 0x5455;
/// The packer's piece index (see PieceIndex): PKWARE's and Info-ZIP's lists
/// assign nothing between 0xa220 and 0xcafe, so this ID collides with no
/// writer either list knows.
constexpr std::uint16_t kExtraIdPieceIndex = 0xBC01;
constexpr std::uint64_t kExtraHeaderSize = 4;

// ---------------------------------------------------------------------------
// Little-endian values and ranges

using bytes::LoadLe16;
using bytes::LoadLe32;
using bytes::LoadLe64;
using bytes::StoreLe16;
using bytes::StoreLe32;
using bytes::StoreLe64;

/// Append `value` to `out` as 2, 4 or 8 little-endian bytes.
void AppendLe16(std::string& out, std::uint16_t value);
void AppendLe32(std::string& out, std::uint32_t value);
void AppendLe64(std::string& out, std::uint64_t value);

/// True when [offset, offset + length) lies within [0, limit); the sum is
/// never formed, so it cannot wrap.
inline bool RangeFits(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

// ---------------------------------------------------------------------------
// MS-DOS date and time

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

// ---------------------------------------------------------------------------
// Records
//
// Each record holds its fields as stored. Names, extra fields and comments are
// views: after a parse they point into the parsed block (valid while it is);
// for an append they name the bytes to write.

/// A local file header.
struct LocalHeader {
  std::uint16_t versionNeeded = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;    // kMarker32 defers to the Zip64 extra field
  std::uint32_t uncompressedSize = 0;  // kMarker32 defers to the Zip64 extra field
  std::string_view name;
  std::string_view extra;
};

/// A central-directory record.
struct CentralRecord {
  std::uint16_t versionMadeBy = 0;  // host in the high byte, version in the low
  std::uint16_t versionNeeded = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;    // kMarker32 defers to the Zip64 extra field
  std::uint32_t uncompressedSize = 0;  // kMarker32 defers to the Zip64 extra field
  std::uint16_t diskStart = 0;         // kMarker16 defers to the Zip64 extra field
  std::uint16_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;  // host-specific; low byte MS-DOS attributes
  std::uint32_t localHeaderOffset = 0;   // kMarker32 defers to the Zip64 extra field
  std::string_view name;
  std::string_view extra;
  std::string_view comment;
};

/// The end-of-central-directory record.
struct EndRecord {
  std::uint16_t diskNumber = 0;
  std::uint16_t directoryDisk = 0;
  std::uint16_t entriesOnDisk = 0;
  std::uint16_t entryCount = 0;
  std::uint32_t directorySize = 0;
  std::uint32_t directoryOffset = 0;
  std::string_view comment;
};

/// The Zip64 end-of-central-directory record.
struct Zip64EndRecord {
  std::uint64_t recordSize = 0;  // bytes after the first 12; 44 + extensible data
  std::uint16_t versionMadeBy = 0;
  std::uint16_t versionNeeded = 0;
  std::uint32_t diskNumber = 0;
  std::uint32_t directoryDisk = 0;
  std::uint64_t entriesOnDisk = 0;
  std::uint64_t entryCount = 0;
  std::uint64_t directorySize = 0;
  std::uint64_t directoryOffset = 0;
  std::string_view extensibleData;
};

/// The Zip64 end-of-central-directory locator.
struct Zip64Locator {
  std::uint32_t endRecordDisk = 0;
  std::uint64_t endRecordOffset = 0;
  std::uint32_t totalDisks = 0;
};

/// Bytes a record takes in the archive, variable parts included.
std::uint64_t RecordLength(const LocalHeader& header);
std::uint64_t RecordLength(const CentralRecord& record);
std::uint64_t RecordLength(const EndRecord& record);

/// Parse the record that starts at `offset` in the first `limit` bytes at
/// `data` (a limit below the block's end bounds the record, e.g. by the
/// central directory). Success: returns true when the fixed part, with the
/// record's signature, and every variable part lie within [0, limit); the
/// record is filled. Failure: returns false and leaves the record as it was.
/// The Zip64 end record also requires `recordSize` >= 44; its extensible data
/// is the bytes its size counts beyond the fixed part.
bool ParseLocalHeader(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                      LocalHeader& header);
bool ParseCentralRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                        CentralRecord& record);
bool ParseEndRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                    EndRecord& record);
bool ParseZip64EndRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                         Zip64EndRecord& record);
bool ParseZip64Locator(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                       Zip64Locator& locator);

/// Append the record to `out`, each field as it stands. The length fields
/// are the sizes of the views, which must be at most kMaxFieldLength. (The
/// packer writes no Zip64 records: their writers are test support.)
void AppendLocalHeader(std::string& out, const LocalHeader& header);
void AppendCentralRecord(std::string& out, const CentralRecord& record);
void AppendEndRecord(std::string& out, const EndRecord& record);

// ---------------------------------------------------------------------------
// Extra fields

/// Finds the first field with header `id` in the extra-field bytes `extra`.
/// The walk stops at a header whose length runs past the end (some writers
/// pad the area); such a tail holds no field. Returns true and sets `body` to
/// the field's data when found; otherwise returns false and leaves `body`.
bool FindExtraField(std::string_view extra, std::uint16_t id, std::string_view& body);

/// Appends an extra field's 4-byte header (ID and data length) to `out`.
void AppendExtraFieldHeader(std::string& out, std::uint16_t id, std::uint16_t dataLength);

/// An entry's sizes, offset and starting disk in 64 bits.
struct EntryLocation {
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
  std::uint32_t diskStart = 0;
};

/// Resolves `record`'s sizes, local header offset and disk: each field that
/// holds its marker is replaced by the next value of the Zip64 extended
/// information field, in the format's fixed order (uncompressed size,
/// compressed size, offset: 8 bytes each; disk: 4 bytes). Returns false when a
/// marked value has no Zip64 field, or the field is too short for the marked
/// values; `location` is then unspecified. Without markers the extra field is
/// not looked at.
bool ResolveZip64(const CentralRecord& record, EntryLocation& location);

// ---------------------------------------------------------------------------
// The piece index

/// A stored deflate block: a header byte (the final bit, then block type 0 in
/// the next two bits, five unused bits that every decoder skips), LEN and
/// NLEN (LEN's ones' complement) little-endian, then the LEN bytes. A sync
/// flush ends with an empty one, whose last four bytes are kSyncFlushMarker.
constexpr unsigned char kStoredBlockHeader = 0x00;
constexpr unsigned char kDeflateFinalBit = 0x01;
constexpr unsigned char kDeflateBlockTypeBits = 0x06;
constexpr std::size_t kStoredBlockLengthOffset = 1;
constexpr std::size_t kStoredBlockComplementOffset = 3;
constexpr std::size_t kStoredBlockHeaderLength = 5;
constexpr std::size_t kMaxStoredBlockLength = 65535;
constexpr unsigned char kSyncFlushMarker[] = {0x00, 0x00, 0xFF, 0xFF};

/// How an entry's deflate data divides into pieces that decode on their own:
/// piece i holds the uncompressed bytes [i * pieceSize, (i + 1) * pieceSize)
/// (the last one the rest) in compressedLengths[i] bytes, the pieces back to
/// back from the start of the data. Every piece but the last ends on a byte
/// boundary after a sync flush, without the final-block bit, and none refers
/// back to bytes before its start, so the concatenation is one deflate stream
/// that any reader inflates as usual. Kept in the central record's extra
/// field only. Stored little-endian: a version byte, the piece size and the
/// piece count (4 bytes each), then one 4-byte compressed length per piece.
struct PieceIndex {
  std::uint32_t pieceSize = 0;
  std::vector<std::uint32_t> compressedLengths;
};

/// The version of the piece index this module reads and writes.
constexpr std::uint8_t kPieceIndexVersion = 1;
/// The index's data before the lengths: version, piece size, piece count.
constexpr std::uint64_t kPieceIndexFixedSize = 9;
/// The most pieces one index can list: its field, header included, then fills
/// the 16-bit length of an extra-field area on its own.
constexpr std::uint64_t kMaxIndexedPieces =
    (kMaxFieldLength - kExtraHeaderSize - kPieceIndexFixedSize) / 4;

/// Reads a piece index's data (`body` as FindExtraField gives it). Returns
/// true when the version is kPieceIndexVersion and `body` holds exactly the
/// fixed part and as many lengths as its count says; `index` is then filled
/// with the values as stored (their meaning is not checked: see
/// zip_pieces.h). Otherwise returns false and leaves `index` as it was.
bool ParsePieceIndex(std::string_view body, PieceIndex& index);

/// Appends `index` as a complete extra field (header and data) to `out`, an
/// extra-field area being built. Returns false and appends nothing when
/// `out` would then be longer than kMaxFieldLength bytes.
bool AppendPieceIndex(std::string& out, const PieceIndex& index);

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_FORMAT_H
