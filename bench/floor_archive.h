// The central directory walk of bench_floor_libdeflate and bench_floor_win32:
// the entries of an archive as our packer or Python's zipfile writes it (no
// Zip64, no data descriptors, no encryption), every offset and length checked
// against the mapped archive before it is used. Header-only, no OS calls.
#ifndef STARTER_BENCH_FLOOR_ARCHIVE_H
#define STARTER_BENCH_FLOOR_ARCHIVE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace floor_archive {

/// One entry, as its central directory record and local header give it.
struct Entry {
  std::string name;  // as stored: '/'-separated; a folder's ends in '/'
  bool folder = false;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  const unsigned char* data = nullptr;  // compressedSize bytes inside the archive
};

inline std::uint16_t Read16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t Read32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

/// Lists the entries of the `size` bytes at `bytes` in central directory
/// order. On failure returns false with `error` set; `entries` then holds the
/// entries read before the fault.
inline bool ReadEntries(const unsigned char* bytes, std::size_t size, std::vector<Entry>& entries,
                        std::string& error) {
  entries.clear();
  constexpr std::size_t kEndRecord = 22;
  constexpr std::size_t kCentralRecord = 46;
  constexpr std::size_t kLocalHeader = 30;
  if (size < kEndRecord) {
    error = "not an archive";
    return false;
  }
  // The end record, searched for from the end past a comment of any length.
  std::size_t end = size - kEndRecord;
  const std::size_t first = end > 0xFFFF ? end - 0xFFFF : 0;
  while (Read32(bytes + end) != 0x06054b50) {
    if (end == first) {
      error = "no end record";
      return false;
    }
    --end;
  }
  const std::uint16_t count = Read16(bytes + end + 10);
  const std::uint64_t directoryOffset = Read32(bytes + end + 16);
  if (count == 0xFFFF || directoryOffset == 0xFFFFFFFFu) {
    error = "Zip64 archives are not handled";
    return false;
  }
  std::uint64_t offset = directoryOffset;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (offset + kCentralRecord > end || Read32(bytes + offset) != 0x02014b50) {
      error = "bad central record";
      return false;
    }
    const unsigned char* record = bytes + offset;
    const std::uint16_t flags = Read16(record + 8);
    Entry entry;
    entry.method = Read16(record + 10);
    entry.crc32 = Read32(record + 16);
    entry.compressedSize = Read32(record + 20);
    entry.uncompressedSize = Read32(record + 24);
    const std::uint16_t nameLength = Read16(record + 28);
    const std::uint64_t recordLength =
        kCentralRecord + nameLength + Read16(record + 30) + Read16(record + 32);
    const std::uint64_t localOffset = Read32(record + 42);
    if (offset + recordLength > end) {
      error = "central record past the directory";
      return false;
    }
    entry.name.assign(reinterpret_cast<const char*>(record + kCentralRecord), nameLength);
    entry.folder = nameLength > 0 && entry.name.back() == '/';
    offset += recordLength;
    if ((flags & 0x0009) != 0) {
      error = entry.name + ": encrypted or with a data descriptor";
      return false;
    }
    if (localOffset + kLocalHeader > directoryOffset || Read32(bytes + localOffset) != 0x04034b50) {
      error = entry.name + ": bad local header";
      return false;
    }
    const unsigned char* local = bytes + localOffset;
    const std::uint64_t dataOffset =
        localOffset + kLocalHeader + Read16(local + 26) + Read16(local + 28);
    if (dataOffset + entry.compressedSize > directoryOffset) {
      error = entry.name + ": data past the end";
      return false;
    }
    entry.data = bytes + dataOffset;
    entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace floor_archive

#endif  // STARTER_BENCH_FLOOR_ARCHIVE_H
