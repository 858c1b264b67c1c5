#include "zip/zip_reader.h"

#include <zlib.h>

#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "zip/zip_format.h"
#include "zip/zip_output.h"

namespace zip {
namespace {

constexpr std::uint64_t kMaxCommentLength = kMaxFieldLength;

// Sizes of the extraction loop. The output buffer is large enough that the
// per-call overhead of inflate and write() disappears, small enough to stay
// in cache; stored data is written straight from the block.
constexpr std::size_t kMaxInflateBuffer = 512 * 1024;
constexpr std::size_t kMinInflateBuffer = 16 * 1024;
constexpr std::uint64_t kMaxInflateInput = 1u << 30;  // avail_in is a uInt
constexpr std::uint64_t kStoredChunk = 4 * 1024 * 1024;

bool Fail(ZipArchive& archive, ZipError error) {
  archive.lastError = error;
  return false;
}

// Open failures leave the object value-initialised but for the error.
bool FailOpen(ZipArchive& archive, ZipError error) {
  archive = ZipArchive{};
  archive.lastError = error;
  return false;
}

// One central record with its Zip64 values applied; the name, extra field and
// comment stay in the block.
struct ParsedEntry {
  CentralRecord record;
  EntryLocation location;
};

// Parses the central record at `offset`, which must lie with all its parts
// before `directoryEnd`.
ZipError ParseEntry(const unsigned char* data, std::uint64_t offset, std::uint64_t directoryEnd,
                    ParsedEntry& entry) {
  if (!ParseCentralRecord(data, directoryEnd, offset, entry.record) ||
      !ResolveZip64(entry.record, entry.location)) {
    return ZipError::kInvalidHeader;
  }
  if (entry.location.diskStart != 0) {
    return ZipError::kMultiDiskUnsupported;
  }
  return ZipError::kNone;
}

bool IsDirectoryRecord(const CentralRecord& record) {
  return (!record.name.empty() && record.name.back() == '/') ||
         (record.externalAttributes & kDosAttributeDirectory) != 0;
}

// Parses the central record of entry `index`, which the open checked.
bool ParseIndexedEntry(const ZipArchive& archive, std::uint32_t index, ParsedEntry& entry) {
  return ParseEntry(archive.data, archive.recordOffsets[index],
                    archive.centralDirectoryOffset + archive.centralDirectorySize,
                    entry) == ZipError::kNone;
}

// Finds the end record: the last signature from which a record with its
// whole comment reaches exactly the end of the block. Requiring the exact end
// keeps a comment that happens to contain the signature from misleading us.
bool FindEndRecord(const unsigned char* data, std::uint64_t size, std::uint64_t& endOffset) {
  const std::uint64_t last = size - kEndRecordSize;
  const std::uint64_t first = last > kMaxCommentLength ? last - kMaxCommentLength : 0;
  for (std::uint64_t pos = last + 1; pos-- > first;) {
    const unsigned char* p = data + pos;
    if (p[0] == 0x50 && LoadLe32(p) == kEndRecordSignature &&
        pos + kEndRecordSize + LoadLe16(p + end_record_field::kCommentLength) == size) {
      endOffset = pos;
      return true;
    }
  }
  return false;
}

// The MS-DOS date and time, read as local time. Returns false when the C
// library cannot represent them.
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

// Owns the output file for one extraction so every early return closes it.
class OutputGuard {
 public:
  OutputGuard() = default;
  ~OutputGuard() {
    if (file.handle != -1) {
      detail::CloseOutputFile(file);
    }
  }
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;

  detail::OutputFile file;
};

class InflateGuard {
 public:
  InflateGuard() = default;
  ~InflateGuard() {
    if (initialised) {
      inflateEnd(&stream);
    }
  }
  InflateGuard(const InflateGuard&) = delete;
  InflateGuard& operator=(const InflateGuard&) = delete;

  z_stream stream{};
  bool initialised = false;
};

// Copies stored data straight from the block. Writes at most `limit` bytes.
ZipError WriteStored(detail::OutputFile& file, const unsigned char* data, std::uint64_t length,
                     std::uint64_t limit, std::uint64_t& written, uLong& crc) {
  const std::uint64_t toWrite = length < limit ? length : limit;
  while (written < toWrite) {
    const std::uint64_t left = toWrite - written;
    const std::size_t chunk = static_cast<std::size_t>(left < kStoredChunk ? left : kStoredChunk);
    const unsigned char* from = data + written;
    if (!detail::WriteOutputFile(file, from, chunk)) {
      return ZipError::kFileWriteFailed;
    }
    crc = crc32(crc, from, static_cast<uInt>(chunk));
    written += chunk;
  }
  return length == limit ? ZipError::kNone : ZipError::kUnexpectedSize;
}

// Inflates raw deflate data from the block into `buffer`, writing each filled
// buffer. Stops before writing anything past `limit`.
ZipError WriteInflated(detail::OutputFile& file, InflateGuard& inflater, unsigned char* buffer,
                       std::size_t bufferSize, const unsigned char* data, std::uint64_t length,
                       std::uint64_t limit, std::uint64_t& written, uLong& crc) {
  z_stream& stream = inflater.stream;
  const unsigned char* nextInput = data;
  std::uint64_t inputLeft = length;
  for (;;) {
    if (stream.avail_in == 0 && inputLeft > 0) {
      const std::uint64_t piece = inputLeft < kMaxInflateInput ? inputLeft : kMaxInflateInput;
      // zlib's z_const is off by default; inflate never writes through next_in.
      stream.next_in = const_cast<Bytef*>(nextInput);
      stream.avail_in = static_cast<uInt>(piece);
      nextInput += piece;
      inputLeft -= piece;
    }
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
    if (produced > 0) {
      if (produced > limit - written) {
        // More data than recorded: keep the file at the recorded size.
        const std::size_t allowed = static_cast<std::size_t>(limit - written);
        if (allowed > 0) {
          if (!detail::WriteOutputFile(file, buffer, allowed)) {
            return ZipError::kFileWriteFailed;
          }
          written += allowed;
        }
        return ZipError::kUnexpectedSize;
      }
      if (!detail::WriteOutputFile(file, buffer, produced)) {
        return ZipError::kFileWriteFailed;
      }
      crc = crc32(crc, buffer, static_cast<uInt>(produced));
      written += produced;
    }
    if (status == Z_STREAM_END) {
      return written == limit ? ZipError::kNone : ZipError::kUnexpectedSize;
    }
    if (produced == 0 && stream.avail_in == 0 && inputLeft == 0) {
      return ZipError::kDecompressionFailed;  // the stream ends before its end marker
    }
  }
}

}  // namespace

const char* ZipErrorText(ZipError error) {
  switch (error) {
    case ZipError::kNone:
      return "no error";
    case ZipError::kTooManyFiles:
      return "too many files";
    case ZipError::kUnsupportedFeature:
      return "unsupported feature";
    case ZipError::kCentralDirectoryNotFound:
      return "failed finding central directory";
    case ZipError::kNotAnArchive:
      return "not a ZIP archive";
    case ZipError::kInvalidHeader:
      return "invalid header or archive is corrupted";
    case ZipError::kMultiDiskUnsupported:
      return "unsupported multidisk archive";
    case ZipError::kDecompressionFailed:
      return "decompression failed or archive is corrupted";
    case ZipError::kUnexpectedSize:
      return "unexpected decompressed size";
    case ZipError::kUnsupportedDirectorySize:
      return "unsupported central directory size";
    case ZipError::kAllocationFailed:
      return "allocation failed";
    case ZipError::kFileOpenFailed:
      return "file open failed";
    case ZipError::kFileWriteFailed:
      return "file write failed";
    case ZipError::kFileCloseFailed:
      return "file close failed";
    case ZipError::kInvalidParameter:
      return "invalid parameter";
    case ZipError::kInvalidFilename:
      return "invalid filename";
    case ZipError::kInternalError:
      return "internal error";
  }
  return "unknown error";
}

bool ZipOpenMemory(ZipArchive& archive, const void* data, std::uint64_t size) {
  if (archive.open) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  if (data == nullptr) {
    return FailOpen(archive, ZipError::kInvalidParameter);
  }
  if (size < kEndRecordSize) {
    return FailOpen(archive, ZipError::kNotAnArchive);
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint64_t endOffset = 0;
  if (!FindEndRecord(bytes, size, endOffset)) {
    return FailOpen(archive, ZipError::kCentralDirectoryNotFound);
  }
  EndRecord end;
  ParseEndRecord(bytes, size, endOffset, end);  // found above, comment and all
  std::uint64_t entryCount = end.entryCount;
  std::uint64_t directorySize = end.directorySize;
  std::uint64_t directoryOffset = end.directoryOffset;
  // Where the central directory must end: at the first end record.
  std::uint64_t directoryLimit = endOffset;

  Zip64Locator locator;
  const bool hasLocator =
      endOffset >= kZip64LocatorSize &&
      ParseZip64Locator(bytes, endOffset, endOffset - kZip64LocatorSize, locator);
  if (hasLocator) {
    const std::uint64_t locatorOffset = endOffset - kZip64LocatorSize;
    if (locator.endRecordDisk != 0 || locator.totalDisks > 1) {
      return FailOpen(archive, ZipError::kMultiDiskUnsupported);
    }
    Zip64EndRecord zip64End;
    if (!ParseZip64EndRecord(bytes, locatorOffset, locator.endRecordOffset, zip64End)) {
      return FailOpen(archive, ZipError::kInvalidHeader);
    }
    if (zip64End.diskNumber != 0 || zip64End.directoryDisk != 0 ||
        zip64End.entriesOnDisk != zip64End.entryCount) {
      return FailOpen(archive, ZipError::kMultiDiskUnsupported);
    }
    entryCount = zip64End.entryCount;
    directorySize = zip64End.directorySize;
    directoryOffset = zip64End.directoryOffset;
    directoryLimit = locator.endRecordOffset;
    // The 16-bit fields of the plain end record only count when not markers.
    if ((end.diskNumber != 0 && end.diskNumber != kMarker16) ||
        (end.directoryDisk != 0 && end.directoryDisk != kMarker16)) {
      return FailOpen(archive, ZipError::kMultiDiskUnsupported);
    }
  } else if (end.diskNumber != 0 || end.directoryDisk != 0 || end.entriesOnDisk != entryCount) {
    return FailOpen(archive, ZipError::kMultiDiskUnsupported);
  }

  // The directory must end exactly where the end records begin: with bytes in
  // front of an archive whose offsets ignore them, it would not.
  if (!RangeFits(directoryOffset, directorySize, directoryLimit) ||
      directoryOffset + directorySize != directoryLimit) {
    return FailOpen(archive, ZipError::kUnsupportedDirectorySize);
  }
  if (entryCount > std::numeric_limits<std::uint32_t>::max()) {
    return FailOpen(archive, ZipError::kTooManyFiles);
  }
  // Every record takes at least its fixed part: a count the directory cannot
  // hold is rejected before anything is allocated for it.
  if (entryCount > directorySize / kCentralRecordSize) {
    return FailOpen(archive, ZipError::kInvalidHeader);
  }

  ZipArchive opened;
  try {
    opened.recordOffsets.reserve(static_cast<std::size_t>(entryCount));
  } catch (...) {
    return FailOpen(archive, ZipError::kAllocationFailed);
  }
  const std::uint64_t directoryEnd = directoryOffset + directorySize;
  std::uint64_t pos = directoryOffset;
  for (std::uint64_t i = 0; i < entryCount; ++i) {
    ParsedEntry entry;
    const ZipError error = ParseEntry(bytes, pos, directoryEnd, entry);
    if (error != ZipError::kNone) {
      return FailOpen(archive, error);
    }
    opened.recordOffsets.push_back(pos);  // capacity reserved above
    pos += RecordLength(entry.record);
  }
  if (pos != directoryEnd) {
    return FailOpen(archive, ZipError::kInvalidHeader);  // more records than counted
  }

  opened.data = bytes;
  opened.size = size;
  opened.open = true;
  opened.centralDirectoryOffset = directoryOffset;
  opened.centralDirectorySize = directorySize;
  archive = std::move(opened);
  return true;
}

std::uint32_t ZipEntryCount(const ZipArchive& archive) {
  return archive.open ? static_cast<std::uint32_t>(archive.recordOffsets.size()) : 0;
}

bool ZipReadEntryRecord(ZipArchive& archive, std::uint32_t index, ZipEntryRecord& record) {
  if (!archive.open || index >= archive.recordOffsets.size()) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  ParsedEntry parsed;
  if (!ParseIndexedEntry(archive, index, parsed)) {
    return Fail(archive, ZipError::kInternalError);  // checked at open; the block changed
  }
  ZipEntryRecord result;
  try {
    result.name.assign(parsed.record.name);
  } catch (...) {
    return Fail(archive, ZipError::kAllocationFailed);
  }
  result.index = index;
  result.isDirectory = IsDirectoryRecord(parsed.record);
  result.compressedSize = parsed.location.compressedSize;
  result.uncompressedSize = parsed.location.uncompressedSize;
  result.localHeaderOffset = parsed.location.localHeaderOffset;
  result.crc32 = parsed.record.crc32;
  result.method = parsed.record.method;
  result.flags = parsed.record.flags;
  result.dosTime = parsed.record.dosTime;
  result.dosDate = parsed.record.dosDate;
  result.versionMadeBy = parsed.record.versionMadeBy;
  result.versionNeeded = parsed.record.versionNeeded;
  result.externalAttributes = parsed.record.externalAttributes;
  record = std::move(result);
  return true;
}

bool ZipExtractEntryToFile(ZipArchive& archive, std::uint32_t index, const char* outputPath) {
  if (!archive.open || index >= archive.recordOffsets.size() || outputPath == nullptr) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  ParsedEntry parsed;
  if (!ParseIndexedEntry(archive, index, parsed)) {
    return Fail(archive, ZipError::kInternalError);  // checked at open; the block changed
  }
  const CentralRecord& record = parsed.record;
  const EntryLocation& location = parsed.location;
  if (IsDirectoryRecord(record) ||
      (record.flags & (kFlagEncrypted | kFlagPatchData | kFlagStrongEncryption)) != 0 ||
      (record.method != kMethodStored && record.method != kMethodDeflate)) {
    return Fail(archive, ZipError::kUnsupportedFeature);
  }

  // Entry data lies in front of the central directory.
  const std::uint64_t dataLimit = archive.centralDirectoryOffset;
  LocalHeader local;
  if (!ParseLocalHeader(archive.data, dataLimit, location.localHeaderOffset, local)) {
    return Fail(archive, ZipError::kInvalidHeader);
  }
  const std::uint64_t dataOffset = location.localHeaderOffset + RecordLength(local);
  if (!RangeFits(dataOffset, location.compressedSize, dataLimit)) {
    return Fail(archive, ZipError::kInvalidHeader);
  }
  const unsigned char* entryData = archive.data + dataOffset;

  std::unique_ptr<unsigned char[]> buffer;
  std::size_t bufferSize = 0;
  InflateGuard inflater;
  if (record.method == kMethodDeflate) {
    // Small entries get a small buffer; the size only bounds the allocation
    // and never decides correctness.
    bufferSize = location.uncompressedSize < kMaxInflateBuffer
                     ? static_cast<std::size_t>(location.uncompressedSize)
                     : kMaxInflateBuffer;
    if (bufferSize < kMinInflateBuffer) {
      bufferSize = kMinInflateBuffer;
    }
    buffer.reset(new (std::nothrow) unsigned char[bufferSize]);
    if (!buffer) {
      return Fail(archive, ZipError::kAllocationFailed);
    }
    const int status = inflateInit2(&inflater.stream, -MAX_WBITS);
    if (status != Z_OK) {
      return Fail(archive,
                  status == Z_MEM_ERROR ? ZipError::kAllocationFailed : ZipError::kInternalError);
    }
    inflater.initialised = true;
  }

  const bool unixHost = (record.versionMadeBy >> 8) == kHostUnix;
  const std::uint32_t unixMode = (record.externalAttributes >> 16) & 0777;
  // The owner keeps read and write permission, so that a later extraction
  // into the same folder can overwrite what this one wrote.
  const std::uint32_t mode = unixHost && unixMode != 0 ? unixMode | 0600 : 0666;
  OutputGuard output;
  if (!detail::OpenOutputFile(output.file, outputPath, mode)) {
    return Fail(archive, ZipError::kFileOpenFailed);
  }

  std::uint64_t written = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  ZipError error =
      record.method == kMethodStored
          ? WriteStored(output.file, entryData, location.compressedSize, location.uncompressedSize,
                        written, crc)
          : WriteInflated(output.file, inflater, buffer.get(), bufferSize, entryData,
                          location.compressedSize, location.uncompressedSize, written, crc);
  if (error == ZipError::kNone && static_cast<std::uint32_t>(crc) != record.crc32) {
    error = ZipError::kDecompressionFailed;
  }
  if (error != ZipError::kNone) {
    return Fail(archive, error);  // the guard closes the partial file
  }
  std::int64_t seconds = 0;
  if (DosToSeconds(record.dosDate, record.dosTime, seconds) &&
      !detail::SetOutputFileTimes(output.file, seconds)) {
    return Fail(archive, ZipError::kFileWriteFailed);
  }
  if (!detail::CloseOutputFile(output.file)) {
    return Fail(archive, ZipError::kFileCloseFailed);
  }
  return true;
}

ZipError ZipTakeLastError(ZipArchive& archive) {
  const ZipError error = archive.lastError;
  archive.lastError = ZipError::kNone;
  return error;
}

bool ZipClose(ZipArchive& archive) {
  if (!archive.open) {
    return false;
  }
  archive = ZipArchive{};
  return true;
}

}  // namespace zip
