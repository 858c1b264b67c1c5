// The records that mark an archive added to a POSIX starter.
//
// A POSIX stub reserves a payload slot (resources/payload_slot_posix.cpp): a read-only PT_LOAD
// above every other segment, holding only the 32-byte open slot record below, with the symbol
// `starter_payload_slot` on its first byte. The packer makes a starter from the stub's file, zero
// bytes up to the offset the slot's address needs (offset and address agree modulo the page size),
// the archive, then this 32-byte trailer, which ends the file:
//
//   offset  size  field
//        0     8  magic "STARTZIP"
//        8     8  archive offset from the file's first byte
//       16     8  archive length in bytes (below 4 GiB)
//       24     4  format version, 1
//       28     4  checksum: 32-bit FNV-1a of bytes 0 to 27
//
// Integers are little-endian; offset + length + 32 is the file's size. The packer points the slot's
// program header (and the section header that covered it) at the archive and trailer: same address,
// new offset and size. The kernel then maps the archive with the image, and every POSIX starter
// finds it at `starter_payload_slot` without reading its own file.
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
/// A stub's open payload slot: this marker, then zeros up to kPayloadSlotSize.
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

/// How the trailer at the end of a filled slot segment reads; kDoesNotFit: the archive and the
/// trailer do not fill the segment exactly.
enum class SlotTrailerState { kValid, kNoMagic, kWrongChecksum, kUnknownVersion, kDoesNotFit };

/// Checks the `kPayloadTrailerSize` bytes at `bytes`, the last ones of a slot segment of
/// `segmentSize` bytes, and on kValid sets `trailer`. The recorded file offset is not compared:
/// tools that rewrite a file from its sections (strip) move the segment's bytes.
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

/// Reads the trailer in the last `kPayloadTrailerSize` bytes of a file of `fileSize` bytes, at
/// `bytes`: nothing unless CheckSlotTrailer finds it valid and offset + length + 32 equals
/// `fileSize`.
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

/// POSIX: the archive in the slot segment of `size` bytes at `segment`, as mapped (a file cut short
/// ends before it; that is found without touching the missing bytes). Nothing for a stub's open
/// slot; the archive when the segment ends in a valid trailer; else a Payload whose `damage` says
/// why.
std::optional<Payload> ReadPayloadSegment(const unsigned char* segment, std::uint64_t size);

#endif  // STARTER_PAYLOAD_PAYLOAD_TRAILER_H
