// Test support for the packer's unit tests: building trees on disk, packing
// them, and reading archives back with a parser independent of the lister.
#ifndef PACK_PACK_TEST_SUPPORT_H
#define PACK_PACK_TEST_SUPPORT_H

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pack/archive_writer.h"
#include "pack/tree_walk.h"
#include "testing/temp_folder.h"
#include "zip/zip_format.h"

namespace pack_test {

/// One entry as read back: the central record's fields plus the unpacked data
/// and the local header's extra-field length.
struct ReadBackEntry {
  std::string name;
  std::uint16_t versionMadeBy = 0;
  std::uint16_t versionNeeded = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t localHeaderOffset = 0;
  std::uint16_t localExtraLength = 0;
  std::uint64_t dataEnd = 0;  // offset just past the entry's data
  std::string data;           // unpacked
};

/// The little-endian value at offset `at` of `b`; `at` + width must fit.
inline std::uint16_t Le16(const std::string& b, std::size_t at) {
  return zip::LoadLe16(reinterpret_cast<const unsigned char*>(b.data()) + at);
}

inline std::uint32_t Le32(const std::string& b, std::size_t at) {
  return zip::LoadLe32(reinterpret_cast<const unsigned char*>(b.data()) + at);
}

/// Inflates raw deflate `input`; false when it is damaged or incomplete.
inline bool InflateRaw(const std::string& input, std::string& output) {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -15) != Z_OK) {
    return false;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  output.clear();
  int result = Z_OK;
  char buffer[65536];
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    output.append(buffer, sizeof buffer - stream.avail_out);
  }
  const bool ok = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return ok;
}

/// Reads a whole archive through zip/zip_format.h's records: the end record at
/// the very end (no comment), every central record, every local header and the
/// data (inflated and CRC-checked). Returns false with `error` on anything
/// unexpected.
inline bool ReadBack(const std::string& bytes, std::vector<ReadBackEntry>& entries,
                     std::string& error) {
  entries.clear();
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  zip::EndRecord endRecord;
  if (bytes.size() < zip::kEndRecordSize ||
      !zip::ParseEndRecord(data, bytes.size(), bytes.size() - zip::kEndRecordSize, endRecord)) {
    error = "no end record without comment at the end";
    return false;
  }
  const std::size_t end = bytes.size() - zip::kEndRecordSize;
  std::size_t at = endRecord.directoryOffset;
  if (std::uint64_t{at} + endRecord.directorySize != end) {
    error = "central directory not right before the end record";
    return false;
  }
  for (std::size_t i = 0; i < endRecord.entryCount; ++i) {
    zip::CentralRecord record;
    if (!zip::ParseCentralRecord(data, end, at, record)) {
      error = "bad central record";
      return false;
    }
    at += static_cast<std::size_t>(zip::RecordLength(record));
    ReadBackEntry e;
    e.name = std::string(record.name);
    e.versionMadeBy = record.versionMadeBy;
    e.versionNeeded = record.versionNeeded;
    e.flags = record.flags;
    e.method = record.method;
    e.dosTime = record.dosTime;
    e.dosDate = record.dosDate;
    e.crc32 = record.crc32;
    e.compressedSize = record.compressedSize;
    e.uncompressedSize = record.uncompressedSize;
    e.externalAttributes = record.externalAttributes;
    e.localHeaderOffset = record.localHeaderOffset;
    zip::LocalHeader local;
    if (!zip::ParseLocalHeader(data, bytes.size(), e.localHeaderOffset, local)) {
      error = "bad local header for " + e.name;
      return false;
    }
    e.localExtraLength = static_cast<std::uint16_t>(local.extra.size());
    const std::uint64_t dataStart = e.localHeaderOffset + zip::RecordLength(local);
    if (local.name != e.name || local.method != e.method || local.crc32 != e.crc32 ||
        local.compressedSize != e.compressedSize || local.uncompressedSize != e.uncompressedSize ||
        local.flags != e.flags) {
      error = "local header disagrees for " + e.name;
      return false;
    }
    if (!zip::RangeFits(dataStart, e.compressedSize, bytes.size())) {
      error = "data out of range for " + e.name;
      return false;
    }
    const std::string raw = bytes.substr(static_cast<std::size_t>(dataStart), e.compressedSize);
    e.dataEnd = dataStart + e.compressedSize;
    if (e.method == zip::kMethodStored) {
      e.data = raw;
    } else if (e.method != zip::kMethodDeflate || !InflateRaw(raw, e.data)) {
      error = "cannot unpack " + e.name;
      return false;
    }
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
    if (e.data.size() != e.uncompressedSize || crc != e.crc32) {
      error = "size or CRC wrong for " + e.name;
      return false;
    }
    entries.push_back(std::move(e));
  }
  return true;
}

/// `length` bytes of deterministic incompressible data.
inline std::string RandomBytes(std::size_t length, unsigned seed) {
  std::mt19937 engine(seed);
  std::string out(length, '\0');
  for (char& c : out) {
    c = static_cast<char>(engine() & 0xFF);
  }
  return out;
}

/// `length` bytes of deterministic, well compressible text.
inline std::string TextBytes(std::size_t length, unsigned seed) {
  std::mt19937 engine(seed);
  static const char* const kWords[] = {"alpha ",   "beta ", "gamma ", "delta\n",
                                       "epsilon ", "zeta ", "eta ",   "theta\n"};
  std::string out;
  while (out.size() < length) {
    out += kWords[engine() % 8];
  }
  out.resize(length);
  return out;
}

/// Creates `relative` below `root` (parents too) holding `bytes`.
inline void PutFile(const testing_support::TempFolder& root, const std::string& relative,
                    const std::string& bytes) {
  const std::filesystem::path path = root / relative;
  std::filesystem::create_directories(path.parent_path());
  testing_support::WriteFileBytes(path, bytes);
}

/// Walks `root` and writes `output`; returns "" on success or the error.
inline std::string Pack(const std::filesystem::path& root, const std::filesystem::path& output,
                        pack::WriteOptions options = pack::WriteOptions(),
                        pack::WalkOptions walk = pack::WalkOptions()) {
  std::vector<pack::TreeEntry> entries;
  std::string error;
  if (!pack::WalkTree(root.string(), walk, entries, error)) {
    return "walk: " + error;
  }
  pack::WriteSummary summary;
  if (!pack::WriteArchive(entries, output.string(), options, summary, error)) {
    return "write: " + error;
  }
  return std::string();
}

/// What WalkTree gave for a folder.
struct WalkResult {
  bool ok = false;
  std::string error;
  std::vector<pack::TreeEntry> entries;
};

/// Walks `root`, following symbolic links when `follow`.
inline WalkResult Walk(const std::filesystem::path& root, bool follow = false) {
  WalkResult result;
  pack::WalkOptions options;
  options.followSymlinks = follow;
  result.ok = pack::WalkTree(root.string(), options, result.entries, result.error);
  return result;
}

/// The entry names of a walk, in its order.
inline std::vector<std::string> Names(const WalkResult& result) {
  std::vector<std::string> names;
  for (const auto& e : result.entries) {
    names.push_back(e.name);
  }
  return names;
}

/// The names of the files and folders directly in `folder`.
inline std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  return names;
}

}  // namespace pack_test

#endif  // PACK_PACK_TEST_SUPPORT_H
