// The ZIP format in one place: signatures, sizes, the records' fields in order, flags, Zip64
// markers, extra fields, the MS-DOS stamp and the piece index. The reader, the packer, the test
// builder and the tools all parse and write records through this header.
#ifndef STARTER_ZIP_ZIP_FORMAT_H
#define STARTER_ZIP_ZIP_FORMAT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytes/bytes.h"

namespace zip {

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
/// A data descriptor: optional signature, CRC-32, both sizes (8 bytes: Zip64).
constexpr std::uint64_t kDataDescriptorSignatureSize = 4;
constexpr std::uint64_t kDataDescriptorSize = 12;      // without the signature, 4-byte sizes
constexpr std::uint64_t kZip64EndRecordLeadSize = 12;  // bytes its size field leaves out
constexpr std::uint64_t kMaxFieldLength = 0xFFFF;      // of a name, extra field or comment

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagPatchData = 0x0020;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;

constexpr std::uint16_t kVersionNeededStored = 10;
constexpr std::uint16_t kVersionNeededDeflate = 20;
constexpr std::uint16_t kVersionNeededFolder = 20;
constexpr std::uint16_t kVersionNeededZip64 = 45;

/// Hosts, in the high byte of "version made by".
constexpr unsigned kHostMsDos = 0;
constexpr unsigned kHostUnix = 3;
constexpr std::uint16_t kVersionMadeByMsDos63 = 0x003F;

/// MS-DOS attributes, in the external attributes' low byte.
constexpr std::uint32_t kDosAttributeDirectory = 0x10;
constexpr std::uint32_t kDosAttributeArchive = 0x20;

/// A field holding its marker defers to the Zip64 record or extra field.
constexpr std::uint32_t kMarker32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMarker16 = 0xFFFFu;

/// Extra-field IDs and header size. The piece index's ID collides with no writer PKWARE's or
/// Info-ZIP's lists know: none assign 0xa220 to 0xcafe.
constexpr std::uint16_t kExtraIdZip64 = 0x0001;
constexpr std::uint16_t kExtraIdExtendedTimestamp = 0x5455;  // Info-ZIP's
constexpr std::uint16_t kExtraIdPieceIndex = 0xBC01;
constexpr std::uint64_t kExtraHeaderSize = 4;

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

/// True when [offset, offset + length) lies within [0, limit); never wraps.
inline bool RangeFits(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

/// A broken-down local time (year in full, month and day from 1).
struct CivilTime {
  int year = 1980;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

struct DosStamp {
  std::uint16_t date = 0;
  std::uint16_t time = 0;
};

/// Encodes `civil` (seconds rounded down to even), clamped into 1980-01-01 00:00:00 .. 2107-12-31
/// 23:59:58 and each field into its range.
DosStamp DosStampFromCivil(const CivilTime& civil);

/// Decodes a stamp's fields, unvalidated.
CivilTime CivilFromDosStamp(DosStamp stamp);

/// True when `stamp` names a real date and time of day.
bool IsValidDosStamp(DosStamp stamp);

// Records hold their fields as stored; names, extra fields and comments are views: into the block
// after a parse, of the bytes to write for an append.

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

struct EndRecord {
  std::uint16_t diskNumber = 0;
  std::uint16_t directoryDisk = 0;
  std::uint16_t entriesOnDisk = 0;
  std::uint16_t entryCount = 0;
  std::uint32_t directorySize = 0;
  std::uint32_t directoryOffset = 0;
  std::string_view comment;
};

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

struct Zip64Locator {
  std::uint32_t endRecordDisk = 0;
  std::uint64_t endRecordOffset = 0;
  std::uint32_t totalDisks = 0;
};

/// Bytes a record takes in the archive, variable parts included.
std::uint64_t RecordLength(const LocalHeader& header);
std::uint64_t RecordLength(const CentralRecord& record);
std::uint64_t RecordLength(const EndRecord& record);

/// Parse the record at `offset` of the first `limit` bytes at `data`: true when its signature and
/// all its parts lie within the limit (a Zip64 end record's `recordSize` from 44); else false, the
/// record untouched.
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

/// Append the record as its fields stand, the lengths those of its views (at most kMaxFieldLength).
/// Zip64 records' writers are test support.
void AppendLocalHeader(std::string& out, const LocalHeader& header);
void AppendCentralRecord(std::string& out, const CentralRecord& record);
void AppendEndRecord(std::string& out, const EndRecord& record);

/// Sets `body` to the data of the first field `id` in `extra`; false, `body` untouched, when none
/// before a field running past the end (padding).
bool FindExtraField(std::string_view extra, std::uint16_t id, std::string_view& body);

/// Appends an extra field's header.
void AppendExtraFieldHeader(std::string& out, std::uint16_t id, std::uint16_t dataLength);

struct EntryLocation {
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
  std::uint32_t diskStart = 0;
};

/// Fills `location` from `record`, each marked field taking the Zip64 extra field's next value
/// (uncompressed, compressed size, offset: 8 bytes; disk: 4). False (`location` unspecified) when
/// that field is missing or short.
bool ResolveZip64(const CentralRecord& record, EntryLocation& location);

/// A stored deflate block: a header byte (final bit, block type 0 in the next two, five unused
/// bits), LEN and its complement NLEN, then LEN bytes. A sync flush ends with an empty one, ending
/// in kSyncFlushMarker.
constexpr unsigned char kStoredBlockHeader = 0x00;
constexpr unsigned char kDeflateFinalBit = 0x01;
constexpr unsigned char kDeflateBlockTypeBits = 0x06;
constexpr std::size_t kStoredBlockLengthOffset = 1;
constexpr std::size_t kStoredBlockComplementOffset = 3;
constexpr std::size_t kStoredBlockHeaderLength = 5;
constexpr std::size_t kMaxStoredBlockLength = 65535;
constexpr unsigned char kSyncFlushMarker[] = {0x00, 0x00, 0xFF, 0xFF};

/// Deflate data in pieces that decode alone yet form one ordinary stream: piece i holds bytes [i, i
/// + 1) * pieceSize (the last the rest) in compressedLengths[i] bytes, back to back, each but the
/// last ending after a sync flush without the final bit, none referring back before its start. In
/// the central extra field: a version byte, piece size and count, then each length (4 bytes each).
struct PieceIndex {
  std::uint32_t pieceSize = 0;
  std::vector<std::uint32_t> compressedLengths;
};

constexpr std::uint8_t kPieceIndexVersion = 1;
constexpr std::uint64_t kPieceIndexFixedSize = 9;  // version, piece size and count
/// The most pieces whose index field fits an extra-field area.
constexpr std::uint64_t kMaxIndexedPieces =
    (kMaxFieldLength - kExtraHeaderSize - kPieceIndexFixedSize) / 4;

/// Fills `index` from a field's `body` of this version with exactly as many lengths as its count
/// (zip_pieces.h checks the rest); else false, `index` untouched.
bool ParsePieceIndex(std::string_view body, PieceIndex& index);

/// Appends `index` as a whole field to the extra-field area `out`; false, nothing appended, when
/// `out` would exceed kMaxFieldLength.
bool AppendPieceIndex(std::string& out, const PieceIndex& index);

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_FORMAT_H
