// A reader of ZIP archives that lie in memory, in place.
//
// The archive bytes are never copied: the reader keeps a pointer into the
// caller's block, plus one small offset per entry. Every call reports failure
// by its return value and records a code that ZipTakeLastError() hands out
// once. The library never prints, never throws and never exits.
#ifndef STARTER_ZIP_ZIP_READER_H
#define STARTER_ZIP_ZIP_READER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zip/zip_format.h"
#include "zip/zip_pieces.h"

namespace zip {

/// The reader's error codes. Their texts (ZipErrorText) are fixed and are part
/// of the reader's observable behaviour.
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

/// Returns the fixed text of `error`; "unknown error" for a value outside the
/// enumeration. The pointer is to static storage.
const char* ZipErrorText(ZipError error);

/// One entry of the central directory: its record as stored and what the
/// reader derives from it. The record's name, extra field and comment are
/// views into the archive's block, valid while the block is.
struct ZipEntryRecord {
  std::uint32_t index = 0;   // position in the central directory, from 0
  bool isDirectory = false;  // name ends in '/' or DOS attribute 0x10 is set
  CentralRecord central;     // the fields as stored
  EntryLocation location;    // Zip64 values applied (the disk is 0 in any open archive)
};

/// One entry's local header as stored, and where it and its data lie. Its
/// name and extra field are views into the archive's block.
struct ZipLocalHeaderRecord {
  std::uint64_t offset = 0;      // of the header, from the first byte of the block
  LocalHeader header;            // the fields as stored
  std::uint64_t dataOffset = 0;  // first byte after the extra field
};

/// The end record of an open archive as stored, and the central directory's
/// place and entry count in effect (from the Zip64 end record when used).
struct ZipArchiveFacts {
  std::uint64_t endRecordOffset = 0;  // from the first byte of the block
  EndRecord endRecord;                // the fields as stored; its comment a view
  bool hasZip64 = false;              // a Zip64 locator and end record were used
  std::uint64_t centralDirectoryOffset = 0;
  std::uint64_t centralDirectorySize = 0;
  std::uint64_t entryCount = 0;  // equals ZipEntryCount
};

/// A reader over one archive in memory. A value-initialised object is closed,
/// the only state ZipOpenMemory takes. Not thread-safe.
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

/// Finds where an archive ends in a block that may hold other bytes after it:
/// at the last end-of-central-directory record that, with its comment,
/// reaches exactly the end of the block (as ZipOpenMemory takes it), or else
/// at the last one within the final 22 + 65535 bytes whose comment lies
/// inside the block (which may be a signature inside the real comment).
/// Success: returns true and sets `archiveSize` to the offset just past that
/// record's comment, the bytes ZipOpenMemory may be given.
/// Failure (null `data`, fewer than 22 bytes, no such record): returns false,
/// leaves `archiveSize` untouched and records no error.
bool ZipFindArchiveEnd(const void* data, std::uint64_t size, std::uint64_t& archiveSize);

/// Opens `archive` over `size` bytes at `data`, without copying them. The
/// block must stay valid and unchanged until ZipClose.
/// Success: returns true; the archive is open and its entries are indexed.
/// The end record is searched for from the end (allowing for a comment);
/// Zip64 end records are honoured; every central record with its variable
/// parts lies inside the block. Offsets count from `data`: an archive with
/// bytes in front of it whose offsets ignore them does not open.
/// Failure: returns false, sets the last error, and leaves `archive` closed
/// (value-initialised but for its last error): a null `data`, fewer than 22
/// bytes, a multi-volume archive, any record that does not fit; and
/// kInvalidParameter when `archive` is already open.
bool ZipOpenMemory(ZipArchive& archive, const void* data, std::uint64_t size);

/// Number of entries of an open archive; 0 for a closed one. Never fails.
std::uint32_t ZipEntryCount(const ZipArchive& archive);

/// Fills `record` from the central directory entry `index`.
/// Success: returns true; `record` holds the entry's values.
/// Failure (closed archive, index out of range): returns false, sets the last
/// error (kInvalidParameter) and leaves `record` untouched.
bool ZipReadEntryRecord(ZipArchive& archive, std::uint32_t index, ZipEntryRecord& record);

/// Fills `facts` from the end records of an open archive.
/// Success: returns true; `facts` holds the archive's values.
/// Failure (closed archive): returns false, sets the last error
/// (kInvalidParameter) and leaves `facts` untouched; kInternalError when the
/// block changed since the open.
bool ZipReadArchiveFacts(ZipArchive& archive, ZipArchiveFacts& facts);

/// Fills `header` from the local header of entry `index`, at the offset its
/// central record gives (Zip64 value applied).
/// Success: returns true; the header with its name and extra field lies in
/// front of the central directory (so does `dataOffset`; the data itself is
/// ZipLocateEntryData's to check).
/// Failure: returns false and leaves `header` untouched, with the last error
/// set: kInvalidParameter for a closed archive or an index out of range,
/// kInvalidHeader when no such header lies there.
bool ZipReadLocalHeader(ZipArchive& archive, std::uint32_t index, ZipLocalHeaderRecord& header);

/// Gives the stored (possibly compressed) data of entry `index` in place.
/// Success: returns true; `data` points into the block at the first byte
/// after the entry's local header and `length` is the entry's compressed
/// size; all of it lies in front of the central directory.
/// Failure: returns false and leaves `data` and `length` untouched, with the
/// last error set: kInvalidParameter for a closed archive or an index out of
/// range, kInvalidHeader when the local header (as ZipReadLocalHeader checks
/// it) or the data does not lie in front of the central directory.
bool ZipLocateEntryData(ZipArchive& archive, std::uint32_t index, const unsigned char*& data,
                        std::uint64_t& length);

/// The permission bits a new file gets on POSIX for the entry described by
/// `record`, before the umask: the entry's rwx bits plus read and write for
/// the owner when the archive was made on a Unix host and carries some,
/// otherwise 0666. Never the set-id or sticky bits.
std::uint32_t ZipEntryFileMode(const CentralRecord& record);

/// Where a decoded entry goes: the caller's, e.g. a file, a buffer or a
/// checker. The library never opens, maps or closes anything itself; it hands
/// the entry's content to this object, as byte ranges at their offsets or
/// decoded in place into a view the object gives. Every call comes from the
/// thread that writes; in a pieced write, WriteAt for distinct ranges and
/// nothing else may come from several threads at once.
class ZipOutput {
 public:
  virtual ~ZipOutput() = default;

  /// Puts the `size` bytes at `data` at `offset` of the entry's content.
  /// Returns false when they could not all be put (kFileWriteFailed).
  virtual bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) = 0;

  /// Throws away everything put so far, so that the entry can be written
  /// again from its start. Returns false on failure (kFileWriteFailed).
  virtual bool Reset() = 0;
};

/// A caller's way to stop a write early: `requested(context)` is asked, on
/// the thread that writes (so it must be safe on any), before each output
/// buffer of a streamed entry, each chunk of a stored one and each piece of a
/// pieced write; no decode between two asks unpacks more than 4 MiB. Once it
/// has answered true the write ends with ZipError::kStopped (the output then
/// holds anything) and nothing is written again. Without a function it never
/// stops.
struct ZipStopRequest {
  bool (*requested)(const void* context) = nullptr;
  const void* context = nullptr;

  bool Asked() const { return requested != nullptr && requested(context); }
};

/// A file entry made ready, on the thread that uses its archive, to be written
/// by ZipWriteEntryJob on any thread. It refers to no ZipArchive, only to the
/// archive's block, which must stay valid and unchanged until the write has
/// returned. A value-initialised job is "no job".
struct ZipEntryJob {
  const unsigned char* data = nullptr;   // the entry's stored data, in the block
  std::uint64_t compressedSize = 0;      // bytes at `data`
  std::uint64_t uncompressedSize = 0;    // as recorded
  std::uint32_t crc32 = 0;               // as recorded
  std::uint16_t method = 0;              // 0 stored or 8 deflate
  bool hasTime = false;                  // the MS-DOS stamp is a local time the C library knows
  std::int64_t modificationSeconds = 0;  // that time, in seconds since 1970-01-01 00:00:00 UTC
  // A deflate entry's pieces as its piece index gives them (ZipPiecesFromIndex);
  // empty without a usable index. A hint only: ZipPiecedWrite checks it again.
  std::vector<ZipPiece> pieces;
  // The caller's, set after ZipPrepareEntryJob (which leaves it empty).
  ZipStopRequest stop;
};

/// Checks entry `index` for writing and fills `job`: its MS-DOS time read as
/// local time here (workers never read the C library's time zone), and for a
/// deflate entry the pieces of a usable piece index. The checks, in order:
/// - closed archive, index out of range: kInvalidParameter;
/// - folder entry, encryption (flag bit 0 or 6), patch data (bit 5), or a
///   method other than 0 and 8: kUnsupportedFeature;
/// - local header signature, lengths, or data outside the block (entry data
///   must end before the central directory): kInvalidHeader.
/// Success: returns true. Failure: returns false with the last error set and
/// leaves `job` untouched.
bool ZipPrepareEntryJob(ZipArchive& archive, std::uint32_t index, ZipEntryJob& job);

/// Writes `job` into `output` with zlib's streaming decoder alone, through a
/// bounded buffer: the reference every other way of writing falls back to.
/// Returns kNone when the data gives exactly the recorded size and CRC-32;
/// otherwise kDecompressionFailed (damaged data or another CRC-32),
/// kUnexpectedSize (more or fewer bytes than recorded; none past the recorded
/// size is put), kFileWriteFailed (`output` refused), kAllocationFailed,
/// kStopped, or kInvalidParameter for a value-initialised job. What was put
/// before a failure stays put. When the deflate stream ends, `unusedInput`
/// (if given) gets the count of data bytes after its end.
ZipError ZipStreamEntryJob(const ZipEntryJob& job, ZipOutput& output,
                           std::uint64_t* unusedInput = nullptr);

struct ZipJobScratchState;

/// What one thread needs to write jobs: a decoder and a buffer, made on first
/// use and kept for later jobs. For one thread at a time.
class ZipJobScratch {
 public:
  ZipJobScratch() = default;
  ~ZipJobScratch();
  ZipJobScratch(const ZipJobScratch&) = delete;
  ZipJobScratch& operator=(const ZipJobScratch&) = delete;

 private:
  friend ZipError ZipWriteEntryJob(const ZipEntryJob& job, ZipOutput& output,
                                   ZipJobScratch& scratch);
  friend class ZipPiecedWrite;
  ZipJobScratchState* state_ = nullptr;
};

/// Writes `job` into `output`, which holds nothing yet, and returns what
/// ZipStreamEntryJob(job, output) returns, leaving `output` as that call
/// leaves it. Touches no shared state: calls with different `scratch` objects
/// may run at once. A deflate entry is first decoded whole, as
/// ZipPieceDecoder decodes a last piece (stored blocks copied, others by
/// libdeflate) into the scratch buffer and put with one WriteAt when it is
/// small (a larger one is streamed at once); unless that gives exactly the
/// recorded size and CRC-32 from exactly the stored data, the output is reset
/// and ZipStreamEntryJob writes it.
ZipError ZipWriteEntryJob(const ZipEntryJob& job, ZipOutput& output, ZipJobScratch& scratch);

/// One job written as ZipWriteEntryJob writes it, but with the pieces of an
/// indexed entry decoded by several threads, each piece into its thread's
/// buffer and put at its place with WriteAt.
/// Begin on one thread, then WritePiece once for each piece on any threads,
/// then Finish once. The outcome never depends on the index: unless every
/// piece decodes exactly as described and their CRC-32s combine to the
/// recorded one, Finish resets the output and writes the entry again by
/// ZipWriteEntryJob's own way, whose outcome it returns.
class ZipPiecedWrite {
 public:
  ZipPiecedWrite() = default;
  ZipPiecedWrite(const ZipPiecedWrite&) = delete;
  ZipPiecedWrite& operator=(const ZipPiecedWrite&) = delete;

  /// Takes `job` and `output` (which holds nothing yet), both to stay valid
  /// and unchanged until Finish has returned. Call once. Returns the number
  /// of pieces to write when the job is a deflate entry whose pieces (at
  /// least two, none unpacking to more than 4 MiB) lie back to back from
  /// offset 0 on both sides and cover both sizes. Returns 0 otherwise (also
  /// for a value-initialised job): only Finish is then to be called.
  std::size_t Begin(const ZipEntryJob& job, ZipOutput& output);

  /// Hands out the pieces in order, each once, to whichever thread asks:
  /// returns true with `index` set to the next piece not yet handed out,
  /// false (`index` untouched) when none is left. Thread-safe.
  bool ClaimPiece(std::size_t& index);

  /// Decodes piece `index` (below what Begin returned; each index once) into
  /// its place in the output with this thread's `scratch`. Calls for
  /// different indexes may run at once. Once a piece has failed, or the stop
  /// request has said stop, later calls skip their decoding (and after a
  /// stop Finish returns kStopped without writing the entry again). Returns
  /// true for exactly one call, the last to end: Finish may then run on that
  /// thread (or on one that synchronised with it).
  bool WritePiece(std::size_t index, ZipJobScratch& scratch);

  /// Ends the write and returns what ZipWriteEntryJob(job, output, scratch)
  /// returns, leaving the output as that call leaves it (kInvalidParameter
  /// without Begin). When Begin returned pieces, every WritePiece call must
  /// have ended. Call once.
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

/// Closes the archive: releases the index and returns `archive` to its
/// value-initialised state. Returns false (and changes nothing) when it was not
/// open. The caller's block is not touched.
bool ZipClose(ZipArchive& archive);

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_READER_H
