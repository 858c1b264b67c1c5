// Test support for making starters from stubs: an identity block and minimal
// ELF executables built field by field.
#ifndef PACK_STUB_TEST_SUPPORT_H
#define PACK_STUB_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace stub_test {

/// The marker an identity block starts with.
inline std::string Marker() {
  return std::string("\x89STARTER-ID\r\n\x1A\n", 15) + std::string(1, '\0');
}

inline void Put(std::string& b, std::size_t at, std::uint64_t value, int count) {
  if (b.size() < at + count) {
    b.resize(at + count, '\0');
  }
  for (int i = 0; i < count; ++i) {
    b[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

inline std::uint64_t Get(const std::string& b, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(b.at(at + i));
  }
  return value;
}

/// An identity block as a stub carries it: the marker, `filled`, and the
/// default texts in UTF-16.
inline std::string IdentityBlock(std::uint32_t filled = 0) {
  const std::string name = "quillorbite";
  const std::string exe = "\\quillorbite\\Binaries\\Win64\\quillorbite-Win64-Shipping.exe";
  std::string b = Marker();
  Put(b, 16, filled, 4);       // filled
  Put(b, 20, name.size(), 2);  // name length
  Put(b, 22, exe.size(), 2);   // executable path length
  for (std::size_t i = 0; i < name.size(); ++i) {
    Put(b, 24 + 2 * i, static_cast<unsigned char>(name[i]), 2);  // name, 64 units
  }
  for (std::size_t i = 0; i < exe.size(); ++i) {
    Put(b, 152 + 2 * i, static_cast<unsigned char>(exe[i]), 2);  // path, 260 units
  }
  b.resize(672, '\0');
  return b;
}

/// The UTF-16 text of the block's field at `offset` with `length` units, as
/// UTF-16 code units.
inline std::u16string BlockText(const std::string& block, std::size_t offset, std::size_t length) {
  std::u16string text;
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(static_cast<char16_t>(Get(block, offset + 2 * i, 2)));
  }
  return text;
}

/// One loaded segment of a test ELF file.
struct Segment {
  std::string data;
  bool writable = false;
};

/// The payload slot as a stub holds it: a marker, then zero bytes up to 32.
inline std::string OpenSlot() {
  std::string slot("\x89STARTER-SLOT\r\n\x1A", 16);
  slot.resize(32, '\0');
  return slot;
}

/// A read-only segment holding the open payload slot.
inline Segment SlotSegment() {
  return Segment{OpenSlot(), false};
}

/// A 64-bit little-endian position-independent executable with `segments`
/// loaded, each at its own 4 KiB-aligned file offset, at the address equal
/// to that offset plus `addressShift`. With `sections`, a section header
/// table follows: the null section, then one allocated section per segment
/// covering exactly its bytes.
inline std::string Elf(const std::vector<Segment>& segments, int elfClass = 2,
                       bool sections = false, std::uint64_t addressShift = 0) {
  std::string b = std::string(
      "\x7F"
      "ELF",
      4);
  b += static_cast<char>(elfClass);  // EI_CLASS: 2 is 64-bit
  b += '\x01';                       // EI_DATA: little-endian
  b += '\x01';                       // EI_VERSION
  Put(b, 16, 3, 2);                  // e_type: ET_DYN
  Put(b, 18, 62, 2);                 // e_machine: x86-64
  Put(b, 20, 1, 4);                  // e_version
  Put(b, 32, 64, 8);                 // e_phoff: right after this header
  Put(b, 52, 64, 2);                 // e_ehsize
  Put(b, 54, 56, 2);                 // e_phentsize
  Put(b, 56, segments.size(), 2);    // e_phnum
  std::uint64_t offset = 0x1000;
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const std::size_t h = 64 + 56 * i;
    Put(b, h + 0, 1, 4);                             // p_type: PT_LOAD
    Put(b, h + 4, segments[i].writable ? 6 : 4, 4);  // p_flags: R, or R and W
    Put(b, h + 8, offset, 8);                        // p_offset
    Put(b, h + 16, offset + addressShift, 8);        // p_vaddr
    Put(b, h + 24, offset + addressShift, 8);        // p_paddr
    Put(b, h + 32, segments[i].data.size(), 8);      // p_filesz
    Put(b, h + 40, segments[i].data.size(), 8);      // p_memsz
    Put(b, h + 48, 0x1000, 8);                       // p_align
    b.resize(offset, '\0');
    b += segments[i].data;
    offsets.push_back(offset);
    offset = (b.size() + 0xFFF) / 0x1000 * 0x1000;
  }
  if (sections) {
    b.resize((b.size() + 7) / 8 * 8, '\0');
    Put(b, 40, b.size(), 8);             // e_shoff
    Put(b, 58, 64, 2);                   // e_shentsize
    Put(b, 60, segments.size() + 1, 2);  // e_shnum
    b.resize(b.size() + 64, '\0');       // section 0: the null section
    for (std::size_t i = 0; i < segments.size(); ++i) {
      const std::size_t h = b.size();
      Put(b, h + 4, 1, 4);                             // sh_type: SHT_PROGBITS
      Put(b, h + 8, segments[i].writable ? 3 : 2, 8);  // sh_flags: SHF_ALLOC (and WRITE)
      Put(b, h + 16, offsets[i] + addressShift, 8);    // sh_addr
      Put(b, h + 24, offsets[i], 8);                   // sh_offset
      Put(b, h + 32, segments[i].data.size(), 8);      // sh_size
      Put(b, h + 48, 1, 8);                            // sh_addralign
      b.resize(h + 64, '\0');
    }
  }
  return b;
}

/// A POSIX stub as the packer sees one: `front` (with the identity block) in
/// a read-only segment, a writable one, then the payload slot.
inline std::string PosixStub(const std::string& front = "code and constants " + IdentityBlock(),
                             bool writable = false) {
  return Elf({{front, writable}, {"data", true}, SlotSegment()});
}

}  // namespace stub_test

#endif  // PACK_STUB_TEST_SUPPORT_H
