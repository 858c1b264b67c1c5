// Reading a 64-bit Windows executable (PE32+, x86-64) and writing a copy of it with one more
// resource, laid out as a resource compiler and a linker would.
#ifndef PACK_PE_IMAGE_H
#define PACK_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pack {

/// The first bytes of every PE image, and the resource type of raw data (RT_RCDATA).
constexpr char kPeMagic[] = {'M', 'Z'};
constexpr std::size_t kPeMagicSize = sizeof kPeMagic;
constexpr std::uint32_t kPeResourceTypeRcData = 10;

/// One entry of the section table; `name` without the padding NULs.
struct PeSection {
  std::string name;
  std::uint32_t virtualSize = 0;
  std::uint32_t virtualAddress = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t characteristics = 0;
};

/// One resource: integer type, name and language, and its bytes (in the image, or the caller's
/// block).
struct PeResource {
  std::uint32_t type = 0;
  std::uint32_t name = 0;
  std::uint32_t language = 0;
  std::uint32_t codePage = 0;
  const unsigned char* data = nullptr;
  std::uint64_t size = 0;
};

/// What ParsePeImage found. Pointers go into the bytes parsed.
struct PeImage {
  const unsigned char* bytes = nullptr;
  std::uint64_t size = 0;
  std::uint32_t optionalHeaderOffset = 0;  // in the file
  std::uint32_t sectionTableOffset = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t fileAlignment = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t dataDirectoryCount = 0;
  std::vector<PeSection> sections;    // in table order, which is address order
  int resourceSection = -1;           // the one holding the resource directory
  std::vector<PeResource> resources;  // every leaf of the resource tree
};

/// Parses `size` bytes as a PE32+ x86-64 image with at least the data directories up to the base
/// relocations, sections in ascending address order with their data in the file after the headers,
/// and a resource tree of three levels of integer ids, checking every offset, length and count.
/// Returns false with `error` saying what is wrong (no PE image, cut short, another machine,
/// 32-bit, signed: changing it would void the signature, named resources, entries naming the same
/// directories so often that the walk would read more than their section holds, anything out of
/// bounds).
bool ParsePeImage(const unsigned char* bytes, std::uint64_t size, PeImage& image,
                  std::string& error);

/// True when the file bytes from `offset` for `length` lie in the raw data of one section that is
/// initialised data and is not writable.
bool IsInReadOnlySection(const PeImage& image, std::uint64_t offset, std::uint64_t length);

/// Lays out `image` with `added` as one more resource: the new image is `front`, `added`'s data
/// unchanged, then `back`. The resource section is rebuilt as the last section with the existing
/// resources and `added` (type, name, language directories in ascending id order; data 8-byte
/// aligned, `added`'s last): in the old one's place when that is last and holds no other data
/// directory, otherwise after the last section, the old one renamed ".oldrsrc". The section table,
/// the sizes of the image and of initialised data, the resource directory and the checksum are
/// updated; the alignments kept. Returns false with `error` set, `front` and `back` unspecified,
/// when the image already has a resource of `added`'s type and name, its headers have no room for
/// another section, or the result would outgrow the format's 32-bit sizes.
bool AddPeResource(const PeImage& image, const PeResource& added, std::vector<unsigned char>& front,
                   std::vector<unsigned char>& back, std::string& error);

/// The pieces of a file, in order: where each one's bytes are, how many.
using PePieces = std::vector<std::pair<const unsigned char*, std::size_t>>;

/// The PE checksum of the file made of `pieces`: its 16-bit little-endian words summed with the
/// carries folded back in, plus its length. The checksum field itself must be given as zeros.
std::uint32_t PeChecksum(const PePieces& pieces);

}  // namespace pack

#endif  // PACK_PE_IMAGE_H
