#include "payload/payload.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "payload/payload_trailer.h"

// The first byte of a stub's payload slot (see payload_trailer.h), which
// every POSIX starter has; null in an image built without one.
extern "C" const unsigned char starter_payload_slot[] __attribute__((weak));

namespace {

constexpr char kNoSlotSegment[] =
    "the starter's program headers have no segment for its archive (the file was altered)";
constexpr char kCutShort[] =
    "the starter's file is cut short: its archive reaches past the end of the file";
constexpr char kSegmentTooShort[] =
    "the starter's archive segment is too short to hold its record (the file was altered)";
constexpr char kRecordMissing[] =
    "the starter's archive record is missing at the end of its archive segment "
    "(the file is cut short or was altered)";
constexpr char kRecordChecksum[] =
    "the starter's archive record has a wrong checksum (the file is cut short or was altered)";
constexpr char kRecordVersion[] = "the starter's archive record has an unknown version";
constexpr char kRecordDoesNotFit[] =
    "the starter's archive record does not fit its segment (the file was altered)";

Payload Damaged(const char* cause) {
  Payload payload;
  payload.damage = cause;
  return payload;
}

// The loaded segment that starts at `address`, in whichever object of the
// process holds it.
struct SegmentSearch {
  std::uintptr_t address = 0;
  bool found = false;
  std::uint64_t size = 0;
};

int MatchSegment(dl_phdr_info* info, std::size_t, void* data) {
  SegmentSearch& search = *static_cast<SegmentSearch*>(data);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && info->dlpi_addr + header.p_vaddr == search.address) {
      search.found = true;
      search.size = header.p_filesz;
      return 1;
    }
  }
  return 0;
}

// Whether the byte at `address` can be read. A file mapping that reaches past
// the end of its file (a cut-short starter) faults there; the kernel reports
// that to a system call reading the byte as EFAULT instead of raising SIGBUS.
bool IsReadable(const unsigned char* address) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return true;  // cannot tell; the reader then meets the fault itself
  }
  ssize_t written = 0;
  do {
    written = write(ends[1], address, 1);
  } while (written < 0 && errno == EINTR);
  const bool readable = !(written < 0 && errno == EFAULT);
  close(ends[0]);
  close(ends[1]);
  return readable;
}

// The archive in the slot segment that starts at `slot`, without reading the
// starter's file: the loader mapped it with the image.
std::optional<Payload> FindSlotPayload(const unsigned char* slot) {
  SegmentSearch search;
  search.address = reinterpret_cast<std::uintptr_t>(slot);
  dl_iterate_phdr(MatchSegment, &search);
  if (!search.found) {
    return Damaged(kNoSlotSegment);
  }
  return ReadPayloadSegment(slot, search.size);
}

}  // namespace

std::optional<Payload> ReadPayloadSegment(const unsigned char* segment, std::uint64_t size) {
  if (size < kPayloadTrailerSize) {
    return Damaged(kSegmentTooShort);
  }
  // The file ends before the segment does when the last byte cannot be read.
  if (!IsReadable(segment + (size - 1))) {
    return Damaged(kCutShort);
  }
  if (IsOpenPayloadSlot(segment, size)) {
    return std::nullopt;
  }
  PayloadTrailer trailer;
  switch (CheckSlotTrailer(segment + (size - kPayloadTrailerSize), size, trailer)) {
    case SlotTrailerState::kValid:
      return Payload{segment, trailer.archiveLength};
    case SlotTrailerState::kNoMagic:
      return Damaged(kRecordMissing);
    case SlotTrailerState::kWrongChecksum:
      return Damaged(kRecordChecksum);
    case SlotTrailerState::kUnknownVersion:
      return Damaged(kRecordVersion);
    case SlotTrailerState::kDoesNotFit:
      break;
  }
  return Damaged(kRecordDoesNotFit);
}

std::optional<Payload> FindPayload() {
  const unsigned char* slot = starter_payload_slot;
  if (slot != nullptr) {
    return FindSlotPayload(slot);
  }
  return std::nullopt;
}
