#include "pack/elf_image.h"

#include <cstring>

namespace pack {

namespace {

constexpr std::uint64_t kHeaderSize = 64;
constexpr std::uint64_t kProgramHeaderSize = 56;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kLittleEndian = 1;
constexpr std::uint16_t kTypeExecutable = 2;
constexpr std::uint16_t kTypeShared = 3;
constexpr std::uint32_t kSegmentLoad = 1;
constexpr std::uint32_t kSegmentWritable = 2;

std::uint64_t Get(const unsigned char* p, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = value << 8 | p[i];
  }
  return value;
}

}  // namespace

bool ParseElfImage(const unsigned char* bytes, std::uint64_t size, ElfImage& image,
                   std::string& error) {
  image = ElfImage();
  if (size < kHeaderSize || std::memcmp(bytes,
                                        "\x7F"
                                        "ELF",
                                        4) != 0) {
    error = "not an ELF executable";
    return false;
  }
  if (bytes[4] != kClass64 || bytes[5] != kLittleEndian) {
    error = "not a 64-bit little-endian ELF executable";
    return false;
  }
  const std::uint64_t type = Get(bytes + 16, 2);
  if (type != kTypeExecutable && type != kTypeShared) {
    error = "an ELF file but not an executable";
    return false;
  }
  const std::uint64_t programHeaders = Get(bytes + 32, 8);
  const std::uint64_t entrySize = Get(bytes + 54, 2);
  const std::uint64_t count = Get(bytes + 56, 2);
  if (entrySize != kProgramHeaderSize || programHeaders > size ||
      (size - programHeaders) / kProgramHeaderSize < count) {
    error = "its program headers lie outside the file";
    return false;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* header = bytes + programHeaders + i * kProgramHeaderSize;
    if (Get(header, 4) != kSegmentLoad) {
      continue;
    }
    ElfSegment segment;
    segment.writable = (Get(header + 4, 4) & kSegmentWritable) != 0;
    segment.fileOffset = Get(header + 8, 8);
    segment.fileSize = Get(header + 32, 8);
    if (segment.fileOffset > size || size - segment.fileOffset < segment.fileSize) {
      error = "a loaded segment lies outside the file";
      return false;
    }
    image.loaded.push_back(segment);
  }
  return true;
}

bool IsInReadOnlySegment(const ElfImage& image, std::uint64_t offset, std::uint64_t length) {
  bool found = false;
  for (const ElfSegment& segment : image.loaded) {
    if (offset >= segment.fileOffset && offset - segment.fileOffset < segment.fileSize &&
        length <= segment.fileSize - (offset - segment.fileOffset)) {
      // Segments may share a page's bytes; a writable one among them counts.
      if (segment.writable) {
        return false;
      }
      found = true;
    }
  }
  return found;
}

}  // namespace pack
