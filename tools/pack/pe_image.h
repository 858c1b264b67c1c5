// Reading a 64-bit Windows executable (PE32+, x86-64) and writing a copy of it
// with one more resource, the way a resource compiler and a linker would have
// laid it out: no tool but this one is involved.
#ifndef PACK_PE_IMAGE_H
#define PACK_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pack {

/// One entry of the section table.
struct PeSection {
  std::string name;  // up to 8 bytes, without the padding NULs
  std::uint32_t virtualSize = 0;
  std::uint32_t virtualAddress = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawOffset = 0;
  std::uint32_t characteristics = 0;
};

/// One resource: integer type, name and language, and its bytes.
struct PeResource {
  std::uint32_t type = 0;
  std::uint32_t name = 0;
  std::uint32_t language = 0;
  std::uint32_t codePage = 0;
  const unsigned char* data = nullptr;  // into the image, or the caller's block
  std::uint64_t size = 0;
};

/// What ParsePeImage found. Pointers go into the bytes parsed.
struct PeImage {
  const unsigned char* bytes = nullptr;
  std::uint64_t size = 0;
  std::uint32_t optionalHeaderOffset = 0;  // file offset of the optional header
  std::uint32_t sectionTableOffset = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t fileAlignment = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t dataDirectoryCount = 0;
  std::vector<PeSection> sections;    // in table order, which is address order
  int resourceSection = -1;           // the section holding the resource directory
  std::vector<PeResource> resources;  // every leaf of the resource tree
};

/// Parses the `size` bytes at `bytes` as a PE32+ image for x86-64, checking
/// every offset and length against the bytes: the MS-DOS and PE headers, the
/// optional header and its data directories (at least the six up to the base
/// relocations), the section table (inside the headers; sections in
/// ascending, non-overlapping address order with their raw data inside the
/// file and after the headers; power-of-two alignments), and the resource
/// tree (three levels of integer ids, every directory, entry and data block
/// inside the image). The tree's walk reads no more directory and data-entry
/// bytes than its section holds.
///
/// Returns false with `error` saying what is wrong: bytes that are no PE
/// image or are cut short, another machine or a 32-bit image, a certificate
/// table (a signed image: changing it would void the signature), named
/// resources, a resource tree whose entries refer to the same directories so
/// often that walking it would read more than its section holds, or anything
/// out of bounds. `image` is then unspecified.
bool ParsePeImage(const unsigned char* bytes, std::uint64_t size, PeImage& image,
                  std::string& error);

/// True when the file bytes from `offset` for `length` lie in the raw data of
/// one section that is initialised data and is not writable.
bool IsInReadOnlySection(const PeImage& image, std::uint64_t offset, std::uint64_t length);

/// Lays out `image` with `added` as one more resource, its data last in the
/// image: the new image is `front`, then `added`'s data unchanged, then
/// `back`. The resource section is rebuilt as the image's last section with
/// the existing resources and `added` (type, name, language directories in
/// ascending id order; data blocks 8-byte aligned): in the place of the old
/// one when that is the last section and nothing else refers to it,
/// otherwise as a new section after the last one, the old one renamed
/// ".oldrsrc" and referred to by nothing. The section table, the size of the
/// image and of initialised data, the resource data directory and the
/// checksum are updated; file and section alignments are kept.
///
/// Returns false with `error` set, `front` and `back` unspecified, when the
/// image already has a resource of `added`'s type and name, when there is no
/// room in the headers for another section, or when the result would not
/// fit the format's 32-bit sizes.
bool AddPeResource(const PeImage& image, const PeResource& added, std::vector<unsigned char>& front,
                   std::vector<unsigned char>& back, std::string& error);

/// The PE checksum, computed over bytes given in pieces: 16-bit little-endian
/// words summed with the carries folded back in, plus the file's length. The
/// checksum field itself must be given as zeros.
class PeChecksum {
 public:
  /// Adds the next `length` bytes of the file.
  void Add(const unsigned char* data, std::size_t length);
  /// The checksum of all bytes added so far, as the file's whole content.
  std::uint32_t Value() const;

 private:
  std::uint64_t sum_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace pack

#endif  // PACK_PE_IMAGE_H
