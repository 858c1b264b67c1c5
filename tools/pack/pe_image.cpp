#include "pack/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>

#include "bytes/bytes.h"

namespace pack {

namespace {

using bytes::LoadLe16;
using bytes::LoadLe32;
using bytes::StoreLe16;
using bytes::StoreLe32;

// The MS-DOS header: kPeMagic at the start, the PE header's offset at 0x3C.
constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kDosPeOffsetField = 0x3C;

// The PE header: the signature, then the COFF file header.
constexpr char kSignature[] = {'P', 'E', '\0', '\0'};
constexpr std::uint32_t kSignatureSize = sizeof kSignature;
constexpr std::uint32_t kCoffHeaderSize = 20;
constexpr std::uint32_t kCoffMachine = 0;
constexpr std::uint32_t kCoffSectionCount = 2;
constexpr std::uint32_t kCoffOptionalHeaderSize = 16;
constexpr std::uint16_t kMachineAmd64 = 0x8664;

// The PE32+ optional header; the data directories (up to 16) end it.
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kOptionalMagic = 0;
constexpr std::uint32_t kOptionalMagicSize = 2;
constexpr std::uint32_t kOptionalSizeOfInitializedData = 8;
constexpr std::uint32_t kOptionalSectionAlignment = 32;
constexpr std::uint32_t kOptionalFileAlignment = 36;
constexpr std::uint32_t kOptionalSizeOfImage = 56;
constexpr std::uint32_t kOptionalSizeOfHeaders = 60;
constexpr std::uint32_t kOptionalChecksum = 64;
constexpr std::uint32_t kOptionalDirectoryCount = 108;
constexpr std::uint32_t kOptionalDirectories = 112;

// A data directory: an address (an RVA; a file offset for the certificate table) and a size. The
// loader needs those up to the base relocations.
constexpr std::uint32_t kDataDirectorySize = 8;
constexpr std::uint32_t kDataDirectoryAddress = 0;
constexpr std::uint32_t kDataDirectorySizeField = 4;
constexpr std::uint32_t kDirectoryResource = 2;
constexpr std::uint32_t kDirectorySecurity = 4;
constexpr std::uint32_t kMinDataDirectories = 6;
constexpr std::uint32_t kMaxDataDirectories = 16;

// A section table entry and its characteristics.
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kSectionNameSize = 8;
constexpr std::uint32_t kMaxSections = 96;
constexpr std::uint32_t kSectionName = 0;
constexpr std::uint32_t kSectionVirtualSize = 8;
constexpr std::uint32_t kSectionVirtualAddress = 12;
constexpr std::uint32_t kSectionRawSize = 16;
constexpr std::uint32_t kSectionRawOffset = 20;
constexpr std::uint32_t kSectionCharacteristics = 36;
constexpr std::uint32_t kSectionInitializedData = 0x00000040;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

// The names the packer gives the section it writes and the one it retires.
constexpr char kResourceSectionName[] = ".rsrc";
constexpr char kRetiredResourceSectionName[] = ".oldrsrc";

// A resource directory: the counts of its named and id entries, then those entries, each an id (or
// a name, high bit set) and the offset of a subdirectory (high bit set) or of a data entry.
constexpr std::uint32_t kResourceDirectorySize = 16;
constexpr std::uint32_t kResourceNamedEntryCount = 12;
constexpr std::uint32_t kResourceIdEntryCount = 14;
constexpr std::uint32_t kResourceEntrySize = 8;
constexpr std::uint32_t kResourceEntryId = 0;
constexpr std::uint32_t kResourceEntryTarget = 4;
constexpr std::uint32_t kResourceSubdirectory = 0x80000000;

// A resource data entry: its data's RVA, size and code page, a reserved word.
constexpr std::uint32_t kResourceDataEntrySize = 16;
constexpr std::uint32_t kResourceDataAddress = 0;
constexpr std::uint32_t kResourceDataSize = 4;
constexpr std::uint32_t kResourceDataCodePage = 8;
// Data blocks are aligned as resource compilers align them; more leaves than any stub has are
// refused, so the rebuilt tree stays small.
constexpr std::uint32_t kResourceDataAlignment = 8;
constexpr std::size_t kMaxResources = 4096;

// The levels of the resource tree, and the field of a resource that a level's ids are.
enum TreeLevel { kTypeLevel, kNameLevel, kLanguageLevel };
template <typename Resource>
auto& IdOn(int level, Resource& resource) {
  return level == kTypeLevel ? resource.type
                             : (level == kNameLevel ? resource.name : resource.language);
}

const char kNamedResources[] = "it has resources with names instead of numbers";

// How every check below refuses: `error` says why.
bool Refuse(std::string& error, std::string why) {
  error = std::move(why);
  return false;
}

bool IsPowerOfTwo(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

std::uint64_t AlignUp(std::uint64_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Whether the `length` bytes at `at` lie in the `size` bytes from `start`; never for an `at`
// outside them, even with no length.
bool Holds(std::uint64_t start, std::uint64_t size, std::uint64_t at, std::uint64_t length) {
  return at >= start && at - start < size && length <= size - (at - start);
}

// How far a section reaches in memory: without a virtual size, its raw size.
std::uint64_t Extent(const PeSection& section) {
  return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

// The first section whose raw data holds the `length` bytes at `rva`, or null.
const PeSection* SectionAt(const PeImage& image, std::uint64_t rva, std::uint64_t length) {
  for (const PeSection& section : image.sections) {
    if (Holds(section.virtualAddress, section.rawSize, rva, length)) {
      return &section;
    }
  }
  return nullptr;
}

// The file offset of data directory `index`; DataDirectory reads it.
std::uint64_t DataDirectoryAt(const PeImage& image, std::uint32_t index) {
  return image.optionalHeaderOffset + kOptionalDirectories + kDataDirectorySize * index +
         kDataDirectoryAddress;
}

std::pair<std::uint32_t, std::uint32_t> DataDirectory(const PeImage& image, std::uint32_t index) {
  const unsigned char* entry = image.bytes + DataDirectoryAt(image, index);
  return {LoadLe32(entry), LoadLe32(entry + kDataDirectorySizeField)};
}

// The resource tree at `base`, with `limit` bytes of its section from there on to check offsets
// against. Entries may name one directory many times over (60,000 types naming one directory of
// 60,000 names), while an unshared tree has bytes of its own for every visit: so visits are charged
// to `budget`, and a walk that reads more than the section holds is refused.
struct TreeReader {
  PeImage& image;
  const unsigned char* base = nullptr;
  std::uint64_t limit = 0;
  std::uint64_t budget = 0;
};

bool Charge(TreeReader& tree, std::uint64_t bytes, std::string& error) {
  if (bytes > tree.budget) {
    return Refuse(error,
                  "its resource tree refers to the same directories over and over "
                  "(it reads more bytes than its section holds)");
  }
  tree.budget -= bytes;
  return true;
}

// Reads the data entry at `target`, that of `resource`.
bool ReadDataEntry(TreeReader& tree, std::uint32_t target, PeResource resource,
                   std::string& error) {
  if (!Holds(0, tree.limit, target, kResourceDataEntrySize)) {
    return Refuse(error, "a resource data entry lies outside the resource section");
  }
  if (tree.image.resources.size() == kMaxResources) {
    return Refuse(error, "it has too many resources");
  }
  if (!Charge(tree, kResourceDataEntrySize, error)) {
    return false;
  }
  const unsigned char* entry = tree.base + target;
  const std::uint32_t rva = LoadLe32(entry + kResourceDataAddress);
  resource.size = LoadLe32(entry + kResourceDataSize);
  resource.codePage = LoadLe32(entry + kResourceDataCodePage);
  const PeSection* section = SectionAt(tree.image, rva, resource.size);
  if (section == nullptr) {
    return Refuse(error, "the data of resource " + std::to_string(resource.type) + "/" +
                             std::to_string(resource.name) + " lies outside the sections' data");
  }
  resource.data = tree.image.bytes + section->rawOffset + (rva - section->virtualAddress);
  tree.image.resources.push_back(resource);
  return true;
}

// Reads the directory at `offset` on `level` and what its entries refer to; `resource` holds the
// ids of the levels above.
bool ReadDirectory(TreeReader& tree, std::uint32_t offset, int level, PeResource resource,
                   std::string& error) {
  if (!Holds(0, tree.limit, offset, kResourceDirectorySize)) {
    return Refuse(error, "a resource directory lies outside the resource section");
  }
  const unsigned char* directory = tree.base + offset;
  const unsigned char* entries = directory + kResourceDirectorySize;
  const std::uint32_t ids = LoadLe16(directory + kResourceIdEntryCount);
  if (LoadLe16(directory + kResourceNamedEntryCount) != 0) {
    return Refuse(error, kNamedResources);
  }
  if ((tree.limit - offset - kResourceDirectorySize) / kResourceEntrySize < ids) {
    return Refuse(error, "a resource directory's entries lie outside the resource section");
  }
  if (!Charge(tree, kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * ids, error)) {
    return false;
  }
  for (std::uint32_t i = 0; i < ids; ++i) {
    if ((LoadLe32(entries + kResourceEntrySize * i + kResourceEntryId) & kResourceSubdirectory) !=
        0) {
      return Refuse(error, kNamedResources);
    }
  }
  for (std::uint32_t i = 0; i < ids; ++i) {
    const unsigned char* entry = entries + kResourceEntrySize * i;
    const std::uint32_t target = LoadLe32(entry + kResourceEntryTarget);
    const bool subdirectory = (target & kResourceSubdirectory) != 0;
    IdOn(level, resource) = LoadLe32(entry + kResourceEntryId);
    if (subdirectory != (level != kLanguageLevel)) {
      return Refuse(error, subdirectory ? "the resource tree is deeper than three levels"
                                        : "the resource tree is not three levels deep");
    }
    if (!(subdirectory
              ? ReadDirectory(tree, target & ~kResourceSubdirectory, level + 1, resource, error)
              : ReadDataEntry(tree, target, resource, error))) {
      return false;
    }
  }
  return true;
}

// Checks the MS-DOS header, the PE signature and the machine.
bool ReadFileHeader(PeImage& image, std::string& error) {
  const unsigned char* bytes = image.bytes;
  if (image.size < kDosHeaderSize || std::memcmp(bytes, kPeMagic, kPeMagicSize) != 0) {
    return Refuse(error, "not a Windows executable (no MZ header)");
  }
  const std::uint32_t peOffset = LoadLe32(bytes + kDosPeOffsetField);
  if (!Holds(0, image.size, peOffset, kSignatureSize + kCoffHeaderSize)) {
    return Refuse(error, "the PE header lies outside the file");
  }
  if (std::memcmp(bytes + peOffset, kSignature, kSignatureSize) != 0) {
    return Refuse(error, "not a Windows executable (no PE signature)");
  }
  const unsigned char* coff = bytes + peOffset + kSignatureSize;
  const std::uint16_t machine = LoadLe16(coff + kCoffMachine);
  if (machine != kMachineAmd64) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", machine);
    return Refuse(error, std::string("not an x86-64 image (machine ") + hex + ")");
  }
  image.optionalHeaderOffset = peOffset + kSignatureSize + kCoffHeaderSize;
  image.sectionTableOffset = image.optionalHeaderOffset + LoadLe16(coff + kCoffOptionalHeaderSize);
  return true;
}

bool ReadOptionalHeader(PeImage& image, std::string& error) {
  const std::uint32_t optionalSize = image.sectionTableOffset - image.optionalHeaderOffset;
  const std::uint64_t available = image.size - image.optionalHeaderOffset;
  const unsigned char* optional = image.bytes + image.optionalHeaderOffset;
  if (available < kOptionalMagicSize) {
    return Refuse(error, "the optional header is cut short");
  }
  if (LoadLe16(optional + kOptionalMagic) != kMagicPe32Plus) {
    return Refuse(error, "not a 64-bit (PE32+) image");
  }
  if (optionalSize < kOptionalDirectories || available < optionalSize) {
    return Refuse(error, "the optional header is cut short");
  }
  image.dataDirectoryCount = LoadLe32(optional + kOptionalDirectoryCount);
  if (image.dataDirectoryCount < kMinDataDirectories ||
      image.dataDirectoryCount > kMaxDataDirectories ||
      kOptionalDirectories + kDataDirectorySize * image.dataDirectoryCount > optionalSize) {
    return Refuse(error, "its data directories do not fit the optional header");
  }
  image.fileAlignment = LoadLe32(optional + kOptionalFileAlignment);
  image.sectionAlignment = LoadLe32(optional + kOptionalSectionAlignment);
  if (!IsPowerOfTwo(image.fileAlignment) || !IsPowerOfTwo(image.sectionAlignment) ||
      image.sectionAlignment < image.fileAlignment) {
    return Refuse(error, "its file or section alignment is not a power of two");
  }
  image.sizeOfHeaders = LoadLe32(optional + kOptionalSizeOfHeaders);
  return true;
}

bool ReadSectionTable(PeImage& image, std::string& error) {
  const std::uint32_t sectionCount =
      LoadLe16(image.bytes + image.optionalHeaderOffset - kCoffHeaderSize + kCoffSectionCount);
  if (sectionCount == 0 || sectionCount > kMaxSections) {
    return Refuse(error, "it has " + std::to_string(sectionCount) + " sections");
  }
  if (image.sizeOfHeaders > image.size ||
      image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * sectionCount >
          image.sizeOfHeaders) {
    return Refuse(error, "the section table lies outside the headers or the file");
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const unsigned char* header = image.bytes + image.sectionTableOffset + i * kSectionHeaderSize;
    const char* name = reinterpret_cast<const char*>(header + kSectionName);
    PeSection section;
    section.name.assign(name, strnlen(name, kSectionNameSize));
    section.virtualSize = LoadLe32(header + kSectionVirtualSize);
    section.virtualAddress = LoadLe32(header + kSectionVirtualAddress);
    section.rawSize = LoadLe32(header + kSectionRawSize);
    section.rawOffset = LoadLe32(header + kSectionRawOffset);
    section.characteristics = LoadLe32(header + kSectionCharacteristics);
    if (section.rawSize != 0 && !Holds(0, image.size, section.rawOffset, section.rawSize)) {
      return Refuse(error, "the data of section " + section.name + " lies outside the file");
    }
    // Data inside the headers would be overwritten when they are updated.
    if (section.rawSize != 0 && section.rawOffset < image.sizeOfHeaders) {
      return Refuse(error, "the data of section " + section.name + " overlaps the headers");
    }
    if (!image.sections.empty() && section.virtualAddress < image.sections.back().virtualAddress +
                                                                Extent(image.sections.back())) {
      return Refuse(error, "its sections overlap or are out of address order");
    }
    image.sections.push_back(section);
  }
  return true;
}

bool ReadResources(PeImage& image, std::string& error) {
  const auto [certificates, certificatesSize] = DataDirectory(image, kDirectorySecurity);
  if (certificates != 0 || certificatesSize != 0) {
    return Refuse(error,
                  "it carries a certificate table (it is signed): changing it would void the "
                  "signature; make the starter from an unsigned stub and sign the starter");
  }
  const auto [rva, size] = DataDirectory(image, kDirectoryResource);
  if (rva == 0 && size == 0) {
    return true;
  }
  const PeSection* section = SectionAt(image, rva, 0);
  if (section == nullptr) {
    return Refuse(error, "the resource directory lies outside the sections' data");
  }
  image.resourceSection = static_cast<int>(section - image.sections.data());
  const std::uint64_t inSection = rva - section->virtualAddress;
  TreeReader tree{image, image.bytes + section->rawOffset + inSection, section->rawSize - inSection,
                  section->rawSize - inSection};
  return ReadDirectory(tree, 0, kTypeLevel, PeResource(), error);
}

// True when a data directory other than the resources' points into `section`, which then cannot
// simply be replaced.
bool HoldsOtherDirectories(const PeImage& image, const PeSection& section) {
  for (std::uint32_t d = 0; d < image.dataDirectoryCount; ++d) {
    const auto [rva, size] = DataDirectory(image, d);
    // The certificate table's "address" is a file offset, not an RVA.
    if (d != kDirectoryResource && d != kDirectorySecurity && (rva != 0 || size != 0) &&
        Holds(section.virtualAddress, Extent(section), rva, 0)) {
      return true;
    }
  }
  return false;
}

// An entry of a directory of the new tree: an id, and the span [first, last) of the sorted
// resources under it.
struct TreeEntry {
  std::uint32_t id = 0;
  std::size_t first = 0;
  std::size_t last = 0;
};
using Directory = std::vector<TreeEntry>;

// The directories of the tree over `sorted`, breadth first. A type or name directory has an entry
// per id among its resources, a language directory one per resource.
std::vector<Directory> Directories(const std::vector<PeResource>& sorted) {
  std::vector<Directory> directories;
  std::vector<TreeEntry> parents{{0, 0, sorted.size()}};
  for (int level = kTypeLevel; level <= kLanguageLevel; ++level) {
    std::vector<TreeEntry> entries;
    for (const TreeEntry& parent : parents) {
      Directory directory;
      for (std::size_t i = parent.first; i < parent.last; ++i) {
        const std::uint32_t id = IdOn(level, sorted[i]);
        if (level == kLanguageLevel || directory.empty() || directory.back().id != id) {
          directory.push_back({id, i, i + 1});
        } else {
          directory.back().last = i + 1;
        }
      }
      entries.insert(entries.end(), directory.begin(), directory.end());
      directories.push_back(std::move(directory));
    }
    parents = std::move(entries);
  }
  return directories;
}

// Appends the new resource section at `virtualAddress` up to the data of `sorted[added]`: the
// directories, the data entries, then every data block but the added one, which comes last.
void AppendResourceSection(const std::vector<PeResource>& sorted, std::size_t added,
                           std::uint64_t virtualAddress, std::vector<unsigned char>& front) {
  const std::vector<Directory> directories = Directories(sorted);
  std::vector<std::uint64_t> offsets;  // of each directory from the section's start
  std::uint64_t dataEntries = 0;
  for (const Directory& directory : directories) {
    offsets.push_back(dataEntries);
    dataEntries += kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * directory.size();
  }
  const std::size_t base = front.size();
  front.resize(base + dataEntries + kResourceDataEntrySize * sorted.size(), 0);
  // Breadth first, the n-th type or name entry refers to directory n + 1.
  std::size_t entryIndex = 0;
  for (std::size_t d = 0; d < directories.size(); ++d) {
    unsigned char* directory = front.data() + base + offsets[d];
    StoreLe16(directory + kResourceIdEntryCount, static_cast<std::uint16_t>(directories[d].size()));
    for (std::size_t i = 0; i < directories[d].size(); ++i) {
      unsigned char* entry = directory + kResourceDirectorySize + kResourceEntrySize * i;
      const std::uint64_t target =
          ++entryIndex < directories.size()
              ? offsets[entryIndex] | kResourceSubdirectory
              : dataEntries + kResourceDataEntrySize * directories[d][i].first;
      StoreLe32(entry + kResourceEntryId, directories[d][i].id);
      StoreLe32(entry + kResourceEntryTarget, static_cast<std::uint32_t>(target));
    }
  }
  // Aligns the next data block and points resource `i`'s data entry at it.
  const auto placeData = [&](std::size_t i) {
    front.resize(base + AlignUp(front.size() - base, kResourceDataAlignment), 0);
    unsigned char* entry = front.data() + base + dataEntries + kResourceDataEntrySize * i;
    StoreLe32(entry + kResourceDataAddress,
              static_cast<std::uint32_t>(virtualAddress + front.size() - base));
    StoreLe32(entry + kResourceDataSize, static_cast<std::uint32_t>(sorted[i].size));
    StoreLe32(entry + kResourceDataCodePage, sorted[i].codePage);
  };
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i != added) {
      placeData(i);
      front.insert(front.end(), sorted[i].data, sorted[i].data + sorted[i].size);
    }
  }
  placeData(added);
}

// Where the new section goes: in the old resource section's place when that is last and holds
// nothing else; otherwise after the last section.
struct Placement {
  bool replace = false;
  std::size_t headerIndex = 0;  // its entry in the section table
  std::uint64_t virtualAddress = 0;
  std::uint64_t cut = 0;  // the old image's bytes kept before it
  std::uint64_t rawOffset = 0;
};

// Whether the section table has a free, zero-filled entry after its last one that lies inside the
// headers and before every section's data.
bool HasRoomForSectionHeader(const PeImage& image) {
  const std::uint64_t headerAt =
      image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * image.sections.size();
  const std::uint64_t headerEnd = headerAt + kSectionHeaderSize;
  return image.sections.size() < kMaxSections && headerEnd <= image.sizeOfHeaders &&
         std::all_of(
             image.sections.begin(), image.sections.end(),
             [&](const PeSection& s) { return s.rawSize == 0 || headerEnd <= s.rawOffset; }) &&
         std::all_of(image.bytes + headerAt, image.bytes + headerEnd,
                     [](unsigned char byte) { return byte == 0; });
}

bool PlaceSection(const PeImage& image, Placement& placement, std::string& error) {
  const PeSection& last = image.sections.back();
  placement.replace = image.resourceSection == static_cast<int>(image.sections.size() - 1) &&
                      !HoldsOtherDirectories(image, last);
  if (!placement.replace && !HasRoomForSectionHeader(image)) {
    return Refuse(error, "there is no room in its headers for another section");
  }
  placement.headerIndex = image.sections.size() - (placement.replace ? 1 : 0);
  placement.virtualAddress =
      placement.replace ? last.virtualAddress
                        : AlignUp(last.virtualAddress + Extent(last), image.sectionAlignment);
  // A replaced section's data is cut off unless bytes follow it in the file.
  const bool dataLast =
      last.rawSize != 0 && std::uint64_t{last.rawOffset} + last.rawSize >= image.size;
  placement.cut = placement.replace && dataLast ? last.rawOffset : image.size;
  placement.rawOffset = AlignUp(placement.cut, image.fileAlignment);
  return true;
}

// Writes the section table entry, the sizes and the resource directory for a new section of
// `sectionSize` bytes, retiring the old one; refused when the sizes outgrow 32 bits.
bool UpdateHeaders(const PeImage& image, const Placement& placement, std::uint64_t sectionSize,
                   std::vector<unsigned char>& front, std::string& error) {
  const std::uint64_t rawSize = AlignUp(sectionSize, image.fileAlignment);
  const std::uint64_t imageEnd =
      AlignUp(placement.virtualAddress + sectionSize, image.sectionAlignment);
  std::uint64_t initializedData =
      LoadLe32(image.bytes + image.optionalHeaderOffset + kOptionalSizeOfInitializedData);
  if (placement.replace) {
    initializedData -= std::min<std::uint64_t>(initializedData, image.sections.back().rawSize);
  }
  initializedData += rawSize;
  if (sectionSize > UINT32_MAX || placement.rawOffset + rawSize > UINT32_MAX ||
      imageEnd > UINT32_MAX || initializedData > UINT32_MAX) {
    return Refuse(error, "the starter would exceed the 4 GiB that a Windows executable can have");
  }
  unsigned char* header =
      front.data() + image.sectionTableOffset + kSectionHeaderSize * placement.headerIndex;
  std::memset(header, 0, kSectionHeaderSize);
  std::memcpy(header + kSectionName, kResourceSectionName, std::strlen(kResourceSectionName));
  StoreLe32(header + kSectionVirtualSize, static_cast<std::uint32_t>(sectionSize));
  StoreLe32(header + kSectionVirtualAddress, static_cast<std::uint32_t>(placement.virtualAddress));
  StoreLe32(header + kSectionRawSize, static_cast<std::uint32_t>(rawSize));
  StoreLe32(header + kSectionRawOffset, static_cast<std::uint32_t>(placement.rawOffset));
  StoreLe32(header + kSectionCharacteristics, kSectionInitializedData | kSectionRead);
  if (!placement.replace) {
    StoreLe16(front.data() + image.optionalHeaderOffset - kCoffHeaderSize + kCoffSectionCount,
              static_cast<std::uint16_t>(placement.headerIndex + 1));
    if (image.resourceSection >= 0) {
      std::memcpy(front.data() + image.sectionTableOffset +
                      kSectionHeaderSize * static_cast<std::uint32_t>(image.resourceSection) +
                      kSectionName,
                  kRetiredResourceSectionName, kSectionNameSize);
    }
  }
  unsigned char* optional = front.data() + image.optionalHeaderOffset;
  StoreLe32(optional + kOptionalSizeOfInitializedData, static_cast<std::uint32_t>(initializedData));
  StoreLe32(optional + kOptionalSizeOfImage, static_cast<std::uint32_t>(imageEnd));
  unsigned char* resources = front.data() + DataDirectoryAt(image, kDirectoryResource);
  StoreLe32(resources, static_cast<std::uint32_t>(placement.virtualAddress));
  StoreLe32(resources + kDataDirectorySizeField, static_cast<std::uint32_t>(sectionSize));
  return true;
}

}  // namespace

bool ParsePeImage(const unsigned char* bytes, std::uint64_t size, PeImage& image,
                  std::string& error) {
  image = PeImage();
  image.bytes = bytes;
  image.size = size;
  return ReadFileHeader(image, error) && ReadOptionalHeader(image, error) &&
         ReadSectionTable(image, error) && ReadResources(image, error);
}

bool IsInReadOnlySection(const PeImage& image, std::uint64_t offset, std::uint64_t length) {
  for (const PeSection& section : image.sections) {
    // Raw bytes past the virtual size are padding, not loaded.
    if (Holds(section.rawOffset, std::min<std::uint64_t>(section.rawSize, Extent(section)), offset,
              length)) {
      return (section.characteristics & kSectionInitializedData) != 0 &&
             (section.characteristics & kSectionWrite) == 0;
    }
  }
  return false;
}

bool AddPeResource(const PeImage& image, const PeResource& added, std::vector<unsigned char>& front,
                   std::vector<unsigned char>& back, std::string& error) {
  const auto isAdded = [&](const PeResource& r) {
    return r.type == added.type && r.name == added.name;
  };
  if (std::any_of(image.resources.begin(), image.resources.end(), isAdded)) {
    return Refuse(error, "it already has a resource of type " + std::to_string(added.type) +
                             " with id " + std::to_string(added.name));
  }
  Placement placement;
  if (!PlaceSection(image, placement, error)) {
    return false;
  }
  // The tree in the order the loader's binary search expects.
  std::vector<PeResource> sorted = image.resources;
  sorted.push_back(added);
  std::stable_sort(sorted.begin(), sorted.end(), [](const PeResource& a, const PeResource& b) {
    return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
  });
  const std::size_t addedIndex =
      std::find_if(sorted.begin(), sorted.end(), isAdded) - sorted.begin();

  // The front: the image up to the cut, zeros up to the new section, and the section's bytes up to
  // the added data; the back pads the section.
  front.assign(image.bytes, image.bytes + placement.cut);
  front.resize(placement.rawOffset, 0);
  AppendResourceSection(sorted, addedIndex, placement.virtualAddress, front);
  const std::uint64_t sectionSize = front.size() - placement.rawOffset + added.size;
  if (!UpdateHeaders(image, placement, sectionSize, front, error)) {
    return false;
  }
  back.assign(AlignUp(sectionSize, image.fileAlignment) - sectionSize, 0);

  unsigned char* checksumField = front.data() + image.optionalHeaderOffset + kOptionalChecksum;
  StoreLe32(checksumField, 0);
  StoreLe32(checksumField, PeChecksum({{front.data(), front.size()},
                                       {added.data, static_cast<std::size_t>(added.size)},
                                       {back.data(), back.size()}}));
  return true;
}

std::uint32_t PeChecksum(const PePieces& pieces) {
  std::uint64_t sum = 0;
  std::uint64_t length = 0;
  for (const auto& [data, size] : pieces) {
    std::size_t i = 0;
    // A piece that starts at an odd offset completes the word the last one began.
    if ((length & 1) != 0 && size > 0) {
      sum += static_cast<std::uint64_t>(data[0]) << 8;
      i = 1;
    }
    for (; i + 1 < size; i += 2) {
      sum += static_cast<std::uint64_t>(data[i]) | static_cast<std::uint64_t>(data[i + 1]) << 8;
    }
    if (i < size) {
      sum += data[i];
    }
    length += size;
  }
  while ((sum >> 16) != 0) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint32_t>(sum + length);
}

}  // namespace pack
