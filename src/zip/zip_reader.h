// A reader of ZIP archives in the caller's memory, in place. Calls report failure by their return
// value and record a code that ZipTakeLastError() hands out once. Never prints, throws or exits.
#ifndef STARTER_ZIP_ZIP_READER_H
#define STARTER_ZIP_ZIP_READER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "zip/zip_format.h"
#include "zip/zip_pieces.h"

namespace zip {

/// The reader's error codes; their texts (ZipErrorText) are fixed output.
enum class ZipError : std::uint32_t {
  kNone = 0,                  // "no error"
  kTooManyFiles,              // "too many files"
  kUnsupportedFeature,        // "unsupported feature"
  kCentralDirectoryNotFound,  // "failed finding central directory"
  kNotAnArchive,              // "not a ZIP archive"
  kInvalidHeader,             // "invalid header or archive is corrupted"
  kMultiDiskUnsupported,      // "unsupported multidisk archive"
  kDecompressionFailed,       // "decompression failed or archive is corrupted"
  kUnexpectedSize,            // "unexpected decompressed size"
  kUnsupportedDirectorySize,  // "unsupported central directory size"
  kAllocationFailed,          // "allocation failed"
  kFileOpenFailed,            // "file open failed"
  kFileWriteFailed,           // "file write failed"
  kFileCloseFailed,           // "file close failed"
  kInvalidParameter,          // "invalid parameter"
  kInternalError,             // "internal error"
  kStopped,                   // "stopped on request": a write whose ZipStopRequest said stop
};

/// The fixed (static) text of `error`; "unknown error" outside the enumeration.
const char* ZipErrorText(ZipError error);

/// One central directory entry; its views point into the archive's block.
struct ZipEntryRecord {
  std::uint32_t index = 0;   // position in the central directory, from 0
  bool isDirectory = false;  // name ends in '/' or DOS attribute 0x10 is set
  CentralRecord central;     // the fields as stored
  EntryLocation location;    // Zip64 values applied (the disk is 0 in any open archive)
};

/// One entry's local header as stored; its views point into the block.
struct ZipLocalHeaderRecord {
  std::uint64_t offset = 0;      // of the header, from the first byte of the block
  LocalHeader header;            // the fields as stored
  std::uint64_t dataOffset = 0;  // first byte after the extra field
};

/// An open archive's end record as stored, and the directory's place and entry count in effect
/// (from the Zip64 end record when used).
struct ZipArchiveFacts {
  std::uint64_t endRecordOffset = 0;  // from the first byte of the block
  EndRecord endRecord;                // the fields as stored; its comment a view
  bool hasZip64 = false;              // a Zip64 locator and end record were used
  std::uint64_t centralDirectoryOffset = 0;
  std::uint64_t centralDirectorySize = 0;
  std::uint64_t entryCount = 0;  // equals ZipEntryCount
};

/// A reader over one archive; value-initialised means closed. Not thread-safe.
struct ZipArchive {
  const unsigned char* data = nullptr;  // the caller's block, while open
  std::uint64_t size = 0;               // its length in bytes
  bool open = false;
  ZipError lastError = ZipError::kNone;
  std::uint64_t centralDirectoryOffset = 0;
  std::uint64_t centralDirectorySize = 0;
  std::uint64_t endRecordOffset = 0;
  bool hasZip64 = false;                     // the directory's place came from a Zip64 end record
  std::vector<std::uint64_t> recordOffsets;  // one per entry, into the block
};

/// Finds where an archive ends in a block that may hold more: at the last end record whose comment
/// ends the block (as ZipOpenMemory takes it), else the last in the final 22 + 65535 bytes whose
/// comment fits. Sets `archiveSize` past that comment; false (null `data`, under 22 bytes, none)
/// leaves it and records no error.
bool ZipFindArchiveEnd(const void* data, std::uint64_t size, std::uint64_t& archiveSize);

/// Opens `archive` over `size` bytes at `data` (unchanged until ZipClose) and indexes every central
/// record, each checked to fit; offsets count from `data`. Failure (null `data`, under 22 bytes,
/// multi-volume, a record that does not fit) sets the last error and leaves `archive` closed; when
/// already open, kInvalidParameter.
bool ZipOpenMemory(ZipArchive& archive, const void* data, std::uint64_t size);

/// Number of entries; 0 for a closed archive.
std::uint32_t ZipEntryCount(const ZipArchive& archive);

// Below, failure returns false, sets the last error and leaves out-parameters untouched:
// kInvalidParameter for a closed archive or an index out of range, kInternalError when the block
// changed since the open, kInvalidHeader as said.

/// Fills `record` from central directory entry `index`.
bool ZipReadEntryRecord(ZipArchive& archive, std::uint32_t index, ZipEntryRecord& record);

/// Fills `facts` from the end records.
bool ZipReadArchiveFacts(ZipArchive& archive, ZipArchiveFacts& facts);

/// Fills `header` from entry `index`'s local header, which must lie in front of the central
/// directory (kInvalidHeader); its data is not checked.
bool ZipReadLocalHeader(ZipArchive& archive, std::uint32_t index, ZipLocalHeaderRecord& header);

/// Points `data` at entry `index`'s stored data and sets `length` to its compressed size;
/// kInvalidHeader when the local header (as ZipReadLocalHeader checks it) or the data does not lie
/// in front of the central directory.
bool ZipLocateEntryData(ZipArchive& archive, std::uint32_t index, const unsigned char*& data,
                        std::uint64_t& length);

/// The POSIX mode for `record`'s new file before the umask: its rwx bits plus owner rw when made on
/// Unix with some, else 0666; never set-id or sticky.
std::uint32_t ZipEntryFileMode(const CentralRecord& record);

/// Where a decoded entry goes (the library opens nothing): calls come from the writing thread, but
/// in a pieced write WriteAt for distinct ranges from any.
class ZipOutput {
 public:
  virtual ~ZipOutput() = default;

  /// Puts `size` bytes at `offset`; false (kFileWriteFailed) if not all.
  virtual bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) = 0;

  /// Discards all put so far, to write again from the start; false on failure.
  virtual bool Reset() = 0;
};

/// Stops a write: `requested(context)`, asked on the writing thread (any) before each output
/// buffer, stored chunk or piece (at most 4 MiB decoded between), ends it with kStopped once true,
/// leaving the output as it is.
struct ZipStopRequest {
  bool (*requested)(const void* context) = nullptr;
  const void* context = nullptr;

  bool Asked() const { return requested != nullptr && requested(context); }
};

/// A file entry made ready on the archive's thread, to be written on any: it refers only to the
/// block, which must stay unchanged until the write returns. A value-initialised job is "no job".
struct ZipEntryJob {
  const unsigned char* data = nullptr;   // the entry's stored data, in the block
  std::uint64_t compressedSize = 0;      // bytes at `data`
  std::uint64_t uncompressedSize = 0;    // as recorded
  std::uint32_t crc32 = 0;               // as recorded
  std::uint16_t method = 0;              // 0 stored or 8 deflate
  bool hasTime = false;                  // the MS-DOS stamp is a local time the C library knows
  std::int64_t modificationSeconds = 0;  // that time, in seconds since 1970-01-01 00:00:00 UTC
  std::vector<ZipPiece> pieces;          // ZipPiecesFromIndex's, or empty; a hint checked again
  ZipStopRequest stop;                   // the caller's, set after ZipPrepareEntryJob
};

/// Checks entry `index` for writing and fills `job`, its time read as local time here (workers
/// never read the C library's time zone). Fails as ZipLocateEntryData does, but first with
/// kUnsupportedFeature for a folder, encryption (flag bit 0 or 6), patch data (bit 5) or a method
/// not 0 or 8.
bool ZipPrepareEntryJob(ZipArchive& archive, std::uint32_t index, ZipEntryJob& job);
/// The same for an entry whose record the caller has read with ZipReadEntryRecord.
bool ZipPrepareEntryJob(ZipArchive& archive, const ZipEntryRecord& entry, ZipEntryJob& job);

/// Writes `job` with zlib's streaming decoder, the reference: kNone for exactly the recorded size
/// and CRC-32; else kDecompressionFailed, kUnexpectedSize (nothing put past the recorded size),
/// kFileWriteFailed, kAllocationFailed, kStopped, or kInvalidParameter for no job; what was put
/// stays. At the deflate stream's end `unusedInput` gets the bytes after it.
ZipError ZipStreamEntryJob(const ZipEntryJob& job, ZipOutput& output,
                           std::uint64_t* unusedInput = nullptr);

/// One thread's decoder and buffer, kept from job to job. Not shared.
struct ZipJobScratch {
  ZipPieceDecoder decoder;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t bufferSize = 0;
};

/// Writes `job` into the empty `output` with ZipStreamEntryJob's outcome and output; calls with
/// different `scratch` may run at once. A small deflate entry is first decoded whole
/// (ZipPieceDecoder) and put with one WriteAt; unless exactly right, the output is reset and the
/// entry streamed.
ZipError ZipWriteEntryJob(const ZipEntryJob& job, ZipOutput& output, ZipJobScratch& scratch);

/// ZipWriteEntryJob with the pieces decoded on several threads: Begin once, WritePiece per piece on
/// any, Finish once. Unless every piece decodes as described and the CRC-32s combine to the
/// recorded one, Finish resets the output and returns ZipWriteEntryJob's outcome.
class ZipPiecedWrite {
 public:
  /// Takes `job` and the empty `output` until Finish returns. Returns the piece count when the
  /// pieces (two or more, each at most 4 MiB unpacked) lie back to back and cover both sizes; else
  /// 0: only Finish is to follow.
  std::size_t Begin(const ZipEntryJob& job, ZipOutput& output);

  /// Sets `index` to the next piece not yet handed out; false when none is left. Thread-safe.
  bool ClaimPiece(std::size_t& index);

  /// Decodes piece `index` (each once, several at once) into its place; after a failure or a stop
  /// (Finish then returns kStopped) later calls skip it. True only for the last call to end, whose
  /// thread may then Finish.
  bool WritePiece(std::size_t index, ZipJobScratch& scratch);

  /// Ends the write, once every WritePiece has ended, with ZipWriteEntryJob's outcome and output
  /// (kInvalidParameter without Begin).
  ZipError Finish(ZipJobScratch& scratch);

 private:
  bool DecodePiece(std::size_t index, ZipJobScratch& scratch);
  const ZipEntryJob* job_ = nullptr;
  ZipOutput* output_ = nullptr;
  std::size_t pieceCount_ = 0;
  std::vector<std::uint32_t> pieceCrcs_;
  std::atomic<std::size_t> nextPiece_{0};
  std::atomic<std::size_t> piecesLeft_{0};
  std::atomic<bool> pieceFailed_{false};
  std::atomic<bool> stopped_{false};
};

/// Returns the last error and resets it to ZipError::kNone.
ZipError ZipTakeLastError(ZipArchive& archive);

/// Returns `archive` to its closed state (the block untouched); false when it was not open.
bool ZipClose(ZipArchive& archive);

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_READER_H
