// Test support: builds ZIP archives in memory, field by field, so tests can
// make exactly the archive they need: a valid one, or one with a single field
// corrupted.
//
// The records are zip/zip_format.h's, appended by its Append* calls. Every
// header field is computed from the entries unless an override is set;
// overrides (std::optional members) replace one field in one structure and
// nothing else. Lengths and offsets written elsewhere are still computed from
// what is actually written, so overriding a length field produces a header
// that disagrees with the bytes that follow it.
//
// Example:
//   testing_support::ZipBuilder builder;
//   builder.AddDeflated("dir/file.txt", "hello");
//   auto& bad = builder.AddStored("bad.bin", "data");
//   bad.local.signature = 0x12345678;  // corrupt only that local header
//   testing_support::ZipLayout layout;
//   const std::string archive = builder.Build(&layout);
#ifndef STARTER_TESTING_ZIP_BUILDER_H
#define STARTER_TESTING_ZIP_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "zip/zip_format.h"

namespace testing_support {

/// Packs a time of day the MS-DOS way (seconds in units of two), as
/// zip::DosStampFromCivil does.
std::uint16_t DosTime(int hour, int minute, int second);
/// Packs a date the MS-DOS way (years from 1980), as zip::DosStampFromCivil
/// does.
std::uint16_t DosDate(int year, int month, int day);

/// Compresses `data` to a raw deflate stream (no zlib or gzip wrapper) at the
/// zlib `level` (0-9, or -1 for zlib's default). Aborts the test binary when
/// zlib fails, which it does not for valid input.
std::string DeflateRaw(const std::string& data, int level = -1);

/// Compresses `data` as a raw deflate stream in pieces of `pieceSize` bytes
/// (the last one the rest), each piece from a fresh stream without history,
/// every piece but the last ended with a sync flush, as the packer does; the
/// compressed length of each piece goes to `lengths`. With `dictionary` set,
/// each piece after the first is compressed against the 32 KiB before it
/// instead, so its matches may reach into the previous piece. Aborts the test
/// binary when zlib fails.
std::string DeflatePieces(const std::string& data, std::size_t pieceSize, int level,
                          std::vector<std::uint32_t>& lengths, bool dictionary = false);

/// A complete piece-index extra field (header and data, zip::AppendPieceIndex)
/// for `pieceSize` and `lengths`, written as given.
std::string PieceIndexField(std::uint32_t pieceSize, const std::vector<std::uint32_t>& lengths);

/// A raw deflate stream written bit by bit (least significant bit first, as
/// deflate packs its bits), for streams whose blocks end exactly where a test
/// needs them to: at any bit of a byte, or inside what follows.
class DeflateBitWriter {
 public:
  /// Appends the low `count` bits (0 to 32) of `value`.
  void Bits(std::uint32_t value, int count);
  /// Appends a block with the fixed codes holding `literals` as literals
  /// only, then its end-of-block code; `final` sets the block's final bit.
  void FixedBlock(const std::string& literals, bool final);
  /// Appends a stored block holding `bytes` (fewer than 65,536): its header
  /// (`final` sets the final bit), the bits to the byte boundary from the low
  /// bits of `padding` (which decoders skip), LEN, NLEN and the bytes.
  void StoredBlock(const std::string& bytes, bool final, unsigned padding = 0);
  /// Appends the empty stored block of a sync flush: a block header without
  /// the final bit, zero bits to the byte boundary, 00 00 FF FF.
  void SyncFlush();
  /// Bits used in the last byte so far: 0 on a byte boundary, else 1 to 7.
  int BitsInLastByte() const { return bitCount_ % 8; }
  /// The stream so far, its last byte's unused bits set from `fill`.
  std::string Bytes(unsigned fill = 0) const;

 private:
  std::string bytes_;
  std::size_t bitCount_ = 0;
};

/// Literals for DeflateBitWriter::FixedBlock that make a block started on a
/// byte boundary end `bitsInLastByte` (1 to 8) bits into its last byte; at
/// least `minimum` of them.
std::string FixedBlockLiteralsEndingAt(int bitsInLastByte, std::size_t minimum);

/// What a piece decoder that closes a piece with an empty final block and
/// asks only that every byte be consumed makes of `piece`: true, with the
/// output in `out`, when libdeflate takes `piece` + 03 00 to exactly `size`
/// bytes. Such a decoder cannot tell a block that ends with the piece from
/// one that ends inside its last byte; tests use it to show what a piece
/// decoder must refuse.
bool DecodeClosedWithFinalBlock(const std::string& piece, std::size_t size, std::string& out);

/// The standard CRC-32 of `data`, as zlib computes it.
std::uint32_t Crc32(const std::string& data);

/// `size` bytes of deterministic text that deflates well but gives the
/// decoder matches and literals to work on, lines labelled `label`; each MiB
/// begins with its number, so that no part of a file cut short looks like
/// another.
std::string NumberedText(std::size_t size, const std::string& label);

/// `size` bytes of deterministic content that deflate cannot shrink, from an
/// xorshift generator started at `seed` (not 0).
std::string NoiseBytes(std::size_t size, std::uint32_t seed = 7);

/// Little-endian stores into an existing byte string, for patching a built
/// archive at an offset taken from ZipLayout (plus a zip::*_field offset).
/// Throws std::out_of_range unless `offset` + width fits.
void PutLe16(std::string& bytes, std::size_t offset, std::uint16_t value);
void PutLe32(std::string& bytes, std::size_t offset, std::uint32_t value);
void PutLe64(std::string& bytes, std::size_t offset, std::uint64_t value);

/// Overrides for one local file header (zip::LocalHeader: kLocalHeaderSize
/// bytes + name + extra field). Unset fields take the entry's values.
struct ZipLocalHeaderFields {
  std::optional<std::uint32_t> signature;         // zip::kLocalHeaderSignature
  std::optional<std::uint16_t> versionNeeded;     // entry.versionNeeded
  std::optional<std::uint16_t> flags;             // entry.flags (+ bit 3 for a descriptor)
  std::optional<std::uint16_t> method;            // entry.method
  std::optional<std::uint16_t> dosTime;           // entry.dosTime
  std::optional<std::uint16_t> dosDate;           // entry.dosDate
  std::optional<std::uint32_t> crc32;             // CRC of content; 0 with a descriptor
  std::optional<std::uint32_t> compressedSize;    // data length; 0 with a descriptor
  std::optional<std::uint32_t> uncompressedSize;  // content length; 0 with a descriptor
  std::optional<std::uint16_t> nameLength;        // length of the name written
  std::optional<std::uint16_t> extraLength;       // length of the extra field written
  std::optional<std::string> name;                // entry.name
  std::optional<std::string> extra;               // Zip64 field (if any) + entry.localExtra
};

/// Overrides for one central directory record (zip::CentralRecord:
/// kCentralRecordSize bytes + name + extra field + comment). Unset fields take
/// the entry's values.
struct ZipCentralRecordFields {
  std::optional<std::uint32_t> signature;           // zip::kCentralRecordSignature
  std::optional<std::uint16_t> versionMadeBy;       // entry.versionMadeBy
  std::optional<std::uint16_t> versionNeeded;       // entry.versionNeeded
  std::optional<std::uint16_t> flags;               // entry.flags (+ bit 3 for a descriptor)
  std::optional<std::uint16_t> method;              // entry.method
  std::optional<std::uint16_t> dosTime;             // entry.dosTime
  std::optional<std::uint16_t> dosDate;             // entry.dosDate
  std::optional<std::uint32_t> crc32;               // CRC of content
  std::optional<std::uint32_t> compressedSize;      // data length, or kMarker32 for Zip64
  std::optional<std::uint32_t> uncompressedSize;    // content length, or kMarker32 for Zip64
  std::optional<std::uint16_t> nameLength;          // length of the name written
  std::optional<std::uint16_t> extraLength;         // length of the extra field written
  std::optional<std::uint16_t> commentLength;       // length of the comment written
  std::optional<std::uint16_t> diskStart;           // 0, or kMarker16 with Zip64 disk
  std::optional<std::uint16_t> internalAttributes;  // entry.internalAttributes
  std::optional<std::uint32_t> externalAttributes;  // entry.externalAttributes
  std::optional<std::uint32_t> localHeaderOffset;   // real offset, or kMarker32 for Zip64
  std::optional<std::string> name;                  // entry.name
  std::optional<std::string> extra;                 // Zip64 field (if any) + entry.centralExtra
  std::optional<std::string> comment;               // entry.comment
};

/// Zip64 extended information extra fields (zip::kExtraIdZip64) for one entry.
/// Each included value is written as 8 bytes (the disk as 4) in the fixed
/// order uncompressed size, compressed size, local header offset, disk, and
/// its 32-bit (16-bit) field in the record becomes zip::kMarker32
/// (zip::kMarker16). The local header carries only the two sizes.
struct ZipZip64Extra {
  bool uncompressedSize = true;
  bool compressedSize = true;
  bool localHeaderOffset = true;                   // central record only
  bool diskStart = false;                          // central record only
  bool inLocalHeader = true;                       // also write the sizes in the local header
  std::optional<std::uint64_t> uncompressedValue;  // content length
  std::optional<std::uint64_t> compressedValue;    // data length
  std::optional<std::uint64_t> offsetValue;        // real local header offset
  std::optional<std::uint32_t> diskValue;          // 0
  std::optional<std::uint16_t> headerId;           // zip::kExtraIdZip64
  std::optional<std::uint16_t> dataSize;           // bytes of values written
};

/// Overrides for a data descriptor (written after the data when the entry has
/// `dataDescriptor`): optional signature, CRC, then the sizes as 4 bytes each,
/// or 8 bytes each for a Zip64 entry.
struct ZipDataDescriptorFields {
  bool withSignature = true;
  std::optional<std::uint32_t> signature;         // zip::kDataDescriptorSignature
  std::optional<std::uint32_t> crc32;             // CRC of content
  std::optional<std::uint64_t> compressedSize;    // data length
  std::optional<std::uint64_t> uncompressedSize;  // content length
};

/// One archive entry. Content is the unpacked bytes; the data written is the
/// content stored (zip::kMethodStored) or deflated (zip::kMethodDeflate),
/// unless `data` is set.
struct ZipBuilderEntry {
  std::string name;
  std::string content;
  std::uint16_t method = zip::kMethodStored;  // any other but deflate stores `content` as is
  int deflateLevel = -1;                      // zlib level for deflate
  std::optional<std::string> data;            // exact bytes to write as the entry's data
  std::uint16_t flags = 0;         // general-purpose bits (+ kFlagDataDescriptor for a descriptor)
  std::uint16_t dosTime = 0x6000;  // 12:00:00
  std::uint16_t dosDate = 0x5021;  // 2020-01-01
  std::uint16_t versionMadeBy = (zip::kHostUnix << 8) | 30;  // Unix host, version 3.0
  // 2.0; zip::kVersionNeededZip64 is used when zip64 is set.
  std::uint16_t versionNeeded = zip::kVersionNeededDeflate;
  std::uint16_t internalAttributes = 0;               // bit 0: text
  std::uint32_t externalAttributes = 0100644u << 16;  // Unix mode in the high half
  std::string comment;                                // the central record's comment
  std::string localExtra;                             // extra bytes after any Zip64 field, local
  std::string centralExtra;                           // extra bytes after any Zip64 field, central
  bool dataDescriptor = false;         // set the flag, zero local CRC/sizes, add descriptor
  std::optional<ZipZip64Extra> zip64;  // add Zip64 extra fields

  ZipLocalHeaderFields local;          // overrides for this entry's local header
  ZipCentralRecordFields central;      // overrides for this entry's central record
  ZipDataDescriptorFields descriptor;  // overrides for this entry's data descriptor
};

/// Overrides for the end of central directory record (zip::EndRecord:
/// kEndRecordSize bytes + comment). With a Zip64 end record the count, size
/// and offset fields default to their markers.
struct ZipEndRecordFields {
  std::optional<std::uint32_t> signature;        // zip::kEndRecordSignature
  std::optional<std::uint16_t> diskNumber;       // 0
  std::optional<std::uint16_t> directoryDisk;    // 0
  std::optional<std::uint16_t> entriesOnDisk;    // entry count
  std::optional<std::uint16_t> totalEntries;     // entry count
  std::optional<std::uint32_t> directorySize;    // bytes of central records
  std::optional<std::uint32_t> directoryOffset;  // offset of the first central record
  std::optional<std::uint16_t> commentLength;    // length of the comment written
};

/// Overrides for the Zip64 end of central directory record
/// (zip::Zip64EndRecord: kZip64EndRecordSize bytes + extensible data).
struct ZipZip64EndRecordFields {
  std::optional<std::uint32_t> signature;        // zip::kZip64EndRecordSignature
  std::optional<std::uint64_t> recordSize;       // 44 + extensible data length
  std::optional<std::uint16_t> versionMadeBy;    // Unix host, version 4.5
  std::optional<std::uint16_t> versionNeeded;    // zip::kVersionNeededZip64
  std::optional<std::uint32_t> diskNumber;       // 0
  std::optional<std::uint32_t> directoryDisk;    // 0
  std::optional<std::uint64_t> entriesOnDisk;    // entry count
  std::optional<std::uint64_t> totalEntries;     // entry count
  std::optional<std::uint64_t> directorySize;    // bytes of central records
  std::optional<std::uint64_t> directoryOffset;  // offset of the first central record
  std::string extensibleData;                    // written after the fixed part
};

/// Overrides for the Zip64 end of central directory locator
/// (zip::Zip64Locator, kZip64LocatorSize bytes).
struct ZipZip64LocatorFields {
  std::optional<std::uint32_t> signature;       // zip::kZip64LocatorSignature
  std::optional<std::uint32_t> zip64EndDisk;    // 0
  std::optional<std::uint64_t> zip64EndOffset;  // offset of the Zip64 end record
  std::optional<std::uint32_t> totalDisks;      // 1
};

/// Where each structure of a built archive begins, as offsets into the string
/// Build() returned (prefix included).
struct ZipLayout {
  std::vector<std::size_t> localHeaderOffsets;    // one per entry
  std::vector<std::size_t> dataOffsets;           // one per entry: first data byte
  std::vector<std::size_t> dataLengths;           // one per entry: bytes of data
  std::vector<std::size_t> centralRecordOffsets;  // one per entry
  std::size_t centralDirectoryOffset = 0;
  std::size_t centralDirectorySize = 0;
  std::size_t zip64EndRecordOffset = 0;  // valid when zip64End was set
  std::size_t zip64LocatorOffset = 0;    // valid when zip64End was set
  std::size_t endRecordOffset = 0;
};

/// Builds one archive: prefix bytes, then for each entry its local header,
/// data and optional descriptor, then the central records, then optionally
/// the Zip64 end record and locator, then the end record with the comment,
/// then trailing bytes.
struct ZipBuilder {
  /// Appends an entry and returns it for further changes. References stay
  /// valid while the builder lives (entries are kept in a deque).
  ZipBuilderEntry& AddStored(const std::string& name, const std::string& content);
  ZipBuilderEntry& AddDeflated(const std::string& name, const std::string& content);
  /// A folder entry: name should end in '/'; stored, empty, MS-DOS attribute
  /// zip::kDosAttributeDirectory and Unix mode 040755.
  ZipBuilderEntry& AddFolder(const std::string& name);

  /// Returns the archive bytes; fills `layout` when given.
  std::string Build(ZipLayout* layout = nullptr) const;

  std::deque<ZipBuilderEntry> entries;
  std::string prefix;                    // bytes in front of the archive
  bool offsetsFromArchiveStart = false;  // offsets ignore `prefix` (a plain archive appended)
  std::string comment;                   // the archive comment after the end record
  std::string trailer;                   // bytes after the end record and comment
  bool zip64End = false;                 // write the Zip64 end record and locator
  ZipEndRecordFields end;
  ZipZip64EndRecordFields zip64EndRecord;
  ZipZip64LocatorFields zip64Locator;
};

}  // namespace testing_support

#endif  // STARTER_TESTING_ZIP_BUILDER_H
