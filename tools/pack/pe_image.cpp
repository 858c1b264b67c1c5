#include "pack/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pack/pe_format.h"
#include "zip/zip_format.h"

namespace pack {

namespace {

using namespace pe;

// More leaves than any stub has; the rebuilt tree stays small.
constexpr std::size_t kMaxResources = 4096;

bool IsPowerOfTwo(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

std::uint64_t AlignUp(std::uint64_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
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

// The file offset of `length` bytes at `rva`, when they all lie in one
// section's raw data.
bool RvaToOffset(const PeImage& image, std::uint64_t rva, std::uint64_t length,
                 std::uint64_t& offset) {
  for (const PeSection& section : image.sections) {
    if (rva < section.virtualAddress) {
      continue;
    }
    const std::uint64_t inSection = rva - section.virtualAddress;
    if (inSection < section.rawSize && length <= section.rawSize - inSection) {
      offset = section.rawOffset + inSection;
      return true;
    }
  }
  return false;
}

// The (address, size) pair of data directory `index`.
void DataDirectory(const PeImage& image, std::uint32_t index, std::uint32_t& rva,
                   std::uint32_t& size) {
  const unsigned char* entry = image.bytes + image.optionalHeaderOffset +
                               optional_field::kDirectories + kDataDirectorySize * index;
  rva = zip::LoadLe32(entry + data_directory_field::kAddress);
  size = zip::LoadLe32(entry + data_directory_field::kSize);
}

// ---------------------------------------------------------------------------
// Reading the resource tree

struct DirectoryEntry {
  std::uint32_t id = 0;
  std::uint32_t target = 0;
};

// The bytes a walk of the resource tree may still read. Entries may point to
// one directory many times over, so that a small section describes a tree of
// billions of directories (60,000 types naming one directory of 60,000
// names). A tree without such sharing gives every directory, entry and data
// entry bytes of its own inside the section, so every visit is charged its
// size here, and a walk that reads more than the section holds is refused:
// the walk stays proportional to the section's size.
struct ReadBudget {
  std::uint64_t remaining = 0;

  bool Charge(std::uint64_t bytes, std::string& error) {
    if (bytes > remaining) {
      error =
          "its resource tree refers to the same directories over and over "
          "(it reads more bytes than its section holds)";
      return false;
    }
    remaining -= bytes;
    return true;
  }
};

// The resource tree as it lies in the file: `base` is its start, `limit` the
// bytes of its section from there on. Every offset in it is checked against
// `limit`, and every read is charged to `budget`.
struct TreeReader {
  PeImage& image;
  const unsigned char* base = nullptr;
  std::uint64_t limit = 0;
  ReadBudget budget;
};

// Reads the resource directory at `offset` from the tree's start.
bool ReadResourceDirectory(TreeReader& tree, std::uint32_t offset,
                           std::vector<DirectoryEntry>& entries, std::string& error) {
  entries.clear();
  if (offset > tree.limit || tree.limit - offset < kResourceDirectorySize) {
    error = "a resource directory lies outside the resource section";
    return false;
  }
  const unsigned char* directory = tree.base + offset;
  const std::uint32_t named = zip::LoadLe16(directory + resource_directory_field::kNamedEntryCount);
  const std::uint32_t ids = zip::LoadLe16(directory + resource_directory_field::kIdEntryCount);
  if (named != 0) {
    error = "it has resources with names instead of numbers";
    return false;
  }
  if ((tree.limit - offset - kResourceDirectorySize) / kResourceEntrySize < ids) {
    error = "a resource directory's entries lie outside the resource section";
    return false;
  }
  if (!tree.budget.Charge(kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * ids,
                          error)) {
    return false;
  }
  for (std::uint32_t i = 0; i < ids; ++i) {
    const unsigned char* entry = directory + kResourceDirectorySize + i * kResourceEntrySize;
    DirectoryEntry read;
    read.id = zip::LoadLe32(entry + resource_entry_field::kId);
    read.target = zip::LoadLe32(entry + resource_entry_field::kTarget);
    if ((read.id & kResourceSubdirectory) != 0) {
      error = "it has resources with names instead of numbers";
      return false;
    }
    entries.push_back(read);
  }
  return true;
}

// Reads the directory one level down that `entry` of a type or name
// directory refers to.
bool ReadSubdirectory(TreeReader& tree, const DirectoryEntry& entry,
                      std::vector<DirectoryEntry>& entries, std::string& error) {
  if ((entry.target & kResourceSubdirectory) == 0 ||
      !ReadResourceDirectory(tree, entry.target & ~kResourceSubdirectory, entries, error)) {
    error = error.empty() ? "the resource tree is not three levels deep" : error;
    return false;
  }
  return true;
}

// Reads the data entry that a language directory's `language` entry refers
// to, as the resource `type`/`name`/language, into the image's resources.
bool ReadDataEntry(TreeReader& tree, std::uint32_t type, std::uint32_t name,
                   const DirectoryEntry& language, std::string& error) {
  if ((language.target & kResourceSubdirectory) != 0) {
    error = "the resource tree is deeper than three levels";
    return false;
  }
  if (language.target > tree.limit || tree.limit - language.target < kResourceDataEntrySize) {
    error = "a resource data entry lies outside the resource section";
    return false;
  }
  if (tree.image.resources.size() == kMaxResources) {
    error = "it has too many resources";
    return false;
  }
  if (!tree.budget.Charge(kResourceDataEntrySize, error)) {
    return false;
  }
  const unsigned char* entry = tree.base + language.target;
  PeResource resource;
  resource.type = type;
  resource.name = name;
  resource.language = language.id;
  resource.size = zip::LoadLe32(entry + resource_data_field::kSize);
  resource.codePage = zip::LoadLe32(entry + resource_data_field::kCodePage);
  std::uint64_t dataOffset = 0;
  if (!RvaToOffset(tree.image, zip::LoadLe32(entry + resource_data_field::kAddress), resource.size,
                   dataOffset)) {
    error = "the data of resource " + std::to_string(type) + "/" + std::to_string(name) +
            " lies outside the sections' data";
    return false;
  }
  resource.data = tree.image.bytes + dataOffset;
  tree.image.resources.push_back(resource);
  return true;
}

// Reads the names of `type`, and the languages of each.
bool ReadType(TreeReader& tree, const DirectoryEntry& type, std::string& error) {
  std::vector<DirectoryEntry> names;
  std::vector<DirectoryEntry> languages;
  if (!ReadSubdirectory(tree, type, names, error)) {
    return false;
  }
  for (const DirectoryEntry& name : names) {
    if (!ReadSubdirectory(tree, name, languages, error)) {
      return false;
    }
    for (const DirectoryEntry& language : languages) {
      if (!ReadDataEntry(tree, type.id, name.id, language, error)) {
        return false;
      }
    }
  }
  return true;
}

// Reads the tree at `rva`. It is read within the resource section's own raw
// data, which lies inside the file.
bool ReadResources(PeImage& image, std::uint32_t rva, std::string& error) {
  const PeSection& section = image.sections[image.resourceSection];
  const std::uint64_t inSection = rva - section.virtualAddress;
  TreeReader tree{image, image.bytes + section.rawOffset + inSection, section.rawSize - inSection,
                  ReadBudget{section.rawSize - inSection}};
  std::vector<DirectoryEntry> types;
  if (!ReadResourceDirectory(tree, 0, types, error)) {
    return false;
  }
  for (const DirectoryEntry& type : types) {
    if (!ReadType(tree, type, error)) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Parsing the headers

// Checks the MS-DOS header, the PE signature and the machine; sets the
// optional header's offset, and `sectionCount` and `optionalSize` from the
// COFF header.
bool ReadFileHeader(PeImage& image, std::uint32_t& sectionCount, std::uint32_t& optionalSize,
                    std::string& error) {
  const unsigned char* bytes = image.bytes;
  const std::uint64_t size = image.size;
  if (size < kDosHeaderSize || std::memcmp(bytes, kDosMagic, kDosMagicSize) != 0) {
    error = "not a Windows executable (no MZ header)";
    return false;
  }
  const std::uint32_t peOffset = zip::LoadLe32(bytes + kDosPeOffsetField);
  if (peOffset > size || size - peOffset < kSignatureSize + kCoffHeaderSize) {
    error = "the PE header lies outside the file";
    return false;
  }
  if (std::memcmp(bytes + peOffset, kSignature, kSignatureSize) != 0) {
    error = "not a Windows executable (no PE signature)";
    return false;
  }
  const unsigned char* coff = bytes + peOffset + kSignatureSize;
  const std::uint16_t machine = zip::LoadLe16(coff + coff_field::kMachine);
  if (machine != kMachineAmd64) {
    error = "not an x86-64 image (machine " + Hex(machine) + ")";
    return false;
  }
  sectionCount = zip::LoadLe16(coff + coff_field::kSectionCount);
  optionalSize = zip::LoadLe16(coff + coff_field::kOptionalHeaderSize);
  image.optionalHeaderOffset = peOffset + kSignatureSize + kCoffHeaderSize;
  return true;
}

// Checks the optional header of `optionalSize` bytes and reads its data
// directory count, alignments and size of headers.
bool ReadOptionalHeader(PeImage& image, std::uint32_t optionalSize, std::string& error) {
  const std::uint64_t available = image.size - image.optionalHeaderOffset;
  if (available < optional_field::kMagicSize) {
    error = "the optional header is cut short";
    return false;
  }
  const unsigned char* optional = image.bytes + image.optionalHeaderOffset;
  if (zip::LoadLe16(optional + optional_field::kMagic) != kMagicPe32Plus) {
    error = "not a 64-bit (PE32+) image";
    return false;
  }
  if (optionalSize < optional_field::kDirectories || available < optionalSize) {
    error = "the optional header is cut short";
    return false;
  }
  image.dataDirectoryCount = zip::LoadLe32(optional + optional_field::kDirectoryCount);
  if (image.dataDirectoryCount < kMinDataDirectories ||
      image.dataDirectoryCount > kMaxDataDirectories ||
      optional_field::kDirectories + kDataDirectorySize * image.dataDirectoryCount > optionalSize) {
    error = "its data directories do not fit the optional header";
    return false;
  }
  image.fileAlignment = zip::LoadLe32(optional + optional_field::kFileAlignment);
  image.sectionAlignment = zip::LoadLe32(optional + optional_field::kSectionAlignment);
  if (!IsPowerOfTwo(image.fileAlignment) || !IsPowerOfTwo(image.sectionAlignment) ||
      image.sectionAlignment < image.fileAlignment) {
    error = "its file or section alignment is not a power of two";
    return false;
  }
  image.sizeOfHeaders = zip::LoadLe32(optional + optional_field::kSizeOfHeaders);
  image.sectionTableOffset = image.optionalHeaderOffset + optionalSize;
  return true;
}

// Reads the `sectionCount` entries of the section table, checking that it
// lies in the headers and that the sections' data lies in the file, in
// ascending address order.
bool ReadSectionTable(PeImage& image, std::uint32_t sectionCount, std::string& error) {
  if (sectionCount == 0 || sectionCount > kMaxSections) {
    error = "it has " + std::to_string(sectionCount) + " sections";
    return false;
  }
  if (image.sizeOfHeaders > image.size ||
      image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * sectionCount >
          image.sizeOfHeaders) {
    error = "the section table lies outside the headers or the file";
    return false;
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const unsigned char* header = image.bytes + image.sectionTableOffset + i * kSectionHeaderSize;
    const char* name = reinterpret_cast<const char*>(header + section_field::kName);
    PeSection section;
    section.name.assign(name, strnlen(name, kSectionNameSize));
    section.virtualSize = zip::LoadLe32(header + section_field::kVirtualSize);
    section.virtualAddress = zip::LoadLe32(header + section_field::kVirtualAddress);
    section.rawSize = zip::LoadLe32(header + section_field::kRawSize);
    section.rawOffset = zip::LoadLe32(header + section_field::kRawOffset);
    section.characteristics = zip::LoadLe32(header + section_field::kCharacteristics);
    if (section.rawSize != 0 &&
        (section.rawOffset > image.size || image.size - section.rawOffset < section.rawSize)) {
      error = "the data of section " + section.name + " lies outside the file";
      return false;
    }
    if (!image.sections.empty()) {
      const PeSection& previous = image.sections.back();
      if (section.virtualAddress < previous.virtualAddress + Extent(previous)) {
        error = "its sections overlap or are out of address order";
        return false;
      }
    }
    image.sections.push_back(section);
  }
  return true;
}

// Refuses a signed image, finds the section holding the resource directory
// and reads the tree, when there is one.
bool ReadResourceDirectoryEntry(PeImage& image, std::string& error) {
  std::uint32_t rva = 0;
  std::uint32_t length = 0;
  DataDirectory(image, kDirectorySecurity, rva, length);
  if (rva != 0 || length != 0) {
    error =
        "it carries a certificate table (it is signed): changing it would "
        "void the signature; "
        "make the starter from an unsigned stub and sign the starter";
    return false;
  }
  DataDirectory(image, kDirectoryResource, rva, length);
  if (rva == 0 && length == 0) {
    return true;
  }
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    const PeSection& section = image.sections[i];
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
      image.resourceSection = static_cast<int>(i);
      break;
    }
  }
  if (image.resourceSection < 0) {
    error = "the resource directory lies outside the sections' data";
    return false;
  }
  return ReadResources(image, rva, error);
}

// ---------------------------------------------------------------------------
// Writing the new resource section

// True when a data directory other than the resources' points into section
// `index`; such a section cannot simply be replaced.
bool SectionHoldsOtherDirectories(const PeImage& image, std::size_t index) {
  const PeSection& section = image.sections[index];
  for (std::uint32_t d = 0; d < image.dataDirectoryCount; ++d) {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
    DataDirectory(image, d, rva, size);
    // The certificate table's "address" is a file offset, not an RVA.
    if (d == kDirectoryResource || d == kDirectorySecurity || (rva == 0 && size == 0)) {
      continue;
    }
    if (rva >= section.virtualAddress && rva - section.virtualAddress < Extent(section)) {
      return true;
    }
  }
  return false;
}

struct NameGroup {
  std::uint32_t name = 0;
  std::vector<std::size_t> leaves;  // indexes into the sorted resources
};

struct TypeGroup {
  std::uint32_t type = 0;
  std::vector<NameGroup> names;
};

// The new tree: every resource sorted by type, name and language, as the
// loader's binary search expects, grouped by type and by name.
struct ResourceTree {
  std::vector<PeResource> resources;
  std::vector<TypeGroup> types;
  std::size_t addedIndex = 0;  // the added resource among `resources`
};

// Where the tree's parts lie from the section's start: the root, the type
// directories, the name directories, the data entries, then the data blocks
// with the added one last.
struct ResourceLayout {
  std::vector<std::uint64_t> typeOffsets;
  std::vector<std::uint64_t> nameOffsets;  // every type's names, in tree order
  std::uint64_t dataEntries = 0;
  std::vector<std::uint64_t> dataOffsets;  // one per resource
  std::uint64_t sectionSize = 0;           // up to the end of the added data
};

// Where the new section goes: in the old resource section's place, or after
// the last section in a new table entry; and the sizes the headers get.
struct Placement {
  bool replace = false;
  std::size_t headerIndex = 0;  // its entry in the section table
  std::uint64_t virtualAddress = 0;
  std::uint64_t cut = 0;  // the old image's bytes kept before it
  std::uint64_t rawOffset = 0;
  std::uint64_t rawSize = 0;
  std::uint64_t sectionSize = 0;
  std::uint64_t initializedData = 0;
  std::uint64_t imageEnd = 0;
};

bool HasResource(const PeImage& image, const PeResource& added, std::string& error) {
  for (const PeResource& resource : image.resources) {
    if (resource.type == added.type && resource.name == added.name) {
      error = "it already has a resource of type " + std::to_string(added.type) + " with id " +
              std::to_string(added.name);
      return true;
    }
  }
  return false;
}

ResourceTree BuildTree(const PeImage& image, const PeResource& added) {
  ResourceTree tree;
  tree.resources = image.resources;
  tree.resources.push_back(added);
  std::stable_sort(tree.resources.begin(), tree.resources.end(),
                   [](const PeResource& a, const PeResource& b) {
                     if (a.type != b.type) {
                       return a.type < b.type;
                     }
                     return a.name != b.name ? a.name < b.name : a.language < b.language;
                   });
  for (std::size_t i = 0; i < tree.resources.size(); ++i) {
    const PeResource& resource = tree.resources[i];
    if (resource.type == added.type && resource.name == added.name) {
      tree.addedIndex = i;
    }
    if (tree.types.empty() || tree.types.back().type != resource.type) {
      tree.types.push_back(TypeGroup{resource.type, {}});
    }
    std::vector<NameGroup>& names = tree.types.back().names;
    if (names.empty() || names.back().name != resource.name) {
      names.push_back(NameGroup{resource.name, {}});
    }
    names.back().leaves.push_back(i);
  }
  return tree;
}

std::uint64_t DirectorySize(std::size_t entries) {
  return kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * entries;
}

ResourceLayout LayOutTree(const ResourceTree& tree) {
  ResourceLayout layout;
  std::uint64_t offset = DirectorySize(tree.types.size());
  for (const TypeGroup& type : tree.types) {
    layout.typeOffsets.push_back(offset);
    offset += DirectorySize(type.names.size());
  }
  for (const TypeGroup& type : tree.types) {
    for (const NameGroup& name : type.names) {
      layout.nameOffsets.push_back(offset);
      offset += DirectorySize(name.leaves.size());
    }
  }
  layout.dataEntries = offset;
  offset += std::uint64_t{kResourceDataEntrySize} * tree.resources.size();
  layout.dataOffsets.resize(tree.resources.size());
  for (std::size_t i = 0; i < tree.resources.size(); ++i) {
    if (i == tree.addedIndex) {
      continue;
    }
    offset = AlignUp(offset, kResourceDataAlignment);
    layout.dataOffsets[i] = offset;
    offset += tree.resources[i].size;
  }
  offset = AlignUp(offset, kResourceDataAlignment);
  layout.dataOffsets[tree.addedIndex] = offset;
  layout.sectionSize = offset + tree.resources[tree.addedIndex].size;
  return layout;
}

// Whether the section table has a free, zero-filled entry after its last one
// that lies inside the headers and before every section's data.
bool HasRoomForSectionHeader(const PeImage& image, std::uint64_t headerAt) {
  bool room =
      image.sections.size() < kMaxSections && headerAt + kSectionHeaderSize <= image.sizeOfHeaders;
  for (const PeSection& section : image.sections) {
    room = room && (section.rawSize == 0 || headerAt + kSectionHeaderSize <= section.rawOffset);
  }
  for (std::uint64_t i = 0; room && i < kSectionHeaderSize; ++i) {
    room = image.bytes[headerAt + i] == 0;
  }
  return room;
}

// In the old section's place when it is the last one and holds nothing
// else; otherwise after the last section. Refused when the headers have no
// room for another section or the sizes outgrow 32 bits.
bool PlaceSection(const PeImage& image, std::uint64_t sectionSize, Placement& placement,
                  std::string& error) {
  const std::size_t last = image.sections.size() - 1;
  const PeSection& lastSection = image.sections[last];
  placement.replace =
      image.resourceSection == static_cast<int>(last) && !SectionHoldsOtherDirectories(image, last);
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
    if (!HasRoomForSectionHeader(
            image,
            image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * placement.headerIndex)) {
      error = "there is no room in its headers for another section";
      return false;
    }
  }
  placement.rawOffset = AlignUp(placement.cut, image.fileAlignment);
  placement.rawSize = AlignUp(sectionSize, image.fileAlignment);
  placement.sectionSize = sectionSize;
  placement.imageEnd = AlignUp(placement.virtualAddress + sectionSize, image.sectionAlignment);
  const unsigned char* optional = image.bytes + image.optionalHeaderOffset;
  placement.initializedData = zip::LoadLe32(optional + optional_field::kSizeOfInitializedData);
  if (placement.replace) {
    placement.initializedData -=
        std::min<std::uint64_t>(placement.initializedData, lastSection.rawSize);
  }
  placement.initializedData += placement.rawSize;
  if (sectionSize > UINT32_MAX || placement.rawOffset + placement.rawSize > UINT32_MAX ||
      placement.imageEnd > UINT32_MAX || placement.initializedData > UINT32_MAX) {
    error = "the starter would exceed the 4 GiB that a Windows executable can have";
    return false;
  }
  return true;
}

void PutDirectory(unsigned char* at, std::size_t ids) {
  std::memset(at, 0, kResourceDirectorySize);
  zip::StoreLe16(at + resource_directory_field::kIdEntryCount, static_cast<std::uint16_t>(ids));
}

void PutEntry(unsigned char* directory, std::size_t index, std::uint32_t id, std::uint32_t target) {
  unsigned char* entry = directory + kResourceDirectorySize + kResourceEntrySize * index;
  zip::StoreLe32(entry + resource_entry_field::kId, id);
  zip::StoreLe32(entry + resource_entry_field::kTarget, target);
}

std::uint32_t Subdirectory(std::uint64_t offset) {
  return static_cast<std::uint32_t>(offset) | kResourceSubdirectory;
}

// Writes the directories of the tree at `section`.
void WriteDirectories(unsigned char* section, const ResourceTree& tree,
                      const ResourceLayout& layout) {
  PutDirectory(section, tree.types.size());
  std::size_t nameIndex = 0;
  for (std::size_t t = 0; t < tree.types.size(); ++t) {
    const TypeGroup& type = tree.types[t];
    unsigned char* typeDirectory = section + layout.typeOffsets[t];
    PutEntry(section, t, type.type, Subdirectory(layout.typeOffsets[t]));
    PutDirectory(typeDirectory, type.names.size());
    for (std::size_t n = 0; n < type.names.size(); ++n, ++nameIndex) {
      const NameGroup& name = type.names[n];
      unsigned char* nameDirectory = section + layout.nameOffsets[nameIndex];
      PutEntry(typeDirectory, n, name.name, Subdirectory(layout.nameOffsets[nameIndex]));
      PutDirectory(nameDirectory, name.leaves.size());
      for (std::size_t l = 0; l < name.leaves.size(); ++l) {
        const std::size_t leaf = name.leaves[l];
        PutEntry(nameDirectory, l, tree.resources[leaf].language,
                 static_cast<std::uint32_t>(layout.dataEntries + kResourceDataEntrySize * leaf));
      }
    }
  }
}

// Writes the data entries at `section`, and every data block but the added
// one.
void WriteDataEntries(unsigned char* section, const ResourceTree& tree,
                      const ResourceLayout& layout, std::uint64_t virtualAddress) {
  for (std::size_t i = 0; i < tree.resources.size(); ++i) {
    const PeResource& resource = tree.resources[i];
    unsigned char* entry = section + layout.dataEntries + kResourceDataEntrySize * i;
    zip::StoreLe32(entry + resource_data_field::kAddress,
                   static_cast<std::uint32_t>(virtualAddress + layout.dataOffsets[i]));
    zip::StoreLe32(entry + resource_data_field::kSize, static_cast<std::uint32_t>(resource.size));
    zip::StoreLe32(entry + resource_data_field::kCodePage, resource.codePage);
    zip::StoreLe32(entry + resource_data_field::kReserved, 0);
    if (i != tree.addedIndex && resource.size != 0) {
      std::memcpy(section + layout.dataOffsets[i], resource.data, resource.size);
    }
  }
}

void WriteSectionHeader(unsigned char* header, const Placement& placement) {
  std::memset(header, 0, kSectionHeaderSize);
  std::memcpy(header + section_field::kName, kResourceSectionName,
              std::strlen(kResourceSectionName));
  zip::StoreLe32(header + section_field::kVirtualSize,
                 static_cast<std::uint32_t>(placement.sectionSize));
  zip::StoreLe32(header + section_field::kVirtualAddress,
                 static_cast<std::uint32_t>(placement.virtualAddress));
  zip::StoreLe32(header + section_field::kRawSize, static_cast<std::uint32_t>(placement.rawSize));
  zip::StoreLe32(header + section_field::kRawOffset,
                 static_cast<std::uint32_t>(placement.rawOffset));
  zip::StoreLe32(header + section_field::kCharacteristics, kSectionInitializedData | kSectionRead);
}

// Updates the section count (and retires the old resource section) for a new
// table entry, the optional header's sizes and the resource data directory.
void UpdateHeaders(const PeImage& image, const Placement& placement,
                   std::vector<unsigned char>& front) {
  if (!placement.replace) {
    const std::uint32_t coff = image.optionalHeaderOffset - kCoffHeaderSize;
    zip::StoreLe16(front.data() + coff + coff_field::kSectionCount,
                   static_cast<std::uint16_t>(placement.headerIndex + 1));
    if (image.resourceSection >= 0) {
      std::memcpy(front.data() + image.sectionTableOffset +
                      kSectionHeaderSize * static_cast<std::uint32_t>(image.resourceSection) +
                      section_field::kName,
                  kRetiredResourceSectionName, kSectionNameSize);
    }
  }
  unsigned char* optional = front.data() + image.optionalHeaderOffset;
  zip::StoreLe32(optional + optional_field::kSizeOfInitializedData,
                 static_cast<std::uint32_t>(placement.initializedData));
  zip::StoreLe32(optional + optional_field::kSizeOfImage,
                 static_cast<std::uint32_t>(placement.imageEnd));
  unsigned char* resourceDirectory =
      optional + optional_field::kDirectories + kDataDirectorySize * kDirectoryResource;
  zip::StoreLe32(resourceDirectory + data_directory_field::kAddress,
                 static_cast<std::uint32_t>(placement.virtualAddress));
  zip::StoreLe32(resourceDirectory + data_directory_field::kSize,
                 static_cast<std::uint32_t>(placement.sectionSize));
}

void WriteChecksum(const PeImage& image, PeOutput& output) {
  unsigned char* field =
      output.front.data() + image.optionalHeaderOffset + optional_field::kChecksum;
  zip::StoreLe32(field, 0);
  PeChecksum checksum;
  checksum.Add(output.front.data(), output.front.size());
  checksum.Add(output.archive, static_cast<std::size_t>(output.archiveSize));
  checksum.Add(output.back.data(), output.back.size());
  zip::StoreLe32(field, checksum.Value());
}

}  // namespace

bool ParsePeImage(const unsigned char* bytes, std::uint64_t size, PeImage& image,
                  std::string& error) {
  image = PeImage();
  image.bytes = bytes;
  image.size = size;
  std::uint32_t sectionCount = 0;
  std::uint32_t optionalSize = 0;
  return ReadFileHeader(image, sectionCount, optionalSize, error) &&
         ReadOptionalHeader(image, optionalSize, error) &&
         ReadSectionTable(image, sectionCount, error) && ReadResourceDirectoryEntry(image, error);
}

bool IsInReadOnlySection(const PeImage& image, std::uint64_t offset, std::uint64_t length) {
  for (const PeSection& section : image.sections) {
    // Raw bytes past the virtual size are padding, not loaded.
    const std::uint64_t loaded = section.virtualSize != 0
                                     ? std::min<std::uint64_t>(section.rawSize, section.virtualSize)
                                     : section.rawSize;
    if (offset >= section.rawOffset && offset - section.rawOffset < loaded &&
        length <= loaded - (offset - section.rawOffset)) {
      return (section.characteristics & kSectionInitializedData) != 0 &&
             (section.characteristics & kSectionWrite) == 0;
    }
  }
  return false;
}

bool AddPeResource(const PeImage& image, const PeResource& added, PeOutput& output,
                   std::string& error) {
  output = PeOutput();
  if (HasResource(image, added, error)) {
    return false;
  }
  const ResourceTree tree = BuildTree(image, added);
  const ResourceLayout layout = LayOutTree(tree);
  Placement placement;
  if (!PlaceSection(image, layout.sectionSize, placement, error)) {
    return false;
  }

  // The front: the image up to the cut, zeros up to the new section, and the
  // section's bytes up to the added data.
  std::vector<unsigned char>& front = output.front;
  front.assign(image.bytes, image.bytes + placement.cut);
  front.resize(placement.rawOffset + layout.dataOffsets[tree.addedIndex], 0);
  unsigned char* section = front.data() + placement.rawOffset;
  WriteDirectories(section, tree, layout);
  WriteDataEntries(section, tree, layout, placement.virtualAddress);
  output.archive = added.data;
  output.archiveSize = added.size;
  output.back.assign(placement.rawSize - layout.sectionSize, 0);

  WriteSectionHeader(
      front.data() + image.sectionTableOffset + kSectionHeaderSize * placement.headerIndex,
      placement);
  UpdateHeaders(image, placement, front);
  WriteChecksum(image, output);
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
