#include "zip/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace zip {
namespace {

// The streaming buffer is large enough to hide the per-call cost of inflate
// and a write, small enough to stay in cache.
constexpr std::size_t kMaxInflateBuffer = 512 * 1024;
constexpr std::size_t kMinInflateBuffer = 16 * 1024;
constexpr std::uint64_t kMaxInflateInput = 1u << 30;  // avail_in is a uInt
constexpr std::uint64_t kStoredChunk = 4 * 1024 * 1024;

// Entries up to this size are decoded whole into a worker's buffer.
constexpr std::size_t kSmallEntryLimit = 256 * 1024;
// No deflate stream unpacks to more than about 1032 times its length: an
// entry that records more fails anyway, so no buffer is made for it.
constexpr std::uint64_t kMaxDeflateRatio = 1032;
// Bounds a worker's piece buffer (the packer's pieces unpack to 1 MiB) and
// stays below crc32_combine's z_off_t, 32 bits on Windows.
constexpr std::uint64_t kMaxPieceLength = 4u << 20;

bool Fail(ZipArchive& archive, ZipError error) {
  archive.lastError = error;
  return false;
}

// Parses the central record at `offset`, which must end by `directoryEnd`.
ZipError ParseEntry(const unsigned char* data, std::uint64_t offset, std::uint64_t directoryEnd,
                    ZipEntryRecord& entry) {
  if (!ParseCentralRecord(data, directoryEnd, offset, entry.central) ||
      !ResolveZip64(entry.central, entry.location)) {
    return ZipError::kInvalidHeader;
  }
  return entry.location.diskStart != 0 ? ZipError::kMultiDiskUnsupported : ZipError::kNone;
}

// Finds the last end record in the longest comment's reach whose comment fits
// and, with `exactEnd`, ends the block, so that no comment can mislead.
bool FindEndRecord(const unsigned char* data, std::uint64_t size, bool exactEnd,
                   std::uint64_t& endOffset, EndRecord& end) {
  const std::uint64_t last = size - kEndRecordSize;
  const std::uint64_t first = last > kMaxFieldLength ? last - kMaxFieldLength : 0;
  for (std::uint64_t pos = last + 1; pos-- > first;) {
    if (ParseEndRecord(data, size, pos, end) && (!exactEnd || pos + RecordLength(end) == size)) {
      endOffset = pos;
      return true;
    }
  }
  return false;
}

// What the end records give beyond the archive's own fields.
struct DirectoryBounds {
  std::uint64_t entryCount = 0;
  std::uint64_t directoryLimit = 0;  // where the directory must end: the first end record
};

// Takes the directory's place from the Zip64 end record `locator` names.
ZipError ReadZip64EndRecord(const EndRecord& end, const Zip64Locator& locator, ZipArchive& archive,
                            DirectoryBounds& bounds) {
  if (locator.endRecordDisk != 0 || locator.totalDisks > 1) {
    return ZipError::kMultiDiskUnsupported;
  }
  Zip64EndRecord zip64End;
  if (!ParseZip64EndRecord(archive.data, archive.endRecordOffset - kZip64LocatorSize,
                           locator.endRecordOffset, zip64End)) {
    return ZipError::kInvalidHeader;
  }
  // The 16-bit fields of the plain end record only count when not markers.
  if (zip64End.diskNumber != 0 || zip64End.directoryDisk != 0 ||
      zip64End.entriesOnDisk != zip64End.entryCount ||
      (end.diskNumber != 0 && end.diskNumber != kMarker16) ||
      (end.directoryDisk != 0 && end.directoryDisk != kMarker16)) {
    return ZipError::kMultiDiskUnsupported;
  }
  archive.hasZip64 = true;
  archive.centralDirectorySize = zip64End.directorySize;
  archive.centralDirectoryOffset = zip64End.directoryOffset;
  bounds = DirectoryBounds{zip64End.entryCount, locator.endRecordOffset};
  return ZipError::kNone;
}

// Finds the end record and, when a locator precedes it, the Zip64 end record.
ZipError ReadEndRecords(ZipArchive& archive, DirectoryBounds& bounds) {
  EndRecord end;
  std::uint64_t& endOffset = archive.endRecordOffset;
  if (!FindEndRecord(archive.data, archive.size, true, endOffset, end)) {
    return ZipError::kCentralDirectoryNotFound;
  }
  archive.centralDirectorySize = end.directorySize;
  archive.centralDirectoryOffset = end.directoryOffset;
  bounds = DirectoryBounds{end.entryCount, endOffset};
  Zip64Locator locator;
  if (endOffset >= kZip64LocatorSize &&
      ParseZip64Locator(archive.data, endOffset, endOffset - kZip64LocatorSize, locator)) {
    return ReadZip64EndRecord(end, locator, archive, bounds);
  }
  if (end.diskNumber != 0 || end.directoryDisk != 0 || end.entriesOnDisk != end.entryCount) {
    return ZipError::kMultiDiskUnsupported;
  }
  return ZipError::kNone;
}

// Checks the directory's place and records, noting where each one starts.
ZipError IndexDirectory(ZipArchive& archive, const DirectoryBounds& bounds) {
  // The directory must end exactly where the end records begin: with bytes in
  // front of an archive whose offsets ignore them, it would not.
  const std::uint64_t offset = archive.centralDirectoryOffset;
  const std::uint64_t size = archive.centralDirectorySize;
  if (!RangeFits(offset, size, bounds.directoryLimit) || offset + size != bounds.directoryLimit) {
    return ZipError::kUnsupportedDirectorySize;
  }
  if (bounds.entryCount > std::numeric_limits<std::uint32_t>::max()) {
    return ZipError::kTooManyFiles;
  }
  // A count the directory cannot hold is refused before allocating for it.
  if (bounds.entryCount > size / kCentralRecordSize) {
    return ZipError::kInvalidHeader;
  }
  try {
    archive.recordOffsets.reserve(static_cast<std::size_t>(bounds.entryCount));
  } catch (...) {
    return ZipError::kAllocationFailed;
  }
  std::uint64_t pos = offset;
  for (std::uint64_t i = 0; i < bounds.entryCount; ++i) {
    ZipEntryRecord entry;
    const ZipError error = ParseEntry(archive.data, pos, bounds.directoryLimit, entry);
    if (error != ZipError::kNone) {
      return error;
    }
    archive.recordOffsets.push_back(pos);  // capacity reserved above
    pos += RecordLength(entry.central);
  }
  // More records than counted?
  return pos == bounds.directoryLimit ? ZipError::kNone : ZipError::kInvalidHeader;
}

// Opens the value-initialised `archive`; on failure the caller discards it.
ZipError OpenArchive(ZipArchive& archive, const unsigned char* data, std::uint64_t size) {
  if (data == nullptr) {
    return ZipError::kInvalidParameter;
  }
  if (size < kEndRecordSize) {
    return ZipError::kNotAnArchive;
  }
  archive.data = data;
  archive.size = size;
  archive.open = true;
  DirectoryBounds bounds;
  const ZipError error = ReadEndRecords(archive, bounds);
  return error == ZipError::kNone ? IndexDirectory(archive, bounds) : error;
}

// The MS-DOS stamp read as local time; false when mktime cannot.
bool DosToSeconds(std::uint16_t dosDate, std::uint16_t dosTime, std::int64_t& seconds) {
  const CivilTime civil = CivilFromDosStamp(DosStamp{dosDate, dosTime});
  std::tm local{};
  local.tm_year = civil.year - 1900;
  local.tm_mon = civil.month - 1;
  local.tm_mday = civil.day;
  local.tm_hour = civil.hour;
  local.tm_min = civil.minute;
  local.tm_sec = civil.second;
  local.tm_isdst = -1;
  const std::time_t result = std::mktime(&local);
  if (result == static_cast<std::time_t>(-1)) {
    return false;
  }
  seconds = static_cast<std::int64_t>(result);
  return true;
}

// The bytes written so far and their CRC-32, as a write goes on.
struct WriteProgress {
  std::uint64_t written = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
};

bool Append(ZipOutput& output, const unsigned char* data, std::size_t size,
            WriteProgress& progress) {
  if (!output.WriteAt(progress.written, data, size)) {
    return false;
  }
  progress.crc = crc32(progress.crc, data, static_cast<uInt>(size));
  progress.written += size;
  return true;
}

// Copies stored data from the block, at most the recorded size.
ZipError WriteStored(const ZipEntryJob& job, ZipOutput& output, WriteProgress& progress) {
  const std::uint64_t toWrite = std::min(job.compressedSize, job.uncompressedSize);
  while (progress.written < toWrite) {
    if (job.stop.Asked()) {
      return ZipError::kStopped;
    }
    const std::uint64_t chunk = std::min(toWrite - progress.written, kStoredChunk);
    if (!Append(output, job.data + progress.written, static_cast<std::size_t>(chunk), progress)) {
      return ZipError::kFileWriteFailed;
    }
  }
  return job.compressedSize == job.uncompressedSize ? ZipError::kNone : ZipError::kUnexpectedSize;
}

// Feeds zlib the next part of the input once it used up the last.
void FeedInput(z_stream& stream, const unsigned char*& nextInput, std::uint64_t& inputLeft) {
  if (stream.avail_in == 0 && inputLeft > 0) {
    const std::uint64_t part = std::min(inputLeft, kMaxInflateInput);
    // zlib's z_const is off by default; inflate never writes through next_in.
    stream.next_in = const_cast<Bytef*>(nextInput);
    stream.avail_in = static_cast<uInt>(part);
    nextInput += part;
    inputLeft -= part;
  }
}

// Inflates through `buffer`, putting nothing past the recorded size.
ZipError WriteInflated(const ZipEntryJob& job, ZipOutput& output, z_stream& stream,
                       unsigned char* buffer, std::size_t bufferSize, WriteProgress& progress,
                       std::uint64_t* unusedInput) {
  const std::uint64_t limit = job.uncompressedSize;
  const unsigned char* nextInput = job.data;
  std::uint64_t inputLeft = job.compressedSize;
  for (;;) {
    if (job.stop.Asked()) {
      return ZipError::kStopped;
    }
    FeedInput(stream, nextInput, inputLeft);
    stream.next_out = buffer;
    stream.avail_out = static_cast<uInt>(bufferSize);
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) {
      return ZipError::kAllocationFailed;
    }
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      return ZipError::kDecompressionFailed;  // Z_DATA_ERROR, Z_NEED_DICT
    }
    const std::size_t produced = bufferSize - stream.avail_out;
    // More data than recorded: the output keeps the recorded size.
    const std::size_t allowed =
        static_cast<std::size_t>(std::min<std::uint64_t>(produced, limit - progress.written));
    if (allowed > 0 && !Append(output, buffer, allowed, progress)) {
      return ZipError::kFileWriteFailed;
    }
    if (allowed < produced) {
      return ZipError::kUnexpectedSize;
    }
    if (status == Z_STREAM_END) {
      if (unusedInput != nullptr) {
        *unusedInput = stream.avail_in + inputLeft;
      }
      return progress.written == limit ? ZipError::kNone : ZipError::kUnexpectedSize;
    }
    if (produced == 0 && stream.avail_in == 0 && inputLeft == 0) {
      return ZipError::kDecompressionFailed;  // the stream ends before its end marker
    }
  }
}

ZipError StreamDeflated(const ZipEntryJob& job, ZipOutput& output, WriteProgress& progress,
                        std::uint64_t* unusedInput) {
  // The buffer's size never decides the outcome.
  const auto bufferSize = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(job.uncompressedSize, kMinInflateBuffer, kMaxInflateBuffer));
  const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bufferSize]);
  if (!buffer) {
    return ZipError::kAllocationFailed;
  }
  z_stream stream{};
  const int status = inflateInit2(&stream, -MAX_WBITS);
  if (status != Z_OK) {
    return status == Z_MEM_ERROR ? ZipError::kAllocationFailed : ZipError::kInternalError;
  }
  const ZipError error =
      WriteInflated(job, output, stream, buffer.get(), bufferSize, progress, unusedInput);
  inflateEnd(&stream);
  return error;
}

// Decodes `in` as ZipPieceDecoder decodes a piece into the thread's buffer,
// grown as needed; null when the buffer cannot be had or the decode fails.
const unsigned char* DecodeToBuffer(ZipJobScratch& scratch, const unsigned char* in,
                                    std::uint64_t inLength, bool last, std::size_t length,
                                    std::uint32_t& crc) {
  if (scratch.bufferSize < length) {
    const std::size_t size = std::max(length, kSmallEntryLimit);
    scratch.buffer.reset(new (std::nothrow) unsigned char[size]);
    scratch.bufferSize = scratch.buffer ? size : 0;
  }
  unsigned char* out = scratch.buffer.get();
  return out != nullptr && scratch.decoder.Decode(in, inLength, last, out, length, crc) ? out
                                                                                        : nullptr;
}

// A deflate entry small enough to decode whole into the thread's buffer.
bool DecodesWhole(const ZipEntryJob& job) {
  return job.method == kMethodDeflate && job.uncompressedSize != 0 &&
         job.compressedSize <= std::numeric_limits<std::size_t>::max() &&
         job.uncompressedSize <= kSmallEntryLimit &&
         job.uncompressedSize / kMaxDeflateRatio <= job.compressedSize;
}

// True when the pieces lie back to back from 0, cover both sizes and suit
// crc32_combine.
bool PiecesFit(const ZipEntryJob& job) {
  if (job.data == nullptr || job.method != kMethodDeflate || job.pieces.size() < 2 ||
      job.uncompressedSize > std::numeric_limits<std::size_t>::max() ||
      job.uncompressedSize / kMaxDeflateRatio > job.compressedSize) {
    return false;
  }
  std::uint64_t compressedOffset = 0;
  std::uint64_t uncompressedOffset = 0;
  for (const ZipPiece& piece : job.pieces) {
    if (piece.compressedOffset != compressedOffset ||
        piece.uncompressedOffset != uncompressedOffset || piece.compressedLength == 0 ||
        piece.uncompressedLength == 0 || piece.uncompressedLength > kMaxPieceLength ||
        piece.compressedLength > job.compressedSize - compressedOffset ||
        piece.uncompressedLength > job.uncompressedSize - uncompressedOffset) {
      return false;
    }
    compressedOffset += piece.compressedLength;
    uncompressedOffset += piece.uncompressedLength;
  }
  return compressedOffset == job.compressedSize && uncompressedOffset == job.uncompressedSize;
}

}  // namespace

const char* ZipErrorText(ZipError error) {
  // In the order of the enumeration.
  static const char* const kTexts[] = {"no error",
                                       "too many files",
                                       "unsupported feature",
                                       "failed finding central directory",
                                       "not a ZIP archive",
                                       "invalid header or archive is corrupted",
                                       "unsupported multidisk archive",
                                       "decompression failed or archive is corrupted",
                                       "unexpected decompressed size",
                                       "unsupported central directory size",
                                       "allocation failed",
                                       "file open failed",
                                       "file write failed",
                                       "file close failed",
                                       "invalid parameter",
                                       "internal error",
                                       "stopped on request"};
  static_assert(
      sizeof kTexts / sizeof kTexts[0] == static_cast<std::size_t>(ZipError::kStopped) + 1,
      "one text per error");
  const auto index = static_cast<std::size_t>(error);
  return index < sizeof kTexts / sizeof kTexts[0] ? kTexts[index] : "unknown error";
}

bool ZipFindArchiveEnd(const void* data, std::uint64_t size, std::uint64_t& archiveSize) {
  if (data == nullptr || size < kEndRecordSize) {
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint64_t endOffset = 0;
  EndRecord end;
  if (!FindEndRecord(bytes, size, true, endOffset, end) &&
      !FindEndRecord(bytes, size, false, endOffset, end)) {
    return false;
  }
  archiveSize = endOffset + RecordLength(end);
  return true;
}

bool ZipOpenMemory(ZipArchive& archive, const void* data, std::uint64_t size) {
  if (archive.open) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  ZipArchive opened;
  const ZipError error = OpenArchive(opened, static_cast<const unsigned char*>(data), size);
  archive = error == ZipError::kNone ? std::move(opened) : ZipArchive{};
  return error == ZipError::kNone || Fail(archive, error);
}

std::uint32_t ZipEntryCount(const ZipArchive& archive) {
  return archive.open ? static_cast<std::uint32_t>(archive.recordOffsets.size()) : 0;
}

bool ZipReadEntryRecord(ZipArchive& archive, std::uint32_t index, ZipEntryRecord& record) {
  if (!archive.open || index >= archive.recordOffsets.size()) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  ZipEntryRecord parsed;
  if (ParseEntry(archive.data, archive.recordOffsets[index],
                 archive.centralDirectoryOffset + archive.centralDirectorySize,
                 parsed) != ZipError::kNone) {
    return Fail(archive, ZipError::kInternalError);  // checked at open; the block changed
  }
  parsed.index = index;
  const CentralRecord& central = parsed.central;
  parsed.isDirectory = (!central.name.empty() && central.name.back() == '/') ||
                       (central.externalAttributes & kDosAttributeDirectory) != 0;
  record = parsed;
  return true;
}

bool ZipReadArchiveFacts(ZipArchive& archive, ZipArchiveFacts& facts) {
  if (!archive.open) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  ZipArchiveFacts result;
  if (!ParseEndRecord(archive.data, archive.size, archive.endRecordOffset, result.endRecord)) {
    return Fail(archive, ZipError::kInternalError);  // checked at open; the block changed
  }
  result.endRecordOffset = archive.endRecordOffset;
  result.hasZip64 = archive.hasZip64;
  result.centralDirectoryOffset = archive.centralDirectoryOffset;
  result.centralDirectorySize = archive.centralDirectorySize;
  result.entryCount = archive.recordOffsets.size();
  facts = result;
  return true;
}

namespace {

// The two steps below take the entry's record as read, so that preparing an
// entry from its record does not parse the record again.
bool ReadLocalHeader(ZipArchive& archive, const ZipEntryRecord& entry,
                     ZipLocalHeaderRecord& header) {
  ZipLocalHeaderRecord local;
  local.offset = entry.location.localHeaderOffset;
  if (!ParseLocalHeader(archive.data, archive.centralDirectoryOffset, local.offset, local.header)) {
    return Fail(archive, ZipError::kInvalidHeader);
  }
  local.dataOffset = local.offset + RecordLength(local.header);
  header = local;
  return true;
}

bool LocateData(ZipArchive& archive, const ZipEntryRecord& entry, const unsigned char*& data,
                std::uint64_t& length) {
  ZipLocalHeaderRecord local;
  if (!ReadLocalHeader(archive, entry, local)) {
    return false;
  }
  if (!RangeFits(local.dataOffset, entry.location.compressedSize, archive.centralDirectoryOffset)) {
    return Fail(archive, ZipError::kInvalidHeader);
  }
  data = archive.data + local.dataOffset;
  length = entry.location.compressedSize;
  return true;
}

}  // namespace

bool ZipReadLocalHeader(ZipArchive& archive, std::uint32_t index, ZipLocalHeaderRecord& header) {
  ZipEntryRecord entry;
  return ZipReadEntryRecord(archive, index, entry) && ReadLocalHeader(archive, entry, header);
}

bool ZipLocateEntryData(ZipArchive& archive, std::uint32_t index, const unsigned char*& data,
                        std::uint64_t& length) {
  ZipEntryRecord entry;
  return ZipReadEntryRecord(archive, index, entry) && LocateData(archive, entry, data, length);
}

std::uint32_t ZipEntryFileMode(const CentralRecord& record) {
  const bool unixHost = (record.versionMadeBy >> 8) == kHostUnix;
  const std::uint32_t unixMode = (record.externalAttributes >> 16) & 0777;
  // The owner keeps read and write, so a later extraction can overwrite.
  return unixHost && unixMode != 0 ? unixMode | 0600 : 0666;
}

bool ZipPrepareEntryJob(ZipArchive& archive, std::uint32_t index, ZipEntryJob& job) {
  ZipEntryRecord entry;
  return ZipReadEntryRecord(archive, index, entry) && ZipPrepareEntryJob(archive, entry, job);
}

bool ZipPrepareEntryJob(ZipArchive& archive, const ZipEntryRecord& entry, ZipEntryJob& job) {
  const CentralRecord& record = entry.central;
  if (entry.isDirectory ||
      (record.flags & (kFlagEncrypted | kFlagPatchData | kFlagStrongEncryption)) != 0 ||
      (record.method != kMethodStored && record.method != kMethodDeflate)) {
    return Fail(archive, ZipError::kUnsupportedFeature);
  }
  ZipEntryJob prepared;
  if (!LocateData(archive, entry, prepared.data, prepared.compressedSize)) {
    return false;
  }
  prepared.uncompressedSize = entry.location.uncompressedSize;
  prepared.crc32 = record.crc32;
  prepared.method = record.method;
  prepared.hasTime = DosToSeconds(record.dosDate, record.dosTime, prepared.modificationSeconds);
  if (prepared.method == kMethodDeflate) {
    try {
      ZipPiecesFromIndex(record.extra, prepared.compressedSize, prepared.uncompressedSize,
                         prepared.pieces);
    } catch (...) {
      prepared.pieces.clear();  // the index is only a hint
    }
  }
  job = std::move(prepared);
  return true;
}

ZipError ZipStreamEntryJob(const ZipEntryJob& job, ZipOutput& output, std::uint64_t* unusedInput) {
  if (job.data == nullptr) {
    return ZipError::kInvalidParameter;
  }
  WriteProgress progress;
  const ZipError error = job.method == kMethodStored
                             ? WriteStored(job, output, progress)
                             : StreamDeflated(job, output, progress, unusedInput);
  if (error == ZipError::kNone && static_cast<std::uint32_t>(progress.crc) != job.crc32) {
    return ZipError::kDecompressionFailed;
  }
  return error;
}

ZipError ZipWriteEntryJob(const ZipEntryJob& job, ZipOutput& output, ZipJobScratch& scratch) {
  if (job.data == nullptr) {
    return ZipError::kInvalidParameter;
  }
  if (job.stop.Asked()) {
    return ZipError::kStopped;
  }
  if (DecodesWhole(job)) {
    const auto size = static_cast<std::size_t>(job.uncompressedSize);
    std::uint32_t crc = 0;
    const unsigned char* decoded =
        DecodeToBuffer(scratch, job.data, job.compressedSize, true, size, crc);
    if (decoded != nullptr && crc == job.crc32) {
      if (output.WriteAt(0, decoded, size)) {
        return ZipError::kNone;
      }
      // The streaming decoder, the reference, starts over on an empty output.
      if (!output.Reset()) {
        return ZipError::kFileWriteFailed;
      }
    }
  }
  return ZipStreamEntryJob(job, output);
}

std::size_t ZipPiecedWrite::Begin(const ZipEntryJob& job, ZipOutput& output) {
  job_ = &job;
  output_ = &output;
  if (!PiecesFit(job)) {
    return 0;
  }
  try {
    pieceCrcs_.assign(job.pieces.size(), 0);
  } catch (...) {
    return 0;
  }
  pieceCount_ = job.pieces.size();
  piecesLeft_.store(pieceCount_, std::memory_order_relaxed);
  return pieceCount_;
}

bool ZipPiecedWrite::ClaimPiece(std::size_t& index) {
  // Relaxed: Begin ran before the threads were handed the write, and the
  // pieces' results meet through piecesLeft_.
  const std::size_t next = nextPiece_.fetch_add(1, std::memory_order_relaxed);
  if (next >= pieceCount_) {
    return false;
  }
  index = next;
  return true;
}

bool ZipPiecedWrite::DecodePiece(std::size_t index, ZipJobScratch& scratch) {
  const ZipPiece& piece = job_->pieces[index];
  const auto length = static_cast<std::size_t>(piece.uncompressedLength);
  const unsigned char* decoded =
      DecodeToBuffer(scratch, job_->data + piece.compressedOffset, piece.compressedLength,
                     index + 1 == pieceCount_, length, pieceCrcs_[index]);
  return decoded != nullptr && output_->WriteAt(piece.uncompressedOffset, decoded, length);
}

bool ZipPiecedWrite::WritePiece(std::size_t index, ZipJobScratch& scratch) {
  if (index < pieceCount_ && !pieceFailed_.load(std::memory_order_relaxed)) {
    if (job_->stop.Asked()) {
      stopped_.store(true, std::memory_order_relaxed);
      pieceFailed_.store(true, std::memory_order_relaxed);
    } else if (!DecodePiece(index, scratch)) {
      pieceFailed_.store(true, std::memory_order_relaxed);
    }
  }
  // Release and acquire: the last call sees every piece's bytes and CRC-32.
  return piecesLeft_.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

ZipError ZipPiecedWrite::Finish(ZipJobScratch& scratch) {
  if (job_ == nullptr || job_->data == nullptr) {
    return ZipError::kInvalidParameter;
  }
  if (pieceCount_ != 0 && !pieceFailed_.load(std::memory_order_relaxed) &&
      ZipCombinePieceCrcs(job_->pieces, pieceCrcs_) == job_->crc32) {
    return ZipError::kNone;
  }
  if (stopped_.load(std::memory_order_relaxed)) {
    return ZipError::kStopped;
  }
  if (pieceCount_ != 0 && !output_->Reset()) {
    return ZipError::kFileWriteFailed;
  }
  return ZipWriteEntryJob(*job_, *output_, scratch);
}

ZipError ZipTakeLastError(ZipArchive& archive) {
  return std::exchange(archive.lastError, ZipError::kNone);
}

bool ZipClose(ZipArchive& archive) {
  if (!archive.open) {
    return false;
  }
  archive = ZipArchive{};
  return true;
}

}  // namespace zip
