// Test support for the PE writer: minimal PE32+ images built field by field,
// and a reader of what the loader would look at (section table, resource
// lookup, checksum) written independently of pe_image.cpp.
#ifndef PACK_PE_TEST_SUPPORT_H
#define PACK_PE_TEST_SUPPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe_test {

constexpr std::uint32_t kCode = 0x60000020;          // code, execute, read
constexpr std::uint32_t kReadOnlyData = 0x40000040;  // initialised data, read
constexpr std::uint32_t kWritableData = 0xC0000040;  // initialised data, read, write
constexpr std::uint32_t kPeOffset = 0x40;            // e_lfanew of the test images
constexpr std::uint32_t kOptionalOffset = kPeOffset + 24;
constexpr std::uint32_t kOptionalSize = 240;  // PE32+ with 16 data directories
constexpr std::uint32_t kSectionTableOffset = kOptionalOffset + kOptionalSize;

inline void Put16(std::string& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) {
    b.resize(at + 2, '\0');
  }
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

inline void Put32(std::string& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

inline std::uint32_t Get16(const std::string& b, std::size_t at) {
  return static_cast<unsigned char>(b.at(at)) | static_cast<unsigned char>(b.at(at + 1)) << 8;
}

inline std::uint32_t Get32(const std::string& b, std::size_t at) {
  return Get16(b, at) | Get16(b, at + 2) << 16;
}

inline std::uint32_t AlignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

/// A resource for the test image's resource section.
struct Resource {
  std::uint32_t type = 0;
  std::uint32_t name = 0;
  std::uint32_t language = 0;
  std::string data;
};

/// A section of the test image. A section named ".rsrc" gets its contents
/// from the image's resources instead of `data`.
struct Section {
  std::string name;
  std::uint32_t characteristics = kReadOnlyData;
  std::string data;
};

/// What the test image holds.
struct Image {
  std::uint16_t machine = 0x8664;
  std::uint16_t magic = 0x20B;
  std::uint32_t fileAlignment = 0x200;
  std::uint32_t sectionAlignment = 0x1000;
  std::vector<Section> sections;
  std::vector<Resource> resources;  // one language per type and name
  std::uint32_t securityOffset = 0;
  std::uint32_t securitySize = 0;
  std::string overlay;            // bytes after the last section's data
  std::uint32_t headerRoom = 40;  // free bytes wanted after the section table
};

/// The resource section's bytes for `resources` (sorted by type, then name)
/// at address `rva`: root, type and name directories, data entries, data.
inline std::string ResourceSection(const std::vector<Resource>& resources, std::uint32_t rva) {
  std::vector<std::uint32_t> types;
  for (const Resource& r : resources) {
    if (types.empty() || types.back() != r.type) {
      types.push_back(r.type);
    }
  }
  std::string s;
  const std::uint32_t root = 0;
  std::uint32_t at = 16 + 8 * static_cast<std::uint32_t>(types.size());
  std::vector<std::uint32_t> typeDirectories;
  for (std::uint32_t type : types) {
    typeDirectories.push_back(at);
    std::uint32_t names = 0;
    for (const Resource& r : resources) {
      names += r.type == type;
    }
    at += 16 + 8 * names;
  }
  const std::uint32_t nameDirectories = at;  // one per resource, one language each
  at += (16 + 8) * static_cast<std::uint32_t>(resources.size());
  const std::uint32_t dataEntries = at;
  at += 16 * static_cast<std::uint32_t>(resources.size());
  Put16(s, root + 14, static_cast<std::uint32_t>(types.size()));  // root: number of id entries
  std::size_t index = 0;
  for (std::size_t t = 0; t < types.size(); ++t) {
    Put32(s, root + 16 + 8 * t, types[t]);                          // type id
    Put32(s, root + 20 + 8 * t, typeDirectories[t] | 0x80000000u);  // -> its directory
    std::uint32_t n = 0;
    for (; index < resources.size() && resources[index].type == types[t]; ++index, ++n) {
      const std::uint32_t nameDirectory = nameDirectories + 24 * static_cast<std::uint32_t>(index);
      Put32(s, typeDirectories[t] + 16 + 8 * n, resources[index].name);  // name id
      Put32(s, typeDirectories[t] + 20 + 8 * n, nameDirectory | 0x80000000u);
      Put16(s, nameDirectory + 14, 1);  // one language
      Put32(s, nameDirectory + 16, resources[index].language);
      Put32(s, nameDirectory + 20, dataEntries + 16 * static_cast<std::uint32_t>(index));
    }
    Put16(s, typeDirectories[t] + 14, n);  // the type's number of id entries
  }
  for (std::size_t i = 0; i < resources.size(); ++i) {
    at = AlignUp(at, 8);
    Put32(s, dataEntries + 16 * i, rva + at);  // data RVA
    Put32(s, dataEntries + 16 * i + 4, static_cast<std::uint32_t>(resources[i].data.size()));
    s.resize(at, '\0');
    s += resources[i].data;
    at += static_cast<std::uint32_t>(resources[i].data.size());
  }
  return s;
}

/// The whole image file.
inline std::string Build(const Image& image) {
  const std::uint32_t count = static_cast<std::uint32_t>(image.sections.size());
  const std::uint32_t headers =
      AlignUp(kSectionTableOffset + 40 * count + image.headerRoom, image.fileAlignment);
  std::string b;
  b += "MZ";
  Put32(b, 0x3C, kPeOffset);  // e_lfanew
  b.resize(kPeOffset, '\0');
  b += std::string("PE\0\0", 4);
  Put16(b, kPeOffset + 4, image.machine);   // Machine
  Put16(b, kPeOffset + 6, count);           // NumberOfSections
  Put16(b, kPeOffset + 20, kOptionalSize);  // SizeOfOptionalHeader
  Put16(b, kPeOffset + 22, 0x0022);         // Characteristics: executable, large addresses
  const std::uint32_t o = kOptionalOffset;
  Put16(b, o + 0, image.magic);                     // Magic
  Put32(b, o + 16, 0x1000);                         // AddressOfEntryPoint
  Put32(b, o + 24, 0x40000000);                     // ImageBase (low half)
  Put32(b, o + 28, 0x1);                            // ImageBase (high half)
  Put32(b, o + 32, image.sectionAlignment);         // SectionAlignment
  Put32(b, o + 36, image.fileAlignment);            // FileAlignment
  Put16(b, o + 48, 6);                              // MajorSubsystemVersion
  Put32(b, o + 60, headers);                        // SizeOfHeaders
  Put16(b, o + 68, 3);                              // Subsystem: console
  Put32(b, o + 108, 16);                            // NumberOfRvaAndSizes
  Put32(b, o + 112 + 8 * 4, image.securityOffset);  // certificate table: file offset
  Put32(b, o + 116 + 8 * 4, image.securitySize);
  b.resize(headers, '\0');

  std::uint32_t rva = image.sectionAlignment;
  std::uint32_t raw = headers;
  std::uint32_t initialized = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Section& section = image.sections[i];
    const std::string data =
        section.name == ".rsrc" ? ResourceSection(image.resources, rva) : section.data;
    const std::uint32_t size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t rawSize = AlignUp(size, image.fileAlignment);
    const std::uint32_t h = kSectionTableOffset + 40 * i;
    for (std::size_t k = 0; k < section.name.size() && k < 8; ++k) {
      b[h + k] = section.name[k];  // Name
    }
    Put32(b, h + 8, size);                      // VirtualSize
    Put32(b, h + 12, rva);                      // VirtualAddress
    Put32(b, h + 16, rawSize);                  // SizeOfRawData
    Put32(b, h + 20, raw);                      // PointerToRawData
    Put32(b, h + 36, section.characteristics);  // Characteristics
    if (section.name == ".rsrc") {
      Put32(b, o + 112 + 8 * 2, rva);  // resource directory
      Put32(b, o + 116 + 8 * 2, size);
    }
    if (section.characteristics & 0x40) {
      initialized += rawSize;
    }
    b += data;
    b.resize(raw + rawSize, '\0');
    raw += rawSize;
    rva = AlignUp(rva + size, image.sectionAlignment);
  }
  Put32(b, o + 8, initialized);  // SizeOfInitializedData
  Put32(b, o + 56, rva);         // SizeOfImage
  b += image.overlay;
  return b;
}

/// A section header as the test reads it back.
struct ReadSection {
  std::string name;
  std::uint32_t virtualSize = 0;
  std::uint32_t virtualAddress = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t characteristics = 0;
};

inline std::vector<ReadSection> Sections(const std::string& b) {
  const std::uint32_t pe = Get32(b, 0x3C);
  const std::uint32_t count = Get16(b, pe + 6);
  const std::uint32_t table = pe + 24 + Get16(b, pe + 20);
  std::vector<ReadSection> sections;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t h = table + 40 * i;
    ReadSection s;
    s.name = b.substr(h, 8);
    s.name.resize(s.name.find('\0') == std::string::npos ? 8 : s.name.find('\0'));
    s.virtualSize = Get32(b, h + 8);
    s.virtualAddress = Get32(b, h + 12);
    s.rawSize = Get32(b, h + 16);
    s.rawOffset = Get32(b, h + 20);
    s.characteristics = Get32(b, h + 36);
    sections.push_back(s);
  }
  return sections;
}

/// The optional header's field at `field`.
inline std::uint32_t Optional32(const std::string& b, std::uint32_t field) {
  return Get32(b, Get32(b, 0x3C) + 24 + field);
}

/// The file offset of `rva`, or nothing when no section's raw data holds it.
inline std::optional<std::uint32_t> FileOffset(const std::string& b, std::uint32_t rva) {
  for (const ReadSection& s : Sections(b)) {
    if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawSize) {
      return s.rawOffset + (rva - s.virtualAddress);
    }
  }
  return std::nullopt;
}

/// Looks resource `type`/`name` up the way FindResource does (the first
/// language), returning its bytes and language, or nothing.
inline std::optional<std::string> FindResource(const std::string& b, std::uint32_t type,
                                               std::uint32_t name,
                                               std::uint32_t* language = nullptr) {
  const std::uint32_t rva = Optional32(b, 112 + 8 * 2);
  const std::optional<std::uint32_t> base = FileOffset(b, rva);
  if (!base) {
    return std::nullopt;
  }
  // Finds `id` among a directory's id entries; returns its target.
  auto find = [&](std::uint32_t directory, std::uint32_t id) -> std::optional<std::uint32_t> {
    const std::uint32_t named = Get16(b, *base + directory + 12);
    const std::uint32_t ids = Get16(b, *base + directory + 14);
    for (std::uint32_t i = named; i < named + ids; ++i) {
      if (Get32(b, *base + directory + 16 + 8 * i) == id) {
        return Get32(b, *base + directory + 20 + 8 * i);
      }
    }
    return std::nullopt;
  };
  const auto typeTarget = find(0, type);
  if (!typeTarget || !(*typeTarget & 0x80000000u)) {
    return std::nullopt;
  }
  const auto nameTarget = find(*typeTarget & 0x7FFFFFFF, name);
  if (!nameTarget || !(*nameTarget & 0x80000000u)) {
    return std::nullopt;
  }
  const std::uint32_t languages = *nameTarget & 0x7FFFFFFF;
  if (Get16(b, *base + languages + 14) == 0) {
    return std::nullopt;
  }
  if (language != nullptr) {
    *language = Get32(b, *base + languages + 16);
  }
  const std::uint32_t entry = Get32(b, *base + languages + 20);
  const std::optional<std::uint32_t> data = FileOffset(b, Get32(b, *base + entry));
  const std::uint32_t size = Get32(b, *base + entry + 4);
  if (!data || *data + static_cast<std::uint64_t>(size) > b.size()) {
    return std::nullopt;
  }
  return b.substr(*data, size);
}

/// The PE checksum computed the textbook way: 16-bit words added with the
/// carry folded in after each addition, the checksum field skipped, then the
/// file length added.
inline std::uint32_t ReferenceChecksum(const std::string& b) {
  const std::size_t field = Get32(b, 0x3C) + 24 + 64;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < b.size(); i += 2) {
    if (i == field || i == field + 2) {
      continue;
    }
    std::uint32_t word = static_cast<unsigned char>(b[i]);
    if (i + 1 < b.size()) {
      word |= static_cast<unsigned char>(b[i + 1]) << 8;
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return sum + static_cast<std::uint32_t>(b.size());
}

}  // namespace pe_test

#endif  // PACK_PE_TEST_SUPPORT_H
