#include "zip/zip_reader.h"

#include <zlib.h>

#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "zip/zip_output.h"

namespace zip {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralRecordSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;

constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kCentralRecordSize = 46;
constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kZip64EndRecordSize = 56;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kMaxCommentLength = 0xFFFF;

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint32_t kMarker32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMarker16 = 0xFFFFu;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagPatchData = 0x0020;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint32_t kDosDirectoryAttribute = 0x10;
constexpr unsigned kHostUnix = 3;

// Sizes of the extraction loop. The output buffer is large enough that the
// per-call overhead of inflate and write() disappears, small enough to stay
// in cache; stored data is written straight from the block.
constexpr std::size_t kMaxInflateBuffer = 512 * 1024;
constexpr std::size_t kMinInflateBuffer = 16 * 1024;
constexpr std::uint64_t kMaxInflateInput = 1u << 30;  // avail_in is a uInt
constexpr std::uint64_t kStoredChunk = 4 * 1024 * 1024;

const char* const kErrorTexts[] = {
    "no error",
    "undefined error",
    "too many files",
    "file too large",
    "unsupported method",
    "unsupported encryption",
    "unsupported feature",
    "failed finding central directory",
    "not a ZIP archive",
    "invalid header or archive is corrupted",
    "unsupported multidisk archive",
    "decompression failed or archive is corrupted",
    "compression failed",
    "unexpected decompressed size",
    "CRC-32 check failed",
    "unsupported central directory size",
    "allocation failed",
    "file open failed",
    "file create failed",
    "file write failed",
    "file read failed",
    "file close failed",
    "file seek failed",
    "file stat failed",
    "invalid parameter",
    "invalid filename",
    "buffer too small",
    "internal error",
    "file not found",
    "archive is too large",
    "validation failed",
    "write callback failed",
};
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) ==
                  static_cast<std::size_t>(ZipError::kWriteCallbackFailed) + 1,
              "one text per error code");

std::uint16_t Read16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Read32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Read64(const unsigned char* p) {
  return static_cast<std::uint64_t>(Read32(p)) | (static_cast<std::uint64_t>(Read32(p + 4)) << 32);
}

// True when [offset, offset + length) lies within [0, limit), without the sum
// overflowing.
bool RangeFits(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

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

// The fields of one central record; the name stays in the block.
struct CentralRecord {
  std::uint16_t versionMadeBy;
  std::uint16_t versionNeeded;
  std::uint16_t flags;
  std::uint16_t method;
  std::uint16_t dosTime;
  std::uint16_t dosDate;
  std::uint32_t crc32;
  std::uint64_t compressedSize;
  std::uint64_t uncompressedSize;
  std::uint64_t localHeaderOffset;
  std::uint32_t externalAttributes;
  const unsigned char* name;
  std::uint16_t nameLength;
  std::uint64_t recordLength;  // fixed part, name, extra field and comment
};

// Reads the Zip64 extended information field out of `extra`, replacing each
// value whose 32-bit (or 16-bit) field holds the marker, in the fixed order
// the format gives them.
ZipError ApplyZip64Extra(const unsigned char* extra, std::uint64_t extraLength,
                         bool needUncompressed, bool needCompressed, bool needOffset, bool needDisk,
                         CentralRecord& record, std::uint32_t& diskStart) {
  std::uint64_t pos = 0;
  while (extraLength - pos >= 4) {
    const std::uint16_t id = Read16(extra + pos);
    const std::uint64_t length = Read16(extra + pos + 2);
    const std::uint64_t body = pos + 4;
    if (length > extraLength - body) {
      break;  // a malformed tail; some writers pad the field
    }
    if (id == kZip64ExtraId) {
      const std::uint64_t needed = (needUncompressed ? 8 : 0) + (needCompressed ? 8 : 0) +
                                   (needOffset ? 8 : 0) + (needDisk ? 4 : 0);
      if (needed > length) {
        return ZipError::kInvalidHeader;
      }
      const unsigned char* p = extra + body;
      if (needUncompressed) {
        record.uncompressedSize = Read64(p);
        p += 8;
      }
      if (needCompressed) {
        record.compressedSize = Read64(p);
        p += 8;
      }
      if (needOffset) {
        record.localHeaderOffset = Read64(p);
        p += 8;
      }
      if (needDisk) {
        diskStart = Read32(p);
      }
      return ZipError::kNone;
    }
    pos = body + length;
  }
  return ZipError::kInvalidHeader;
}

// Parses the central record at `offset`, which must lie with all its parts
// before `directoryEnd`.
ZipError ParseCentralRecord(const unsigned char* data, std::uint64_t offset,
                            std::uint64_t directoryEnd, CentralRecord& record) {
  if (!RangeFits(offset, kCentralRecordSize, directoryEnd)) {
    return ZipError::kInvalidHeader;
  }
  const unsigned char* p = data + offset;
  if (Read32(p) != kCentralRecordSignature) {
    return ZipError::kInvalidHeader;
  }
  record.versionMadeBy = Read16(p + 4);
  record.versionNeeded = Read16(p + 6);
  record.flags = Read16(p + 8);
  record.method = Read16(p + 10);
  record.dosTime = Read16(p + 12);
  record.dosDate = Read16(p + 14);
  record.crc32 = Read32(p + 16);
  record.compressedSize = Read32(p + 20);
  record.uncompressedSize = Read32(p + 24);
  record.nameLength = Read16(p + 28);
  const std::uint64_t extraLength = Read16(p + 30);
  const std::uint64_t commentLength = Read16(p + 32);
  std::uint32_t diskStart = Read16(p + 34);
  record.externalAttributes = Read32(p + 38);
  record.localHeaderOffset = Read32(p + 42);
  record.recordLength = kCentralRecordSize + record.nameLength + extraLength + commentLength;
  if (!RangeFits(offset, record.recordLength, directoryEnd)) {
    return ZipError::kInvalidHeader;
  }
  record.name = p + kCentralRecordSize;

  const bool needUncompressed = record.uncompressedSize == kMarker32;
  const bool needCompressed = record.compressedSize == kMarker32;
  const bool needOffset = record.localHeaderOffset == kMarker32;
  const bool needDisk = diskStart == kMarker16;
  if (needUncompressed || needCompressed || needOffset || needDisk) {
    const ZipError error =
        ApplyZip64Extra(record.name + record.nameLength, extraLength, needUncompressed,
                        needCompressed, needOffset, needDisk, record, diskStart);
    if (error != ZipError::kNone) {
      return error;
    }
  }
  if (diskStart != 0) {
    return ZipError::kMultiDiskUnsupported;
  }
  return ZipError::kNone;
}

bool IsDirectoryRecord(const CentralRecord& record) {
  return (record.nameLength > 0 && record.name[record.nameLength - 1] == '/') ||
         (record.externalAttributes & kDosDirectoryAttribute) != 0;
}

// Finds the end record: the last signature from which a record with its
// whole comment reaches exactly the end of the block. Requiring the exact end
// keeps a comment that happens to contain the signature from misleading us.
bool FindEndRecord(const unsigned char* data, std::uint64_t size, std::uint64_t& endOffset) {
  const std::uint64_t last = size - kEndRecordSize;
  const std::uint64_t first = last > kMaxCommentLength ? last - kMaxCommentLength : 0;
  for (std::uint64_t pos = last + 1; pos-- > first;) {
    const unsigned char* p = data + pos;
    if (p[0] == 0x50 && Read32(p) == kEndRecordSignature &&
        pos + kEndRecordSize + Read16(p + 20) == size) {
      endOffset = pos;
      return true;
    }
  }
  return false;
}

// The MS-DOS date and time, read as local time. Returns false when the C
// library cannot represent them.
bool DosToSeconds(std::uint16_t dosDate, std::uint16_t dosTime, std::int64_t& seconds) {
  std::tm local{};
  local.tm_year = 80 + (dosDate >> 9);
  local.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
  local.tm_mday = dosDate & 0x1F;
  local.tm_hour = dosTime >> 11;
  local.tm_min = (dosTime >> 5) & 0x3F;
  local.tm_sec = (dosTime & 0x1F) * 2;
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
  const auto index = static_cast<std::size_t>(error);
  if (index >= sizeof(kErrorTexts) / sizeof(kErrorTexts[0])) {
    return "unknown error";
  }
  return kErrorTexts[index];
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
  const unsigned char* end = bytes + endOffset;
  const std::uint16_t diskNumber = Read16(end + 4);
  const std::uint16_t directoryDisk = Read16(end + 6);
  const std::uint16_t entriesOnDisk = Read16(end + 8);
  std::uint64_t entryCount = Read16(end + 10);
  std::uint64_t directorySize = Read32(end + 12);
  std::uint64_t directoryOffset = Read32(end + 16);
  // Where the central directory must end: at the first end record.
  std::uint64_t directoryLimit = endOffset;

  const bool hasLocator = endOffset >= kZip64LocatorSize &&
                          Read32(bytes + endOffset - kZip64LocatorSize) == kZip64LocatorSignature;
  if (hasLocator) {
    const std::uint64_t locatorOffset = endOffset - kZip64LocatorSize;
    const unsigned char* locator = bytes + locatorOffset;
    const std::uint32_t zip64EndDisk = Read32(locator + 4);
    const std::uint64_t zip64EndOffset = Read64(locator + 8);
    const std::uint32_t totalDisks = Read32(locator + 16);
    if (zip64EndDisk != 0 || totalDisks > 1) {
      return FailOpen(archive, ZipError::kMultiDiskUnsupported);
    }
    if (!RangeFits(zip64EndOffset, kZip64EndRecordSize, locatorOffset)) {
      return FailOpen(archive, ZipError::kInvalidHeader);
    }
    const unsigned char* zip64End = bytes + zip64EndOffset;
    const std::uint64_t recordSize = Read64(zip64End + 4);
    // The size counts the bytes after its own 12; compared without adding to
    // it, since a size near 2^64 would wrap the sum.
    if (Read32(zip64End) != kZip64EndRecordSignature || recordSize < kZip64EndRecordSize - 12 ||
        recordSize > locatorOffset - zip64EndOffset - 12) {
      return FailOpen(archive, ZipError::kInvalidHeader);
    }
    const std::uint32_t zip64Disk = Read32(zip64End + 16);
    const std::uint32_t zip64DirectoryDisk = Read32(zip64End + 20);
    const std::uint64_t zip64EntriesOnDisk = Read64(zip64End + 24);
    const std::uint64_t zip64EntryCount = Read64(zip64End + 32);
    if (zip64Disk != 0 || zip64DirectoryDisk != 0 || zip64EntriesOnDisk != zip64EntryCount) {
      return FailOpen(archive, ZipError::kMultiDiskUnsupported);
    }
    entryCount = zip64EntryCount;
    directorySize = Read64(zip64End + 40);
    directoryOffset = Read64(zip64End + 48);
    directoryLimit = zip64EndOffset;
    // The 16-bit fields of the plain end record only count when not markers.
    if ((diskNumber != 0 && diskNumber != kMarker16) ||
        (directoryDisk != 0 && directoryDisk != kMarker16)) {
      return FailOpen(archive, ZipError::kMultiDiskUnsupported);
    }
  } else if (diskNumber != 0 || directoryDisk != 0 || entriesOnDisk != entryCount) {
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
    CentralRecord record;
    const ZipError error = ParseCentralRecord(bytes, pos, directoryEnd, record);
    if (error != ZipError::kNone) {
      return FailOpen(archive, error);
    }
    opened.recordOffsets.push_back(pos);  // capacity reserved above
    pos += record.recordLength;
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
  CentralRecord parsed;
  const ZipError error =
      ParseCentralRecord(archive.data, archive.recordOffsets[index],
                         archive.centralDirectoryOffset + archive.centralDirectorySize, parsed);
  if (error != ZipError::kNone) {
    return Fail(archive, ZipError::kInternalError);  // checked at open; the block changed
  }
  ZipEntryRecord result;
  try {
    result.name.assign(reinterpret_cast<const char*>(parsed.name), parsed.nameLength);
  } catch (...) {
    return Fail(archive, ZipError::kAllocationFailed);
  }
  result.index = index;
  result.isDirectory = IsDirectoryRecord(parsed);
  result.compressedSize = parsed.compressedSize;
  result.uncompressedSize = parsed.uncompressedSize;
  result.localHeaderOffset = parsed.localHeaderOffset;
  result.crc32 = parsed.crc32;
  result.method = parsed.method;
  result.flags = parsed.flags;
  result.dosTime = parsed.dosTime;
  result.dosDate = parsed.dosDate;
  result.versionMadeBy = parsed.versionMadeBy;
  result.versionNeeded = parsed.versionNeeded;
  result.externalAttributes = parsed.externalAttributes;
  record = std::move(result);
  return true;
}

namespace {

// An entry's data, found and checked, ready to be written.
struct EntryToWrite {
  CentralRecord record;
  const unsigned char* data = nullptr;
};

// The checks made before any output file is opened, in the order the header
// gives them.
ZipError FindEntryToWrite(const ZipArchive& archive, std::uint32_t index, EntryToWrite& entry) {
  if (!archive.open || index >= archive.recordOffsets.size()) {
    return ZipError::kInvalidParameter;
  }
  CentralRecord& record = entry.record;
  if (ParseCentralRecord(archive.data, archive.recordOffsets[index],
                         archive.centralDirectoryOffset + archive.centralDirectorySize,
                         record) != ZipError::kNone) {
    return ZipError::kInternalError;  // checked at open; the block changed
  }
  if (IsDirectoryRecord(record) ||
      (record.flags & (kFlagEncrypted | kFlagPatchData | kFlagStrongEncryption)) != 0 ||
      (record.method != kMethodStored && record.method != kMethodDeflate)) {
    return ZipError::kUnsupportedFeature;
  }

  // Entry data lies in front of the central directory.
  const std::uint64_t dataLimit = archive.centralDirectoryOffset;
  if (!RangeFits(record.localHeaderOffset, kLocalHeaderSize, dataLimit)) {
    return ZipError::kInvalidHeader;
  }
  const unsigned char* local = archive.data + record.localHeaderOffset;
  if (Read32(local) != kLocalHeaderSignature) {
    return ZipError::kInvalidHeader;
  }
  const std::uint64_t dataOffset =
      record.localHeaderOffset + kLocalHeaderSize + Read16(local + 26) + Read16(local + 28);
  if (!RangeFits(dataOffset, record.compressedSize, dataLimit)) {
    return ZipError::kInvalidHeader;
  }
  entry.data = archive.data + dataOffset;
  return ZipError::kNone;
}

std::uint32_t NewFileMode(std::uint16_t versionMadeBy, std::uint32_t externalAttributes) {
  const bool unixHost = (versionMadeBy >> 8) == kHostUnix;
  const std::uint32_t unixMode = (externalAttributes >> 16) & 0777;
  // The owner keeps read and write permission, so that a later extraction
  // into the same folder can overwrite what this one wrote.
  return unixHost && unixMode != 0 ? unixMode | 0600 : 0666;
}

// Writes the checked entry into `output`, which is open, and closes it.
ZipError WriteEntry(const EntryToWrite& entry, OutputGuard& output) {
  const CentralRecord& record = entry.record;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t bufferSize = 0;
  InflateGuard inflater;
  if (record.method == kMethodDeflate) {
    // Small entries get a small buffer; the size only bounds the allocation
    // and never decides correctness.
    bufferSize = record.uncompressedSize < kMaxInflateBuffer
                     ? static_cast<std::size_t>(record.uncompressedSize)
                     : kMaxInflateBuffer;
    if (bufferSize < kMinInflateBuffer) {
      bufferSize = kMinInflateBuffer;
    }
    buffer.reset(new (std::nothrow) unsigned char[bufferSize]);
    if (!buffer) {
      return ZipError::kAllocationFailed;
    }
    const int status = inflateInit2(&inflater.stream, -MAX_WBITS);
    if (status != Z_OK) {
      return status == Z_MEM_ERROR ? ZipError::kAllocationFailed : ZipError::kInternalError;
    }
    inflater.initialised = true;
  }

  std::uint64_t written = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  ZipError error =
      record.method == kMethodStored
          ? WriteStored(output.file, entry.data, record.compressedSize, record.uncompressedSize,
                        written, crc)
          : WriteInflated(output.file, inflater, buffer.get(), bufferSize, entry.data,
                          record.compressedSize, record.uncompressedSize, written, crc);
  if (error == ZipError::kNone && static_cast<std::uint32_t>(crc) != record.crc32) {
    error = ZipError::kDecompressionFailed;
  }
  if (error != ZipError::kNone) {
    return error;  // the guard closes the partial file
  }
  std::int64_t seconds = 0;
  if (DosToSeconds(record.dosDate, record.dosTime, seconds) &&
      !detail::SetOutputFileTimes(output.file, seconds)) {
    return ZipError::kFileWriteFailed;
  }
  if (!detail::CloseOutputFile(output.file)) {
    return ZipError::kFileCloseFailed;
  }
  return ZipError::kNone;
}

}  // namespace

std::uint32_t ZipEntryFileMode(const ZipEntryRecord& record) {
  return NewFileMode(record.versionMadeBy, record.externalAttributes);
}

bool ZipCheckEntryExtractable(ZipArchive& archive, std::uint32_t index) {
  EntryToWrite entry;
  const ZipError error = FindEntryToWrite(archive, index, entry);
  return error == ZipError::kNone || Fail(archive, error);
}

bool ZipExtractEntryToFile(ZipArchive& archive, std::uint32_t index, const char* outputPath) {
  if (outputPath == nullptr) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  EntryToWrite entry;
  ZipError error = FindEntryToWrite(archive, index, entry);
  if (error != ZipError::kNone) {
    return Fail(archive, error);
  }
  OutputGuard output;
  if (!detail::OpenOutputFile(
          output.file, outputPath,
          NewFileMode(entry.record.versionMadeBy, entry.record.externalAttributes))) {
    return Fail(archive, ZipError::kFileOpenFailed);
  }
  error = WriteEntry(entry, output);
  return error == ZipError::kNone || Fail(archive, error);
}

bool ZipExtractEntryToOpenFile(ZipArchive& archive, std::uint32_t index, std::intptr_t file) {
  // Taken over at once, so that every early return closes it.
  OutputGuard output;
  output.file.handle = file;
  if (file == -1) {
    return Fail(archive, ZipError::kInvalidParameter);
  }
  EntryToWrite entry;
  ZipError error = FindEntryToWrite(archive, index, entry);
  if (error == ZipError::kNone) {
    error = WriteEntry(entry, output);
  }
  return error == ZipError::kNone || Fail(archive, error);
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
