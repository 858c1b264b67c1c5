// The application's identity in a starter image: a block of read-only data with a marker, a
// "filled" flag and the two texts in UTF-16. A starter built from the sources has it filled at
// compile time; a stub carries it open (with the default texts) for the packer, which finds it by
// its marker and fills it field by field: little-endian at fixed offsets on every platform.
#ifndef STARTER_STARTER_IDENTITY_BLOCK_H
#define STARTER_STARTER_IDENTITY_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <string>

/// The block's first 16 bytes. Nothing in the starter refers to them at run time, so they occur
/// nowhere else in its image.
inline constexpr unsigned char kIdentityMarker[16] = {0x89, 'S', 'T', 'A',  'R',  'T',  'E',  'R',
                                                      '-',  'I', 'D', 0x0D, 0x0A, 0x1A, 0x0A, 0x00};

/// The most UTF-16 code units each text may have.
inline constexpr std::size_t kIdentityNameCapacity = 64;
inline constexpr std::size_t kIdentityExePathCapacity = 260;

/// Values of `filled`: a stub's block, one holding the application's texts.
inline constexpr std::uint32_t kIdentityOpen = 0;
inline constexpr std::uint32_t kIdentityFilled = 1;

/// The block. Unused code units after each text are zero.
struct IdentityBlock {
  unsigned char marker[16];                    // kIdentityMarker
  std::uint32_t filled;                        // kIdentityOpen or kIdentityFilled
  std::uint16_t nameLength;                    // code units of `name` in use
  std::uint16_t exePathLength;                 // code units of `exePath` in use
  char16_t name[kIdentityNameCapacity];        // kAppName
  char16_t exePath[kIdentityExePathCapacity];  // kExeRelativePath
};

/// The fields' byte offsets and the block's size, which (with no padding) pins the layout.
inline constexpr std::size_t kIdentityFilledOffset = offsetof(IdentityBlock, filled);
inline constexpr std::size_t kIdentityNameLengthOffset = offsetof(IdentityBlock, nameLength);
inline constexpr std::size_t kIdentityExePathLengthOffset = offsetof(IdentityBlock, exePathLength);
inline constexpr std::size_t kIdentityNameOffset = offsetof(IdentityBlock, name);
inline constexpr std::size_t kIdentityExePathOffset = offsetof(IdentityBlock, exePath);
inline constexpr std::size_t kIdentityBlockSize = sizeof(IdentityBlock);
static_assert(kIdentityBlockSize == 24 + 2 * (kIdentityNameCapacity + kIdentityExePathCapacity),
              "layout");

/// The block for the string literals `name` and `exePath` (without their terminators); a text
/// longer than its capacity does not compile.
template <std::size_t NameSize, std::size_t ExePathSize>
constexpr IdentityBlock MakeIdentityBlock(const char16_t (&name)[NameSize],
                                          const char16_t (&exePath)[ExePathSize],
                                          std::uint32_t filled) {
  static_assert(NameSize - 1 <= kIdentityNameCapacity, "the application name is too long");
  static_assert(ExePathSize - 1 <= kIdentityExePathCapacity, "the executable path is too long");
  IdentityBlock block{};
  for (std::size_t i = 0; i < sizeof kIdentityMarker; ++i) {
    block.marker[i] = kIdentityMarker[i];
  }
  block.filled = filled;
  block.nameLength = static_cast<std::uint16_t>(NameSize - 1);
  block.exePathLength = static_cast<std::uint16_t>(ExePathSize - 1);
  for (std::size_t i = 0; i + 1 < NameSize; ++i) {
    block.name[i] = name[i];
  }
  for (std::size_t i = 0; i + 1 < ExePathSize; ++i) {
    block.exePath[i] = exePath[i];
  }
  return block;
}

/// The first `length` code units of `units` (no more than `capacity`) as wide text: a surrogate
/// pair becomes one character where wchar_t is 32 bits wide, anything else stays as it is. Reads
/// through a volatile view, so that what a packer wrote after compilation is what is read.
inline std::wstring IdentityText(const volatile char16_t* units, std::size_t length,
                                 std::size_t capacity) {
  const std::size_t count = length < capacity ? length : capacity;
  std::wstring text;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t unit = units[i];
    const char32_t next = i + 1 < count ? units[i + 1] : 0;
    if (sizeof(wchar_t) >= 4 && unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 &&
        next <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

/// This image's block, which the build compiles into each starter executable (app_identity.cpp;
/// defaults in cmake/StarterDefaults.cmake): open, with the defaults, only in a stub that no packer
/// has filled yet.
extern const IdentityBlock kIdentityBlock;

/// The application's name: the destination folder's name inside the temporary directory, and the
/// child's only argument.
extern const std::wstring kAppName;

/// The child's executable relative to the destination folder, beginning with the backslash that
/// joins it to the destination path.
extern const std::wstring kExeRelativePath;

#endif  // STARTER_STARTER_IDENTITY_BLOCK_H
