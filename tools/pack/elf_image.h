// Reading the program headers of a 64-bit little-endian ELF executable, enough to tell whether some
// of its bytes are loaded read-only, and pointing a stub's payload slot at the archive added to it.
#ifndef PACK_ELF_IMAGE_H
#define PACK_ELF_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pack {

/// The first bytes of every ELF file.
constexpr char kElfMagic[] = {'\x7F', 'E', 'L', 'F'};
constexpr std::size_t kElfMagicSize = sizeof kElfMagic;

/// One loaded segment (a PT_LOAD program header at `headerOffset`).
struct ElfSegment {
  std::uint64_t headerOffset = 0;
  std::uint64_t fileOffset = 0;
  std::uint64_t fileSize = 0;
  std::uint64_t address = 0;
  std::uint64_t memorySize = 0;
  std::uint64_t alignment = 0;
  bool writable = false;
};

/// What ParseElfImage found: the loaded segments, and the section header table's offset and entry
/// count (0 entries when the file has none).
struct ElfImage {
  std::vector<ElfSegment> loaded;
  std::uint64_t sectionHeaders = 0;
  std::uint64_t sectionCount = 0;
};

/// Parses `size` bytes as a 64-bit little-endian ELF executable or position-independent executable.
/// Returns false with `error` set when they are no such file, are cut short, or a loaded segment's
/// file bytes or the section header table lie outside the file.
bool ParseElfImage(const unsigned char* bytes, std::uint64_t size, ElfImage& image,
                   std::string& error);

/// True when the file bytes from `offset` for `length` lie in one loaded segment and in no writable
/// one.
bool IsInReadOnlySegment(const ElfImage& image, std::uint64_t offset, std::uint64_t length);

/// Points the payload slot of the stub `bytes` (parsed into `image`) at `contentSize` bytes to
/// follow the image in the file. The slot is the one loaded segment holding exactly the open-slot
/// record of payload/payload_trailer.h, read-only and above every other segment; its program
/// header, and the section header covering it (for tools that rewrite a file from its sections),
/// keep the address and get `contentSize` and the file offset `contentOffset`: the first at or
/// after the end of `bytes` that agrees with the address modulo the alignment (at least 4 KiB).
/// Returns false with `error` set, changing nothing, when the image already carries an archive (in
/// its slot, or a valid trailer ends the file), has no such slot, or the content would not fit the
/// address space.
bool FillPayloadSlot(std::vector<unsigned char>& bytes, const ElfImage& image,
                     std::uint64_t contentSize, std::uint64_t& contentOffset, std::string& error);

}  // namespace pack

#endif  // PACK_ELF_IMAGE_H
