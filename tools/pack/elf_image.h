// Reading the program headers of a 64-bit little-endian ELF executable: enough
// to tell whether some of its bytes are loaded read-only.
#ifndef PACK_ELF_IMAGE_H
#define PACK_ELF_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

/// One loaded segment (a PT_LOAD program header).
struct ElfSegment {
  std::uint64_t fileOffset = 0;
  std::uint64_t fileSize = 0;
  bool writable = false;
};

/// What ParseElfImage found.
struct ElfImage {
  std::vector<ElfSegment> loaded;
};

/// Parses the `size` bytes at `bytes` as a 64-bit little-endian ELF
/// executable or position-independent executable, checking the header and
/// every program header against the bytes. Returns false with `error` set
/// when they are no such file, are cut short, or a loaded segment's file
/// bytes lie outside the file.
bool ParseElfImage(const unsigned char* bytes, std::uint64_t size, ElfImage& image,
                   std::string& error);

/// True when the file bytes from `offset` for `length` lie in one loaded
/// segment that is not writable.
bool IsInReadOnlySegment(const ElfImage& image, std::uint64_t offset, std::uint64_t length);

}  // namespace pack

#endif  // PACK_ELF_IMAGE_H
