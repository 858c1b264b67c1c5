// A reader of ZIP archives in memory, in place: it keeps a pointer into the
// caller's block and one offset per entry. Calls report failure by their
// return value and record a code that ZipTakeLastError() hands out once.
// Never prints, throws or exits.
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

/// An open archive's end record as stored, and the directory's place and
/// entry count in effect (from the Zip64 end record when used).
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

/// Finds where an archive ends in a block that may hold more after it: at the
/// last end record whose comment ends the block exactly (as ZipOpenMemory
/// takes it), else at the last one in the final 22 + 65535 bytes whose comment
/// fits (maybe a signature inside the real comment). Sets `archiveSize` just
/// past that comment and returns true; otherwise (null `data`, under 22
/// bytes, no record) returns false, `archiveSize` untouched, no error recorded.
bool ZipFindArchiveEnd(const void* data, std::uint64_t size, std::uint64_t& archiveSize);

/// Opens `archive` over the `size` bytes at `data`, which must stay valid and
/// unchanged until ZipClose, and indexes every central record (each checked to
/// fit; Zip64 honoured). Offsets count from `data`: an archive whose offsets
/// ignore bytes in front of it does not open. Failure (null `data`, under 22
/// bytes, multi-volume, a record that does not fit) returns false with the
/// last error set and `archive` closed; kInvalidParameter when already open.
bool ZipOpenMemory(ZipArchive& archive, const void* data, std::uint64_t size);

/// Number of entries; 0 for a closed archive.
std::uint32_t ZipEntryCount(const ZipArchive& archive);

// The calls below return true on success. On failure they return false, set
// the last error and leave their out-parameters untouched: kInvalidParameter
// for a closed archive or an index out of range, kInternalError when the
// block changed since the open, and kInvalidHeader as each says.

/// Fills `record` from central directory entry `index`.
bool ZipReadEntryRecord(ZipArchive& archive, std::uint32_t index, ZipEntryRecord& record);

/// Fills `facts` from the end records.
bool ZipReadArchiveFacts(ZipArchive& archive, ZipArchiveFacts& facts);

/// Fills `header` from entry `index`'s local header (offset Zip64-resolved),
/// which with its name and extra field must lie in front of the central
/// directory (kInvalidHeader); the data is ZipLocateEntryData's to check.
bool ZipReadLocalHeader(ZipArchive& archive, std::uint32_t index, ZipLocalHeaderRecord& header);

/// Points `data` at entry `index`'s stored data in the block, just after its
/// local header, and sets `length` to the compressed size. kInvalidHeader
/// when the header (as ZipReadLocalHeader checks it) or the data does not lie
/// in front of the central directory.
bool ZipLocateEntryData(ZipArchive& archive, std::uint32_t index, const unsigned char*& data,
                        std::uint64_t& length);

/// The POSIX mode of a new file for `record`, before the umask: the entry's
/// rwx bits plus owner read and write when made on Unix with some, else 0666.
/// Never set-id or sticky bits.
std::uint32_t ZipEntryFileMode(const CentralRecord& record);

/// Where a decoded entry goes (a file, a buffer, a checker): the caller's, as
/// the library opens nothing. Calls come from the writing thread; in a pieced
/// write only WriteAt, for distinct ranges, may come from several at once.
class ZipOutput {
 public:
  virtual ~ZipOutput() = default;

  /// Puts `size` bytes at `offset` of the content; false (kFileWriteFailed)
  /// when not all were put.
  virtual bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) = 0;

  /// Discards all put so far, to write again from the start; false on failure.
  virtual bool Reset() = 0;
};

/// Stops a write early: `requested(context)` is asked on the writing thread (any)
/// before each output buffer, stored chunk or piece (at most 4 MiB decoded in
/// between). Once true, the write ends with kStopped, leaving the output as it
/// is. Without a function it never stops.
struct ZipStopRequest {
  bool (*requested)(const void* context) = nullptr;
  const void* context = nullptr;

  bool Asked() const { return requested != nullptr && requested(context); }
};

/// A file entry made ready on the archive's thread, to be written on any: it
/// refers only to the block, which must stay unchanged until the write returns.
/// A value-initialised job is "no job".
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

/// Checks entry `index` for writing and fills `job`, its time read as local
/// time here (workers never read the C library's time zone). Fails as
/// ZipLocateEntryData does, but first with kUnsupportedFeature for a folder,
/// encryption (flag bit 0 or 6), patch data (bit 5) or a method not 0 or 8.
bool ZipPrepareEntryJob(ZipArchive& archive, std::uint32_t index, ZipEntryJob& job);

/// Writes `job` with zlib's streaming decoder alone, the reference all other
/// ways fall back to. kNone when the data gives exactly the recorded size and
/// CRC-32; else kDecompressionFailed (damage or another CRC-32),
/// kUnexpectedSize (nothing past the recorded size is put), kFileWriteFailed,
/// kAllocationFailed, kStopped, or kInvalidParameter for no job; what was put
/// stays. At the deflate stream's end `unusedInput` gets the bytes after it.
ZipError ZipStreamEntryJob(const ZipEntryJob& job, ZipOutput& output,
                           std::uint64_t* unusedInput = nullptr);

/// One thread's decoder and buffer, kept from job to job. Not shared.
struct ZipJobScratch {
  ZipPieceDecoder decoder;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t bufferSize = 0;
};

/// Writes `job` into the empty `output` with the outcome and output of
/// ZipStreamEntryJob(job, output); calls with different `scratch` may run at
/// once. A small deflate entry is first decoded whole as a last piece
/// (ZipPieceDecoder) and put with one WriteAt; unless that gives exactly the
/// recorded size and CRC-32 from exactly the stored data, the output is reset
/// and streamed.
ZipError ZipWriteEntryJob(const ZipEntryJob& job, ZipOutput& output, ZipJobScratch& scratch);

/// ZipWriteEntryJob with an indexed entry's pieces decoded on several threads:
/// Begin on one, WritePiece once per piece on any, then Finish once. Unless
/// every piece decodes as described and their CRC-32s combine to the recorded
/// one, Finish resets the output and returns ZipWriteEntryJob's outcome. Not
/// copyable.
class ZipPiecedWrite {
 public:
  /// Takes `job` and the empty `output`, both unchanged until Finish returns.
  /// Returns the piece count when the deflate job's pieces (at least two, each
  /// at most 4 MiB unpacked) lie back to back from 0 and cover both sizes;
  /// else 0, and only Finish is to be called.
  std::size_t Begin(const ZipEntryJob& job, ZipOutput& output);

  /// Sets `index` to the next piece not yet handed out; false when none is
  /// left. Thread-safe.
  bool ClaimPiece(std::size_t& index);

  /// Decodes piece `index` (each once; distinct ones may run at once) into
  /// its place. After a failure or a stop later calls skip decoding (after a
  /// stop Finish returns kStopped). True only for the last call to end, after
  /// which Finish may run on that thread.
  bool WritePiece(std::size_t index, ZipJobScratch& scratch);

  /// Ends the write, once every WritePiece has ended, with ZipWriteEntryJob's
  /// outcome and output (kInvalidParameter without Begin).
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

/// Returns `archive` to its closed state (the block untouched); false when it
/// was not open.
bool ZipClose(ZipArchive& archive);

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_READER_H
