// Little-endian numbers in byte buffers and the 32-bit FNV-1a hash, as the
// archive format, the payload trailer and the lock record use them.
#ifndef STARTER_BYTES_BYTES_H
#define STARTER_BYTES_BYTES_H

#include <cstddef>
#include <cstdint>

namespace bytes {

/// Load a little-endian value from the bytes at `p` (2, 4 or 8 of them).
inline std::uint16_t LoadLe16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLe32(const unsigned char* p) {
  return LoadLe16(p) | static_cast<std::uint32_t>(LoadLe16(p + 2)) << 16;
}
inline std::uint64_t LoadLe64(const unsigned char* p) {
  return static_cast<std::uint64_t>(LoadLe32(p)) |
         (static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32);
}

/// Store `value` little-endian into the bytes at `p` (2, 4 or 8 of them).
inline void StoreLe16(unsigned char* p, std::uint16_t value) {
  p[0] = static_cast<unsigned char>(value & 0xFF);
  p[1] = static_cast<unsigned char>(value >> 8);
}
inline void StoreLe32(unsigned char* p, std::uint32_t value) {
  StoreLe16(p, static_cast<std::uint16_t>(value & 0xFFFF));
  StoreLe16(p + 2, static_cast<std::uint16_t>(value >> 16));
}
inline void StoreLe64(unsigned char* p, std::uint64_t value) {
  StoreLe32(p, static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
  StoreLe32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

/// The 32-bit FNV-1a hash of the `count` bytes at `p`.
inline std::uint32_t Fnv1a32(const unsigned char* p, std::size_t count) {
  constexpr std::uint32_t kOffsetBasis = 2166136261u;
  constexpr std::uint32_t kPrime = 16777619u;
  std::uint32_t hash = kOffsetBasis;
  for (std::size_t i = 0; i < count; ++i) {
    hash = (hash ^ p[i]) * kPrime;
  }
  return hash;
}

}  // namespace bytes

#endif  // STARTER_BYTES_BYTES_H
