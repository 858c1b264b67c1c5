#include "pack/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "zip/zip_format.h"

namespace pack {

namespace {

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kSignatureSize = 4;
constexpr std::uint32_t kCoffHeaderSize = 20;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMaxSections = 96;
constexpr std::uint32_t kMaxDataDirectories = 16;

// Fields of the COFF header, from its start.
constexpr std::uint32_t kCoffSectionCount = 2;
constexpr std::uint32_t kCoffOptionalHeaderSize = 16;

// Fields of the PE32+ optional header, from its start.
constexpr std::uint32_t kOptionalSizeOfInitializedData = 8;
constexpr std::uint32_t kOptionalSectionAlignment = 32;
constexpr std::uint32_t kOptionalFileAlignment = 36;
constexpr std::uint32_t kOptionalSizeOfImage = 56;
constexpr std::uint32_t kOptionalSizeOfHeaders = 60;
constexpr std::uint32_t kOptionalDirectoryCount = 108;
constexpr std::uint32_t kOptionalDirectories = 112;

constexpr std::uint32_t kDirectoryResource = 2;
constexpr std::uint32_t kDirectorySecurity = 4;
// The loader needs the entries up to the base relocations.
constexpr std::uint32_t kMinDataDirectories = 6;

constexpr std::uint32_t kSectionInitializedData = 0x00000040;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

constexpr std::uint32_t kResourceDirectorySize = 16;
constexpr std::uint32_t kResourceEntrySize = 8;
constexpr std::uint32_t kResourceDataEntrySize = 16;
constexpr std::uint32_t kResourceSubdirectory = 0x80000000;
constexpr std::uint32_t kResourceDataAlignment = 8;
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

// Reads the resource directory at `offset` from the tree's start, which lies
// at file offset `base` with `limit` bytes of the section after it, and
// charges its bytes to `budget`.
bool ReadResourceDirectory(const unsigned char* base, std::uint64_t limit, std::uint32_t offset,
                           ReadBudget& budget, std::vector<DirectoryEntry>& entries,
                           std::string& error) {
  entries.clear();
  if (offset > limit || limit - offset < kResourceDirectorySize) {
    error = "a resource directory lies outside the resource section";
    return false;
  }
  const unsigned char* directory = base + offset;
  const std::uint32_t named = zip::LoadLe16(directory + 12);
  const std::uint32_t ids = zip::LoadLe16(directory + 14);
  if (named != 0) {
    error = "it has resources with names instead of numbers";
    return false;
  }
  if ((limit - offset - kResourceDirectorySize) / kResourceEntrySize < ids) {
    error = "a resource directory's entries lie outside the resource section";
    return false;
  }
  if (!budget.Charge(kResourceDirectorySize + std::uint64_t{kResourceEntrySize} * ids, error)) {
    return false;
  }
  for (std::uint32_t i = 0; i < ids; ++i) {
    const unsigned char* entry = directory + kResourceDirectorySize + i * kResourceEntrySize;
    DirectoryEntry read;
    read.id = zip::LoadLe32(entry);
    read.target = zip::LoadLe32(entry + 4);
    if ((read.id & kResourceSubdirectory) != 0) {
      error = "it has resources with names instead of numbers";
      return false;
    }
    entries.push_back(read);
  }
  return true;
}

// Reads the tree at `rva`. It is read within the resource section's own raw
// data, which lies inside the file: every offset in it is checked against
// `limit`, the bytes from the tree's start to the section's end.
bool ReadResources(PeImage& image, std::uint32_t rva, std::string& error) {
  const PeSection& section = image.sections[image.resourceSection];
  const std::uint64_t base = std::uint64_t{section.rawOffset} + (rva - section.virtualAddress);
  const std::uint64_t limit = section.rawSize - (rva - section.virtualAddress);
  const unsigned char* tree = image.bytes + base;
  std::vector<DirectoryEntry> types;
  std::vector<DirectoryEntry> names;
  std::vector<DirectoryEntry> languages;
  ReadBudget budget{limit};
  if (!ReadResourceDirectory(tree, limit, 0, budget, types, error)) {
    return false;
  }
  for (const DirectoryEntry& type : types) {
    if ((type.target & kResourceSubdirectory) == 0 ||
        !ReadResourceDirectory(tree, limit, type.target & ~kResourceSubdirectory, budget, names,
                               error)) {
      error = error.empty() ? "the resource tree is not three levels deep" : error;
      return false;
    }
    for (const DirectoryEntry& name : names) {
      if ((name.target & kResourceSubdirectory) == 0 ||
          !ReadResourceDirectory(tree, limit, name.target & ~kResourceSubdirectory, budget,
                                 languages, error)) {
        error = error.empty() ? "the resource tree is not three levels deep" : error;
        return false;
      }
      for (const DirectoryEntry& language : languages) {
        if ((language.target & kResourceSubdirectory) != 0) {
          error = "the resource tree is deeper than three levels";
          return false;
        }
        if (language.target > limit || limit - language.target < kResourceDataEntrySize) {
          error = "a resource data entry lies outside the resource section";
          return false;
        }
        if (image.resources.size() == kMaxResources) {
          error = "it has too many resources";
          return false;
        }
        if (!budget.Charge(kResourceDataEntrySize, error)) {
          return false;
        }
        const unsigned char* entry = tree + language.target;
        PeResource resource;
        resource.type = type.id;
        resource.name = name.id;
        resource.language = language.id;
        resource.size = zip::LoadLe32(entry + 4);
        resource.codePage = zip::LoadLe32(entry + 8);
        std::uint64_t dataOffset = 0;
        if (!RvaToOffset(image, zip::LoadLe32(entry), resource.size, dataOffset)) {
          error = "the data of resource " + std::to_string(type.id) + "/" +
                  std::to_string(name.id) + " lies outside the sections' data";
          return false;
        }
        resource.data = image.bytes + dataOffset;
        image.resources.push_back(resource);
      }
    }
  }
  return true;
}

// The (address, size) pair of data directory `index`.
void DataDirectory(const PeImage& image, std::uint32_t index, std::uint32_t& rva,
                   std::uint32_t& size) {
  const unsigned char* entry =
      image.bytes + image.optionalHeaderOffset + kOptionalDirectories + 8 * index;
  rva = zip::LoadLe32(entry);
  size = zip::LoadLe32(entry + 4);
}

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

void PutDirectory(unsigned char* at, std::size_t ids) {
  std::memset(at, 0, kResourceDirectorySize);
  zip::StoreLe16(at + 14, static_cast<std::uint16_t>(ids));
}

}  // namespace

bool ParsePeImage(const unsigned char* bytes, std::uint64_t size, PeImage& image,
                  std::string& error) {
  image = PeImage();
  image.bytes = bytes;
  image.size = size;
  if (size < 64 || bytes[0] != 'M' || bytes[1] != 'Z') {
    error = "not a Windows executable (no MZ header)";
    return false;
  }
  const std::uint32_t peOffset = zip::LoadLe32(bytes + 0x3C);
  if (peOffset > size || size - peOffset < kSignatureSize + kCoffHeaderSize) {
    error = "the PE header lies outside the file";
    return false;
  }
  if (std::memcmp(bytes + peOffset, "PE\0\0", kSignatureSize) != 0) {
    error = "not a Windows executable (no PE signature)";
    return false;
  }
  const unsigned char* coff = bytes + peOffset + kSignatureSize;
  const std::uint16_t machine = zip::LoadLe16(coff);
  if (machine != kMachineAmd64) {
    error = "not an x86-64 image (machine " + Hex(machine) + ")";
    return false;
  }
  const std::uint32_t sectionCount = zip::LoadLe16(coff + kCoffSectionCount);
  const std::uint32_t optionalSize = zip::LoadLe16(coff + kCoffOptionalHeaderSize);
  image.optionalHeaderOffset = peOffset + kSignatureSize + kCoffHeaderSize;
  if (size - image.optionalHeaderOffset < 2) {
    error = "the optional header is cut short";
    return false;
  }
  const unsigned char* optional = bytes + image.optionalHeaderOffset;
  if (zip::LoadLe16(optional) != kMagicPe32Plus) {
    error = "not a 64-bit (PE32+) image";
    return false;
  }
  if (optionalSize < kOptionalDirectories || size - image.optionalHeaderOffset < optionalSize) {
    error = "the optional header is cut short";
    return false;
  }
  image.dataDirectoryCount = zip::LoadLe32(optional + kOptionalDirectoryCount);
  if (image.dataDirectoryCount < kMinDataDirectories ||
      image.dataDirectoryCount > kMaxDataDirectories ||
      kOptionalDirectories + 8 * image.dataDirectoryCount > optionalSize) {
    error = "its data directories do not fit the optional header";
    return false;
  }
  image.fileAlignment = zip::LoadLe32(optional + kOptionalFileAlignment);
  image.sectionAlignment = zip::LoadLe32(optional + kOptionalSectionAlignment);
  if (!IsPowerOfTwo(image.fileAlignment) || !IsPowerOfTwo(image.sectionAlignment) ||
      image.sectionAlignment < image.fileAlignment) {
    error = "its file or section alignment is not a power of two";
    return false;
  }
  image.sizeOfHeaders = zip::LoadLe32(optional + kOptionalSizeOfHeaders);
  image.sectionTableOffset = image.optionalHeaderOffset + optionalSize;
  if (sectionCount == 0 || sectionCount > kMaxSections) {
    error = "it has " + std::to_string(sectionCount) + " sections";
    return false;
  }
  if (image.sizeOfHeaders > size ||
      image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * sectionCount >
          image.sizeOfHeaders) {
    error = "the section table lies outside the headers or the file";
    return false;
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const unsigned char* header = bytes + image.sectionTableOffset + i * kSectionHeaderSize;
    PeSection section;
    section.name.assign(reinterpret_cast<const char*>(header),
                        strnlen(reinterpret_cast<const char*>(header), 8));
    section.virtualSize = zip::LoadLe32(header + 8);
    section.virtualAddress = zip::LoadLe32(header + 12);
    section.rawSize = zip::LoadLe32(header + 16);
    section.rawOffset = zip::LoadLe32(header + 20);
    section.characteristics = zip::LoadLe32(header + 36);
    if (section.rawSize != 0 &&
        (section.rawOffset > size || size - section.rawOffset < section.rawSize)) {
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

  std::uint32_t rva = 0;
  std::uint32_t length = 0;
  DataDirectory(image, kDirectorySecurity, rva, length);
  if (rva != 0 || length != 0) {
    error =
        "it carries a certificate table (it is signed): changing it would void the signature; "
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
  for (const PeResource& resource : image.resources) {
    if (resource.type == added.type && resource.name == added.name) {
      error = "it already has a resource of type " + std::to_string(added.type) + " with id " +
              std::to_string(added.name);
      return false;
    }
  }

  // The tree: types, names and languages in ascending order, as the loader's
  // binary search expects.
  std::vector<PeResource> resources = image.resources;
  resources.push_back(added);
  std::stable_sort(resources.begin(), resources.end(),
                   [](const PeResource& a, const PeResource& b) {
                     if (a.type != b.type) {
                       return a.type < b.type;
                     }
                     return a.name != b.name ? a.name < b.name : a.language < b.language;
                   });
  std::vector<TypeGroup> tree;
  std::size_t nameDirectories = 0;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (tree.empty() || tree.back().type != resources[i].type) {
      tree.push_back(TypeGroup{resources[i].type, {}});
    }
    std::vector<NameGroup>& names = tree.back().names;
    if (names.empty() || names.back().name != resources[i].name) {
      names.push_back(NameGroup{resources[i].name, {}});
      ++nameDirectories;
    }
    names.back().leaves.push_back(i);
  }

  // Layout: the root, the type directories, the name directories, the data
  // entries, then the data blocks with the added one last.
  std::uint64_t offset = kResourceDirectorySize + kResourceEntrySize * tree.size();
  std::vector<std::uint64_t> typeOffsets;
  for (const TypeGroup& type : tree) {
    typeOffsets.push_back(offset);
    offset += kResourceDirectorySize + kResourceEntrySize * type.names.size();
  }
  std::vector<std::uint64_t> nameOffsets;
  for (const TypeGroup& type : tree) {
    for (const NameGroup& name : type.names) {
      nameOffsets.push_back(offset);
      offset += kResourceDirectorySize + kResourceEntrySize * name.leaves.size();
    }
  }
  const std::uint64_t dataEntries = offset;
  offset += kResourceDataEntrySize * resources.size();
  std::vector<std::uint64_t> dataOffsets(resources.size());
  std::size_t addedIndex = 0;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    if (resources[i].type == added.type && resources[i].name == added.name) {
      addedIndex = i;
      continue;
    }
    offset = AlignUp(offset, kResourceDataAlignment);
    dataOffsets[i] = offset;
    offset += resources[i].size;
  }
  offset = AlignUp(offset, kResourceDataAlignment);
  dataOffsets[addedIndex] = offset;
  const std::uint64_t sectionSize = offset + added.size;
  const std::uint64_t rawSize = AlignUp(sectionSize, image.fileAlignment);

  // Placement: in the old section's place when it is the last one and holds
  // nothing else; otherwise after the last section.
  const std::size_t last = image.sections.size() - 1;
  const PeSection& lastSection = image.sections[last];
  const bool replace =
      image.resourceSection == static_cast<int>(last) && !SectionHoldsOtherDirectories(image, last);
  std::uint64_t virtualAddress = 0;
  std::uint64_t cut = image.size;
  std::size_t headerIndex = last;
  if (replace) {
    virtualAddress = lastSection.virtualAddress;
    if (lastSection.rawSize != 0 &&
        std::uint64_t{lastSection.rawOffset} + lastSection.rawSize >= image.size) {
      cut = lastSection.rawOffset;
    }
  } else {
    virtualAddress =
        AlignUp(lastSection.virtualAddress + Extent(lastSection), image.sectionAlignment);
    headerIndex = image.sections.size();
    const std::uint64_t headerAt =
        image.sectionTableOffset + std::uint64_t{kSectionHeaderSize} * headerIndex;
    bool room = image.sections.size() < kMaxSections &&
                headerAt + kSectionHeaderSize <= image.sizeOfHeaders;
    for (const PeSection& section : image.sections) {
      room = room && (section.rawSize == 0 || headerAt + kSectionHeaderSize <= section.rawOffset);
    }
    for (std::uint64_t i = 0; room && i < kSectionHeaderSize; ++i) {
      room = image.bytes[headerAt + i] == 0;
    }
    if (!room) {
      error = "there is no room in its headers for another section";
      return false;
    }
  }
  const std::uint64_t rawOffset = AlignUp(cut, image.fileAlignment);
  const std::uint64_t imageEnd = AlignUp(virtualAddress + sectionSize, image.sectionAlignment);
  const unsigned char* optional = image.bytes + image.optionalHeaderOffset;
  std::uint64_t initializedData = zip::LoadLe32(optional + kOptionalSizeOfInitializedData);
  if (replace) {
    initializedData -= std::min<std::uint64_t>(initializedData, lastSection.rawSize);
  }
  initializedData += rawSize;
  if (sectionSize > UINT32_MAX || rawOffset + rawSize > UINT32_MAX || imageEnd > UINT32_MAX ||
      initializedData > UINT32_MAX) {
    error = "the starter would exceed the 4 GiB that a Windows executable can have";
    return false;
  }

  // The front: the image up to the cut, zeros up to the new section, and the
  // section's bytes up to the added data.
  std::vector<unsigned char>& front = output.front;
  front.assign(image.bytes, image.bytes + cut);
  front.resize(rawOffset + dataOffsets[addedIndex], 0);
  unsigned char* section = front.data() + rawOffset;
  PutDirectory(section, tree.size());
  std::size_t nameIndex = 0;
  for (std::size_t t = 0; t < tree.size(); ++t) {
    unsigned char* rootEntry = section + kResourceDirectorySize + kResourceEntrySize * t;
    zip::StoreLe32(rootEntry, tree[t].type);
    zip::StoreLe32(rootEntry + 4,
                   static_cast<std::uint32_t>(typeOffsets[t]) | kResourceSubdirectory);
    PutDirectory(section + typeOffsets[t], tree[t].names.size());
    for (std::size_t n = 0; n < tree[t].names.size(); ++n, ++nameIndex) {
      const NameGroup& name = tree[t].names[n];
      unsigned char* typeEntry =
          section + typeOffsets[t] + kResourceDirectorySize + kResourceEntrySize * n;
      zip::StoreLe32(typeEntry, name.name);
      zip::StoreLe32(typeEntry + 4,
                     static_cast<std::uint32_t>(nameOffsets[nameIndex]) | kResourceSubdirectory);
      PutDirectory(section + nameOffsets[nameIndex], name.leaves.size());
      for (std::size_t l = 0; l < name.leaves.size(); ++l) {
        const std::size_t leaf = name.leaves[l];
        unsigned char* nameEntry =
            section + nameOffsets[nameIndex] + kResourceDirectorySize + kResourceEntrySize * l;
        zip::StoreLe32(nameEntry, resources[leaf].language);
        zip::StoreLe32(nameEntry + 4,
                       static_cast<std::uint32_t>(dataEntries + kResourceDataEntrySize * leaf));
      }
    }
  }
  for (std::size_t i = 0; i < resources.size(); ++i) {
    unsigned char* entry = section + dataEntries + kResourceDataEntrySize * i;
    zip::StoreLe32(entry, static_cast<std::uint32_t>(virtualAddress + dataOffsets[i]));
    zip::StoreLe32(entry + 4, static_cast<std::uint32_t>(resources[i].size));
    zip::StoreLe32(entry + 8, resources[i].codePage);
    zip::StoreLe32(entry + 12, 0);
    if (i != addedIndex && resources[i].size != 0) {
      std::memcpy(section + dataOffsets[i], resources[i].data, resources[i].size);
    }
  }
  output.archive = added.data;
  output.archiveSize = added.size;
  output.back.assign(rawSize - sectionSize, 0);

  // The headers.
  unsigned char* header =
      front.data() + image.sectionTableOffset + kSectionHeaderSize * headerIndex;
  std::memset(header, 0, kSectionHeaderSize);
  std::memcpy(header, ".rsrc", 5);
  zip::StoreLe32(header + 8, static_cast<std::uint32_t>(sectionSize));
  zip::StoreLe32(header + 12, static_cast<std::uint32_t>(virtualAddress));
  zip::StoreLe32(header + 16, static_cast<std::uint32_t>(rawSize));
  zip::StoreLe32(header + 20, static_cast<std::uint32_t>(rawOffset));
  zip::StoreLe32(header + 36, kSectionInitializedData | kSectionRead);
  if (!replace) {
    const std::uint32_t coff = image.optionalHeaderOffset - kCoffHeaderSize;
    zip::StoreLe16(front.data() + coff + kCoffSectionCount,
                   static_cast<std::uint16_t>(headerIndex + 1));
    if (image.resourceSection >= 0) {
      std::memcpy(front.data() + image.sectionTableOffset +
                      kSectionHeaderSize * static_cast<std::uint32_t>(image.resourceSection),
                  ".oldrsrc", 8);
    }
  }
  unsigned char* optionalOut = front.data() + image.optionalHeaderOffset;
  zip::StoreLe32(optionalOut + kOptionalSizeOfInitializedData,
                 static_cast<std::uint32_t>(initializedData));
  zip::StoreLe32(optionalOut + kOptionalSizeOfImage, static_cast<std::uint32_t>(imageEnd));
  unsigned char* resourceDirectory = optionalOut + kOptionalDirectories + 8 * kDirectoryResource;
  zip::StoreLe32(resourceDirectory, static_cast<std::uint32_t>(virtualAddress));
  zip::StoreLe32(resourceDirectory + 4, static_cast<std::uint32_t>(sectionSize));

  zip::StoreLe32(optionalOut + kPeChecksumFieldOffset, 0);
  PeChecksum checksum;
  checksum.Add(front.data(), front.size());
  checksum.Add(output.archive, static_cast<std::size_t>(output.archiveSize));
  checksum.Add(output.back.data(), output.back.size());
  zip::StoreLe32(optionalOut + kPeChecksumFieldOffset, checksum.Value());
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
