// The central directory walk of bench_floor_libdeflate and bench_floor_win32:
// the entries of an archive as our packer or Python's zipfile writes it (no
// Zip64, no data descriptors, no encryption), read through the ZIP format
// module's bounds-checked records. Header-only, no OS calls.
#ifndef STARTER_BENCH_FLOOR_ARCHIVE_H
#define STARTER_BENCH_FLOOR_ARCHIVE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zip/zip_format.h"

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

/// Lists the entries of the `size` bytes at `bytes` in central directory
/// order. On failure returns false with `error` set; `entries` then holds the
/// entries read before the fault.
inline bool ReadEntries(const unsigned char* bytes, std::size_t size, std::vector<Entry>& entries,
                        std::string& error) {
  entries.clear();
  if (size < zip::kEndRecordSize) {
    error = "not an archive";
    return false;
  }
  // The end record, searched for from the end past a comment of any length.
  std::uint64_t endOffset = size - zip::kEndRecordSize;
  const std::uint64_t first =
      endOffset > zip::kMaxFieldLength ? endOffset - zip::kMaxFieldLength : 0;
  zip::EndRecord end;
  while (!zip::ParseEndRecord(bytes, size, endOffset, end)) {
    if (endOffset == first) {
      error = "no end record";
      return false;
    }
    --endOffset;
  }
  if (end.entryCount == zip::kMarker16 || end.directoryOffset == zip::kMarker32) {
    error = "Zip64 archives are not handled";
    return false;
  }
  const std::uint64_t directoryOffset = end.directoryOffset;
  std::uint64_t offset = directoryOffset;
  for (std::uint16_t i = 0; i < end.entryCount; ++i) {
    zip::CentralRecord record;
    if (!zip::ParseCentralRecord(bytes, endOffset, offset, record)) {
      error = "bad central record";
      return false;
    }
    offset += zip::RecordLength(record);
    Entry entry;
    entry.name.assign(record.name);
    entry.folder = !entry.name.empty() && entry.name.back() == '/';
    entry.method = record.method;
    entry.crc32 = record.crc32;
    entry.compressedSize = record.compressedSize;
    entry.uncompressedSize = record.uncompressedSize;
    if ((record.flags & (zip::kFlagEncrypted | zip::kFlagDataDescriptor)) != 0) {
      error = entry.name + ": encrypted or with a data descriptor";
      return false;
    }
    zip::LocalHeader local;
    if (!zip::ParseLocalHeader(bytes, directoryOffset, record.localHeaderOffset, local)) {
      error = entry.name + ": bad local header";
      return false;
    }
    const std::uint64_t dataOffset = record.localHeaderOffset + zip::RecordLength(local);
    if (!zip::RangeFits(dataOffset, entry.compressedSize, directoryOffset)) {
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
