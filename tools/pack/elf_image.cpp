#include "pack/elf_image.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bytes/bytes.h"
#include "payload/payload_trailer.h"

namespace pack {

namespace {

using bytes::LoadLe16;
using bytes::LoadLe32;
using bytes::LoadLe64;
using bytes::StoreLe64;

// The file header, its fields and their values.
constexpr std::uint64_t kHeaderSize = 64;
constexpr std::uint64_t kClassField = 4;
constexpr std::uint64_t kDataEncodingField = 5;
constexpr std::uint64_t kTypeField = 16;
constexpr std::uint64_t kProgramHeadersField = 32;
constexpr std::uint64_t kSectionHeadersField = 40;
constexpr std::uint64_t kProgramHeaderSizeField = 54;
constexpr std::uint64_t kProgramHeaderCountField = 56;
constexpr std::uint64_t kSectionHeaderSizeField = 58;
constexpr std::uint64_t kSectionHeaderCountField = 60;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kLittleEndian = 1;
constexpr std::uint16_t kTypeExecutable = 2;
constexpr std::uint16_t kTypeShared = 3;

// A program header, its fields and their values.
constexpr std::uint64_t kProgramHeaderSize = 56;
constexpr std::uint64_t kSegmentTypeField = 0;
constexpr std::uint64_t kSegmentFlagsField = 4;
constexpr std::uint64_t kSegmentOffsetField = 8;
constexpr std::uint64_t kSegmentAddressField = 16;
constexpr std::uint64_t kSegmentFileSizeField = 32;
constexpr std::uint64_t kSegmentMemorySizeField = 40;
constexpr std::uint64_t kSegmentAlignmentField = 48;
constexpr std::uint32_t kSegmentLoad = 1;
constexpr std::uint32_t kSegmentWritable = 2;
constexpr std::uint64_t kMinimumAlignment = 4096;

// A section header, its fields and their values.
constexpr std::uint64_t kSectionHeaderSize = 64;
constexpr std::uint64_t kSectionFlagsField = 8;
constexpr std::uint64_t kSectionAddressField = 16;
constexpr std::uint64_t kSectionOffsetField = 24;
constexpr std::uint64_t kSectionSizeField = 32;
constexpr std::uint32_t kSectionFlagAlloc = 2;

// How every check below refuses: `error` says why.
bool Refuse(std::string& error, std::string why) {
  error = std::move(why);
  return false;
}

bool ReadSectionTable(const unsigned char* bytes, std::uint64_t size, ElfImage& image,
                      std::string& error) {
  const std::uint64_t offset = LoadLe64(bytes + kSectionHeadersField);
  const std::uint64_t count = LoadLe16(bytes + kSectionHeaderCountField);
  if (count != 0 && (LoadLe16(bytes + kSectionHeaderSizeField) != kSectionHeaderSize ||
                     offset > size || (size - offset) / kSectionHeaderSize < count)) {
    return Refuse(error, "its section headers lie outside the file");
  }
  image.sectionHeaders = count == 0 ? 0 : offset;
  image.sectionCount = count;
  return true;
}

// The first loaded segment that is the open payload slot, or null; `filled`
// says whether a segment ends in a valid trailer, as a filled slot does.
const ElfSegment* FindOpenSlot(const unsigned char* bytes, const ElfImage& image, bool& filled) {
  const ElfSegment* open = nullptr;
  filled = false;
  for (const ElfSegment& segment : image.loaded) {
    const unsigned char* data = bytes + segment.fileOffset;
    PayloadTrailer trailer;
    open = open == nullptr && IsOpenPayloadSlot(data, segment.fileSize) ? &segment : open;
    filled = filled || (segment.fileSize >= kPayloadTrailerSize &&
                        CheckSlotTrailer(data + segment.fileSize - kPayloadTrailerSize,
                                         segment.fileSize, trailer) == SlotTrailerState::kValid);
  }
  return open;
}

// Refuses a `slot` that cannot take content.
bool CheckSlot(const ElfImage& image, const ElfSegment& slot, std::string& error) {
  if (slot.writable) {
    return Refuse(error, "its payload slot is writable");
  }
  if (slot.memorySize != slot.fileSize || slot.alignment == 0 ||
      (slot.alignment & (slot.alignment - 1)) != 0) {
    return Refuse(error, "its payload slot is malformed");
  }
  for (const ElfSegment& other : image.loaded) {
    if (&other != &slot &&
        (other.address > slot.address || other.memorySize > slot.address - other.address)) {
      return Refuse(error, "its payload slot is not above every other segment");
    }
  }
  return true;
}

// The file offset of the section header covering exactly `slot`, or 0.
std::uint64_t FindSlotSection(const unsigned char* bytes, const ElfImage& image,
                              const ElfSegment& slot) {
  for (std::uint64_t i = 0; i < image.sectionCount; ++i) {
    const unsigned char* header = bytes + image.sectionHeaders + i * kSectionHeaderSize;
    if ((LoadLe64(header + kSectionFlagsField) & kSectionFlagAlloc) != 0 &&
        LoadLe64(header + kSectionAddressField) == slot.address &&
        LoadLe64(header + kSectionOffsetField) == slot.fileOffset &&
        LoadLe64(header + kSectionSizeField) == slot.fileSize) {
      return image.sectionHeaders + i * kSectionHeaderSize;
    }
  }
  return 0;
}

}  // namespace

bool ParseElfImage(const unsigned char* bytes, std::uint64_t size, ElfImage& image,
                   std::string& error) {
  image = ElfImage();
  if (size < kHeaderSize || std::memcmp(bytes, kElfMagic, kElfMagicSize) != 0) {
    return Refuse(error, "not an ELF executable");
  }
  if (bytes[kClassField] != kClass64 || bytes[kDataEncodingField] != kLittleEndian) {
    return Refuse(error, "not a 64-bit little-endian ELF executable");
  }
  const std::uint64_t type = LoadLe16(bytes + kTypeField);
  if (type != kTypeExecutable && type != kTypeShared) {
    return Refuse(error, "an ELF file but not an executable");
  }
  const std::uint64_t programHeaders = LoadLe64(bytes + kProgramHeadersField);
  const std::uint64_t entrySize = LoadLe16(bytes + kProgramHeaderSizeField);
  const std::uint64_t count = LoadLe16(bytes + kProgramHeaderCountField);
  if (entrySize != kProgramHeaderSize || programHeaders > size ||
      (size - programHeaders) / kProgramHeaderSize < count) {
    return Refuse(error, "its program headers lie outside the file");
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* header = bytes + programHeaders + i * kProgramHeaderSize;
    if (LoadLe32(header + kSegmentTypeField) != kSegmentLoad) {
      continue;
    }
    ElfSegment segment;
    segment.headerOffset = programHeaders + i * kProgramHeaderSize;
    segment.writable = (LoadLe32(header + kSegmentFlagsField) & kSegmentWritable) != 0;
    segment.fileOffset = LoadLe64(header + kSegmentOffsetField);
    segment.fileSize = LoadLe64(header + kSegmentFileSizeField);
    segment.address = LoadLe64(header + kSegmentAddressField);
    segment.memorySize = LoadLe64(header + kSegmentMemorySizeField);
    segment.alignment = LoadLe64(header + kSegmentAlignmentField);
    if (segment.fileOffset > size || size - segment.fileOffset < segment.fileSize) {
      return Refuse(error, "a loaded segment lies outside the file");
    }
    if (segment.address > UINT64_MAX - segment.memorySize) {
      return Refuse(error, "a loaded segment reaches past the end of the address space");
    }
    image.loaded.push_back(segment);
  }
  return ReadSectionTable(bytes, size, image, error);
}

bool IsInReadOnlySegment(const ElfImage& image, std::uint64_t offset, std::uint64_t length) {
  const auto holds = [&](const ElfSegment& s) {
    return offset >= s.fileOffset && offset - s.fileOffset < s.fileSize &&
           length <= s.fileSize - (offset - s.fileOffset);
  };
  // Segments may share a page's bytes; a writable one among them counts.
  return std::any_of(image.loaded.begin(), image.loaded.end(), holds) &&
         std::none_of(image.loaded.begin(), image.loaded.end(),
                      [&](const ElfSegment& s) { return holds(s) && s.writable; });
}

bool FillPayloadSlot(std::vector<unsigned char>& bytes, const ElfImage& image,
                     std::uint64_t contentSize, std::uint64_t& contentOffset, std::string& error) {
  bool filled = false;
  const ElfSegment* slot = FindOpenSlot(bytes.data(), image, filled);
  const bool endsInTrailer =
      bytes.size() >= kPayloadTrailerSize &&
      ParsePayloadTrailer(bytes.data() + bytes.size() - kPayloadTrailerSize, bytes.size());
  if (endsInTrailer || (slot == nullptr && filled)) {
    return Refuse(error, "it already carries an archive");
  }
  if (slot == nullptr) {
    return Refuse(error, "it has no payload slot (a stub of an older build?)");
  }
  if (!CheckSlot(image, *slot, error)) {
    return false;
  }
  const std::uint64_t alignment = std::max(slot->alignment, kMinimumAlignment);
  const std::uint64_t end = bytes.size();
  const std::uint64_t offset = end + ((slot->address - end) & (alignment - 1));
  if (slot->address > UINT64_MAX - contentSize || offset > UINT64_MAX - contentSize) {
    return Refuse(error, "the archive does not fit the address space above its payload slot");
  }
  const std::uint64_t section = FindSlotSection(bytes.data(), image, *slot);
  unsigned char* header = bytes.data() + slot->headerOffset;
  StoreLe64(header + kSegmentOffsetField, offset);
  StoreLe64(header + kSegmentFileSizeField, contentSize);
  StoreLe64(header + kSegmentMemorySizeField, contentSize);
  if (section != 0) {
    StoreLe64(bytes.data() + section + kSectionOffsetField, offset);
    StoreLe64(bytes.data() + section + kSectionSizeField, contentSize);
  }
  contentOffset = offset;
  return true;
}

}  // namespace pack
