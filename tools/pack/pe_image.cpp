#include "pack/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>

#include "bytes/bytes.h"
#include "pack/pe_format.h"

namespace pack {

namespace {

using namespace pe;
using bytes::LoadLe16;
using bytes::LoadLe32;
using bytes::StoreLe16;
using bytes::StoreLe32;

// More leaves than any stub has; the rebuilt tree stays small.
constexpr std::size_t kMaxResources = 4096;

// The levels of the resource tree, named by what their entries' ids are.
enum TreeLevel { kTypeLevel, kNameLevel, kLanguageLevel };

// The field of a resource that the ids on `level` of the tree are.
template <typename Resource>
auto& IdOn(int level, Resource& resource) {
  return level == kTypeLevel ? resource.type
                             : (level == kNameLevel ? resource.name : resource.language);
}

const char kNamedResources[] = "it has resources with names instead of numbers";

// Sets `error` to `why` and returns false: how every check below refuses.
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

// Whether the `length` bytes at `at` lie in the `size` bytes from `start`;
// never for an `at` outside them, even with no length.
bool Holds(std::uint64_t start, std::uint64_t size, std::uint64_t at, std::uint64_t length) {
  return at >= start && at - start < size && length <= size - (at - start);
}

// How far a section reaches in memory; a section without a virtual size is as
// long as its raw data.
std::uint64_t Extent(const PeSection& section) {
  return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
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

// The file offset of data directory `index`'s address field; its size follows.
std::uint64_t DataDirectoryAt(const PeImage& image, std::uint32_t index) {
  return image.optionalHeaderOffset + optional_field::kDirectories + kDataDirectorySize * index +
         data_directory_field::kAddress;
}

// The (address, size) pair of data directory `index`.
std::pair<std::uint32_t, std::uint32_t> DataDirectory(const PeImage& image, std::uint32_t index) {
  const unsigned char* entry = image.bytes + DataDirectoryAt(image, index);
  return {LoadLe32(entry), LoadLe32(entry + data_directory_field::kSize)};
}

// ---------------------------------------------------------------------------
// Reading the resource tree

// The resource tree as it lies in the file: `base` is its start, `limit` the
// bytes of its section from there on, against which every offset is checked.
// Entries may point to one directory many times over (60,000 types naming one
// directory of 60,000 names), while a tree without such sharing has bytes of
// its own in the section for every visit: so each visit is charged to
// `budget`, and a walk that reads more than the section holds is refused.
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

// Reads the data entry at `target`, that of `resource`, into the image's
// resources.
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
  const std::uint32_t rva = LoadLe32(entry + resource_data_field::kAddress);
  resource.size = LoadLe32(entry + resource_data_field::kSize);
  resource.codePage = LoadLe32(entry + resource_data_field::kCodePage);
  const PeSection* section = SectionAt(tree.image, rva, resource.size);
  if (section == nullptr) {
    return Refuse(error, "the data of resource " + std::to_string(resource.type) + "/" +
                             std::to_string(resource.name) + " lies outside the sections' data");
  }
  resource.data = tree.image.bytes + section->rawOffset + (rva - section->virtualAddress);
  tree.image.resources.push_back(resource);
  return true;
}

// Reads the directory at `offset` on `level`, then what each of its entries
// refers to; `resource` holds the ids of the levels above.
bool ReadDirectory(TreeReader& tree, std::uint32_t offset, int level, PeResource resource,
                   std::string& error) {
  if (!Holds(0, tree.limit, offset, kResourceDirectorySize)) {
    return Refuse(error, "a resource directory lies outside the resource section");
  }
  const unsigned char* directory = tree.base + offset;
  const unsigned char* entries = directory + kResourceDirectorySize;
  const std::uint32_t ids = LoadLe16(directory + resource_directory_field::kIdEntryCount);
  if (LoadLe16(directory + resource_directory_field::kNamedEntryCount) != 0) {
    return Refuse(error, kNamedResources);
  }
  if ((tree.limit - offset - kResourceDirectorySize) / kResourceEntrySize < ids) {
    return Refuse(error, "a resource directory's entries lie outside the resource section");
  }
  if (!Charge(tree, kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * ids, error)) {
    return false;
  }
  for (std::uint32_t i = 0; i < ids; ++i) {
    if ((LoadLe32(entries + kResourceEntrySize * i + resource_entry_field::kId) &
         kResourceSubdirectory) != 0) {
      return Refuse(error, kNamedResources);
    }
  }
  for (std::uint32_t i = 0; i < ids; ++i) {
    const unsigned char* entry = entries + kResourceEntrySize * i;
    const std::uint32_t target = LoadLe32(entry + resource_entry_field::kTarget);
    const bool subdirectory = (target & kResourceSubdirectory) != 0;
    IdOn(level, resource) = LoadLe32(entry + resource_entry_field::kId);
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

// ---------------------------------------------------------------------------
// Parsing the headers

// Checks the MS-DOS header, the PE signature and the machine; sets the
// offsets of the optional header and of the section table after it.
bool ReadFileHeader(PeImage& image, std::string& error) {
  const unsigned char* bytes = image.bytes;
  if (image.size < kDosHeaderSize || std::memcmp(bytes, kDosMagic, kDosMagicSize) != 0) {
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
  const std::uint16_t machine = LoadLe16(coff + coff_field::kMachine);
  if (machine != kMachineAmd64) {
    return Refuse(error, "not an x86-64 image (machine " + Hex(machine) + ")");
  }
  image.optionalHeaderOffset = peOffset + kSignatureSize + kCoffHeaderSize;
  image.sectionTableOffset =
      image.optionalHeaderOffset + LoadLe16(coff + coff_field::kOptionalHeaderSize);
  return true;
}

// Checks the optional header and reads its data directory count, alignments
// and size of headers.
bool ReadOptionalHeader(PeImage& image, std::string& error) {
  const std::uint32_t optionalSize = image.sectionTableOffset - image.optionalHeaderOffset;
  const std::uint64_t available = image.size - image.optionalHeaderOffset;
  const unsigned char* optional = image.bytes + image.optionalHeaderOffset;
  if (available < optional_field::kMagicSize) {
    return Refuse(error, "the optional header is cut short");
  }
  if (LoadLe16(optional + optional_field::kMagic) != kMagicPe32Plus) {
    return Refuse(error, "not a 64-bit (PE32+) image");
  }
  if (optionalSize < optional_field::kDirectories || available < optionalSize) {
    return Refuse(error, "the optional header is cut short");
  }
  image.dataDirectoryCount = LoadLe32(optional + optional_field::kDirectoryCount);
  if (image.dataDirectoryCount < kMinDataDirectories ||
      image.dataDirectoryCount > kMaxDataDirectories ||
      optional_field::kDirectories + kDataDirectorySize * image.dataDirectoryCount > optionalSize) {
    return Refuse(error, "its data directories do not fit the optional header");
  }
  image.fileAlignment = LoadLe32(optional + optional_field::kFileAlignment);
  image.sectionAlignment = LoadLe32(optional + optional_field::kSectionAlignment);
  if (!IsPowerOfTwo(image.fileAlignment) || !IsPowerOfTwo(image.sectionAlignment) ||
      image.sectionAlignment < image.fileAlignment) {
    return Refuse(error, "its file or section alignment is not a power of two");
  }
  image.sizeOfHeaders = LoadLe32(optional + optional_field::kSizeOfHeaders);
  return true;
}

// Reads the section table, checking that it lies in the headers and that
// the sections' data lies in the file after them, in ascending address order.
bool ReadSectionTable(PeImage& image, std::string& error) {
  const std::uint32_t sectionCount = LoadLe16(image.bytes + image.optionalHeaderOffset -
                                              kCoffHeaderSize + coff_field::kSectionCount);
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
    const char* name = reinterpret_cast<const char*>(header + section_field::kName);
    PeSection section;
    section.name.assign(name, strnlen(name, kSectionNameSize));
    section.virtualSize = LoadLe32(header + section_field::kVirtualSize);
    section.virtualAddress = LoadLe32(header + section_field::kVirtualAddress);
    section.rawSize = LoadLe32(header + section_field::kRawSize);
    section.rawOffset = LoadLe32(header + section_field::kRawOffset);
    section.characteristics = LoadLe32(header + section_field::kCharacteristics);
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

// Refuses a signed image, finds the section holding the resource directory
// and reads the tree within that section's raw data, when there is one.
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

// ---------------------------------------------------------------------------
// Writing the new resource section

// True when a data directory other than the resources' points into
// `section`; such a section cannot simply be replaced.
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

// An entry of a directory of the new tree: an id, and the span [first, last)
// of the sorted resources under it.
struct TreeEntry {
  std::uint32_t id = 0;
  std::size_t first = 0;
  std::size_t last = 0;
};
using Directory = std::vector<TreeEntry>;

// The directories of the tree over `sorted`, breadth first: the root, the
// type directories, the name directories. A type or name directory has an
// entry per id among its resources, a language directory one per resource.
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

std::uint64_t DirectorySize(std::size_t entries) {
  return kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * entries;
}

// Appends to `front` the new resource section at `virtualAddress` up to the
// data of `sorted[added]`: the directories breadth first, the data entries,
// then every data block but the added one, which comes last; blocks aligned
// as resource compilers do.
void AppendResourceSection(const std::vector<PeResource>& sorted, std::size_t added,
                           std::uint64_t virtualAddress, std::vector<unsigned char>& front) {
  const std::vector<Directory> directories = Directories(sorted);
  std::vector<std::uint64_t> offsets;  // of each directory from the section's start
  std::uint64_t dataEntries = 0;
  for (const Directory& directory : directories) {
    offsets.push_back(dataEntries);
    dataEntries += DirectorySize(directory.size());
  }
  const std::size_t base = front.size();
  front.resize(base + dataEntries + kResourceDataEntrySize * sorted.size(), 0);
  // Breadth first, the type and name entries come first, and the n-th of
  // them refers to the directory n + 1; the language entries follow.
  std::size_t entryIndex = 0;
  for (std::size_t d = 0; d < directories.size(); ++d) {
    unsigned char* directory = front.data() + base + offsets[d];
    StoreLe16(directory + resource_directory_field::kIdEntryCount,
              static_cast<std::uint16_t>(directories[d].size()));
    for (std::size_t i = 0; i < directories[d].size(); ++i) {
      unsigned char* entry = directory + kResourceDirectorySize + kResourceEntrySize * i;
      const std::uint64_t target =
          ++entryIndex < directories.size()
              ? offsets[entryIndex] | kResourceSubdirectory
              : dataEntries + kResourceDataEntrySize * directories[d][i].first;
      StoreLe32(entry + resource_entry_field::kId, directories[d][i].id);
      StoreLe32(entry + resource_entry_field::kTarget, static_cast<std::uint32_t>(target));
    }
  }
  // Aligns the next data block and points resource `i`'s data entry at it.
  const auto placeData = [&](std::size_t i) {
    front.resize(base + AlignUp(front.size() - base, kResourceDataAlignment), 0);
    unsigned char* entry = front.data() + base + dataEntries + kResourceDataEntrySize * i;
    StoreLe32(entry + resource_data_field::kAddress,
              static_cast<std::uint32_t>(virtualAddress + front.size() - base));
    StoreLe32(entry + resource_data_field::kSize, static_cast<std::uint32_t>(sorted[i].size));
    StoreLe32(entry + resource_data_field::kCodePage, sorted[i].codePage);
  };
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i != added) {
      placeData(i);
      front.insert(front.end(), sorted[i].data, sorted[i].data + sorted[i].size);
    }
  }
  placeData(added);
}

// Where the new section goes: in the old resource section's place, or after
// the last section in a new table entry.
struct Placement {
  bool replace = false;
  std::size_t headerIndex = 0;  // its entry in the section table
  std::uint64_t virtualAddress = 0;
  std::uint64_t cut = 0;  // the old image's bytes kept before it
  std::uint64_t rawOffset = 0;
};

// Whether the section table has a free, zero-filled entry after its last one
// that lies inside the headers and before every section's data.
bool HasRoomForSectionHeader(const PeImage& image) {
  const std::uint64_t headerAt =
      image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * image.sections.size();
  bool room =
      image.sections.size() < kMaxSections && headerAt + kSectionHeaderSize <= image.sizeOfHeaders;
  for (const PeSection& section : image.sections) {
    room = room && (section.rawSize == 0 || headerAt + kSectionHeaderSize <= section.rawOffset);
  }
  return room && std::all_of(image.bytes + headerAt, image.bytes + headerAt + kSectionHeaderSize,
                             [](unsigned char byte) { return byte == 0; });
}

// In the old section's place when it is the last one and holds nothing
// else; otherwise after the last section. Refused when the headers have no
// room for another section.
bool PlaceSection(const PeImage& image, Placement& placement, std::string& error) {
  const std::size_t last = image.sections.size() - 1;
  const PeSection& lastSection = image.sections[last];
  placement.replace =
      image.resourceSection == static_cast<int>(last) && !HoldsOtherDirectories(image, lastSection);
  placement.cut = image.size;
  placement.headerIndex = last;
  if (placement.replace) {
    placement.virtualAddress = lastSection.virtualAddress;
    if (lastSection.rawSize != 0 &&
        std::uint64_t{lastSection.rawOffset} + lastSection.rawSize >= image.size) {
      placement.cut = lastSection.rawOffset;
    }
  } else {
    placement.virtualAddress =
        AlignUp(lastSection.virtualAddress + Extent(lastSection), image.sectionAlignment);
    placement.headerIndex = image.sections.size();
    if (!HasRoomForSectionHeader(image)) {
      return Refuse(error, "there is no room in its headers for another section");
    }
  }
  placement.rawOffset = AlignUp(placement.cut, image.fileAlignment);
  return true;
}

// Writes the headers for a new section of `sectionSize` bytes: its table
// entry, the section count (and the old resource section retired) for a new
// entry, the optional header's sizes and the resource data directory.
// Refused, changing nothing, when the sizes outgrow 32 bits.
bool UpdateHeaders(const PeImage& image, const Placement& placement, std::uint64_t sectionSize,
                   std::vector<unsigned char>& front, std::string& error) {
  const std::uint64_t rawSize = AlignUp(sectionSize, image.fileAlignment);
  const std::uint64_t imageEnd =
      AlignUp(placement.virtualAddress + sectionSize, image.sectionAlignment);
  std::uint64_t initializedData =
      LoadLe32(image.bytes + image.optionalHeaderOffset + optional_field::kSizeOfInitializedData);
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
  std::memcpy(header + section_field::kName, kResourceSectionName,
              std::strlen(kResourceSectionName));
  StoreLe32(header + section_field::kVirtualSize, static_cast<std::uint32_t>(sectionSize));
  StoreLe32(header + section_field::kVirtualAddress,
            static_cast<std::uint32_t>(placement.virtualAddress));
  StoreLe32(header + section_field::kRawSize, static_cast<std::uint32_t>(rawSize));
  StoreLe32(header + section_field::kRawOffset, static_cast<std::uint32_t>(placement.rawOffset));
  StoreLe32(header + section_field::kCharacteristics, kSectionInitializedData | kSectionRead);
  if (!placement.replace) {
    StoreLe16(
        front.data() + image.optionalHeaderOffset - kCoffHeaderSize + coff_field::kSectionCount,
        static_cast<std::uint16_t>(placement.headerIndex + 1));
    if (image.resourceSection >= 0) {
      std::memcpy(front.data() + image.sectionTableOffset +
                      kSectionHeaderSize * static_cast<std::uint32_t>(image.resourceSection) +
                      section_field::kName,
                  kRetiredResourceSectionName, kSectionNameSize);
    }
  }
  unsigned char* optional = front.data() + image.optionalHeaderOffset;
  StoreLe32(optional + optional_field::kSizeOfInitializedData,
            static_cast<std::uint32_t>(initializedData));
  StoreLe32(optional + optional_field::kSizeOfImage, static_cast<std::uint32_t>(imageEnd));
  unsigned char* resources = front.data() + DataDirectoryAt(image, kDirectoryResource);
  StoreLe32(resources, static_cast<std::uint32_t>(placement.virtualAddress));
  StoreLe32(resources + data_directory_field::kSize, static_cast<std::uint32_t>(sectionSize));
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

  // The front: the image up to the cut, zeros up to the new section, and the
  // section's bytes up to the added data; the back pads the section.
  front.assign(image.bytes, image.bytes + placement.cut);
  front.resize(placement.rawOffset, 0);
  AppendResourceSection(sorted, addedIndex, placement.virtualAddress, front);
  const std::uint64_t sectionSize = front.size() - placement.rawOffset + added.size;
  if (!UpdateHeaders(image, placement, sectionSize, front, error)) {
    return false;
  }
  back.assign(AlignUp(sectionSize, image.fileAlignment) - sectionSize, 0);

  unsigned char* checksumField =
      front.data() + image.optionalHeaderOffset + optional_field::kChecksum;
  StoreLe32(checksumField, 0);
  PeChecksum checksum;
  checksum.Add(front.data(), front.size());
  checksum.Add(added.data, static_cast<std::size_t>(added.size));
  checksum.Add(back.data(), back.size());
  StoreLe32(checksumField, checksum.Value());
  return true;
}

void PeChecksum::Add(const unsigned char* data, std::size_t length) {
  std::size_t i = 0;
  // A piece that starts at an odd offset completes the word the last one began.
  if ((length_ & 1) != 0 && length > 0) {
    sum_ += static_cast<std::uint64_t>(data[0]) << 8;
    i = 1;
  }
  for (; i + 1 < length; i += 2) {
    sum_ += static_cast<std::uint64_t>(data[i]) | static_cast<std::uint64_t>(data[i + 1]) << 8;
  }
  if (i < length) {
    sum_ += data[i];
  }
  length_ += length;
}

std::uint32_t PeChecksum::Value() const {
  std::uint64_t sum = sum_;
  while ((sum >> 16) != 0) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint32_t>(sum + length_);
}

}  // namespace pack
