// The records that mark an archive added to a POSIX starter.
//
// A POSIX stub reserves a loadable segment of its own, the payload slot: a
// read-only PT_LOAD above every other segment of the image, holding only the
// 32-byte open-slot record below, with the symbol `starter_payload_slot` on
// its first byte (resources/payload_slot_posix.cpp). A starter that the packer
// makes from the stub is the stub's file, zero bytes up to the offset that the
// slot's address needs (file offset and address agree modulo the page size),
// the archive byte for byte, then this 32-byte trailer, which ends the file:
//
//   offset  size  field
//        0     8  magic "STARTZIP"
//        8     8  archive offset: the archive's first byte, counted from the
//                 file's first byte
//       16     8  archive length in bytes (below 4 GiB)
//       24     4  format version, 1
//       28     4  checksum: 32-bit FNV-1a of bytes 0 to 27
//
// Integers are little-endian. The archive ends where the trailer begins, so
// offset + length + 32 is the file's size as the packer writes it. The packer
// points the slot's program header (and the section header that covered it)
// at the archive and the trailer: the same address, the new file offset, the
// new size. The kernel then maps the archive with the image, and the starter
// finds it at `starter_payload_slot` without reading its own file. Every POSIX
// starter gets its archive this way, those that CMake builds too.
#ifndef STARTER_PAYLOAD_PAYLOAD_TRAILER_H
#define STARTER_PAYLOAD_PAYLOAD_TRAILER_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "bytes/bytes.h"
#include "payload/payload.h"

inline constexpr std::size_t kPayloadTrailerSize = 32;
inline constexpr unsigned char kPayloadTrailerMagic[8] = {'S', 'T', 'A', 'R', 'T', 'Z', 'I', 'P'};
inline constexpr std::uint32_t kPayloadTrailerVersion = 1;

inline constexpr std::size_t kPayloadSlotSize = 32;
/// What the payload slot of a stub holds: this marker, then zero bytes up to
/// kPayloadSlotSize.
inline constexpr unsigned char kPayloadOpenSlotMarker[16] = {
    0x89, 'S', 'T', 'A', 'R', 'T', 'E', 'R', '-', 'S', 'L', 'O', 'T', '\r', '\n', 0x1A};

/// True when the `size` bytes at `bytes` are the open slot of a stub.
inline bool IsOpenPayloadSlot(const unsigned char* bytes, std::uint64_t size) {
  return size == kPayloadSlotSize &&
         std::memcmp(bytes, kPayloadOpenSlotMarker, sizeof kPayloadOpenSlotMarker) == 0 &&
         std::all_of(bytes + sizeof kPayloadOpenSlotMarker, bytes + size,
                     [](unsigned char byte) { return byte == 0; });
}

/// Where the archive lies in the file, as a valid trailer says.
struct PayloadTrailer {
  std::uint64_t archiveOffset = 0;
  std::uint32_t archiveLength = 0;
};

/// The trailer for an archive of `archiveLength` bytes at `archiveOffset`.
inline std::array<unsigned char, kPayloadTrailerSize> EncodePayloadTrailer(
    std::uint64_t archiveOffset, std::uint32_t archiveLength) {
  std::array<unsigned char, kPayloadTrailerSize> bytes{};
  std::memcpy(bytes.data(), kPayloadTrailerMagic, sizeof kPayloadTrailerMagic);
  bytes::StoreLe64(&bytes[8], archiveOffset);
  bytes::StoreLe64(&bytes[16], archiveLength);
  bytes::StoreLe32(&bytes[24], kPayloadTrailerVersion);
  bytes::StoreLe32(&bytes[28], bytes::Fnv1a32(bytes.data(), 28));
  return bytes;
}

/// How the trailer at the end of a filled slot segment reads.
enum class SlotTrailerState {
  kValid,
  kNoMagic,
  kWrongChecksum,
  kUnknownVersion,
  /// The archive length and the trailer do not fill the segment exactly.
  kDoesNotFit,
};

/// Checks the `kPayloadTrailerSize` bytes at `bytes`, the last ones of a slot
/// segment of `segmentSize` bytes, and on kValid sets `trailer`. Only the
/// memory view is checked: the archive must fill the segment in front of the
/// trailer. The recorded file offset is not compared, since tools that
/// rewrite a file from its sections (strip) move the segment's bytes.
inline SlotTrailerState CheckSlotTrailer(const unsigned char* bytes, std::uint64_t segmentSize,
                                         PayloadTrailer& trailer) {
  if (std::memcmp(bytes, kPayloadTrailerMagic, sizeof kPayloadTrailerMagic) != 0) {
    return SlotTrailerState::kNoMagic;
  }
  if (bytes::LoadLe32(&bytes[28]) != bytes::Fnv1a32(bytes, 28)) {
    return SlotTrailerState::kWrongChecksum;
  }
  if (bytes::LoadLe32(&bytes[24]) != kPayloadTrailerVersion) {
    return SlotTrailerState::kUnknownVersion;
  }
  const std::uint64_t length = bytes::LoadLe64(&bytes[16]);
  if (segmentSize < kPayloadTrailerSize || length > UINT32_MAX ||
      length != segmentSize - kPayloadTrailerSize) {
    return SlotTrailerState::kDoesNotFit;
  }
  trailer.archiveOffset = bytes::LoadLe64(&bytes[8]);
  trailer.archiveLength = static_cast<std::uint32_t>(length);
  return SlotTrailerState::kValid;
}

/// Reads the trailer in the `kPayloadTrailerSize` bytes at `bytes`, the last
/// ones of a file of `fileSize` bytes. Returns nothing unless CheckSlotTrailer
/// finds it valid for the archive and trailer from its offset to the file's
/// end: offset + length + 32 equals `fileSize`.
inline std::optional<PayloadTrailer> ParsePayloadTrailer(const unsigned char* bytes,
                                                         std::uint64_t fileSize) {
  const std::uint64_t offset = bytes::LoadLe64(&bytes[8]);
  PayloadTrailer trailer;
  if (offset > fileSize ||
      CheckSlotTrailer(bytes, fileSize - offset, trailer) != SlotTrailerState::kValid) {
    return std::nullopt;
  }
  return trailer;
}

/// POSIX: the archive in the payload slot segment as the loader mapped it:
/// the `size` bytes at `segment`, in memory or mapped from a file that may
/// end before them (a file cut short: the bytes past its end cannot be read,
/// which is tested without touching them). Returns nothing when the segment
/// is the open slot of a stub (no archive at all); the archive when the
/// segment ends in a trailer that CheckSlotTrailer finds valid; otherwise a
/// Payload whose `damage` names what is wrong.
std::optional<Payload> ReadPayloadSegment(const unsigned char* segment, std::uint64_t size);

#endif  // STARTER_PAYLOAD_PAYLOAD_TRAILER_H
