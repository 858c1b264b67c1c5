#include "payload/payload.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>

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
// What a trailer that is not valid says, by its SlotTrailerState.
constexpr const char* kTrailerDamage[] = {
    nullptr,
    "the starter's archive record is missing at the end of its archive segment "
    "(the file is cut short or was altered)",
    "the starter's archive record has a wrong checksum (the file is cut short or was altered)",
    "the starter's archive record has an unknown version",
    "the starter's archive record does not fit its segment (the file was altered)",
};
static_assert(std::size(kTrailerDamage) == static_cast<int>(SlotTrailerState::kDoesNotFit) + 1);

// Sets `*size` (a std::optional<std::uint64_t>) to the file size of the
// loaded segment that starts at the slot, in whichever object holds it.
int MatchSlotSegment(dl_phdr_info* info, std::size_t, void* size) {
  const auto slot = reinterpret_cast<std::uintptr_t>(starter_payload_slot);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && info->dlpi_addr + header.p_vaddr == slot) {
      *static_cast<std::optional<std::uint64_t>*>(size) = header.p_filesz;
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
  // One byte into an empty pipe never blocks, so no signal interrupts it.
  const bool readable = !(write(ends[1], address, 1) < 0 && errno == EFAULT);
  close(ends[0]);
  close(ends[1]);
  return readable;
}

}  // namespace

std::optional<Payload> ReadPayloadSegment(const unsigned char* segment, std::uint64_t size) {
  if (size < kPayloadTrailerSize) {
    return Payload{nullptr, 0, kSegmentTooShort};
  }
  // The file ends before the segment does when the last byte cannot be read.
  if (!IsReadable(segment + (size - 1))) {
    return Payload{nullptr, 0, kCutShort};
  }
  if (IsOpenPayloadSlot(segment, size)) {
    return std::nullopt;
  }
  PayloadTrailer trailer;
  const SlotTrailerState state =
      CheckSlotTrailer(segment + (size - kPayloadTrailerSize), size, trailer);
  if (state == SlotTrailerState::kValid) {
    return Payload{segment, trailer.archiveLength};
  }
  return Payload{nullptr, 0, kTrailerDamage[static_cast<int>(state)]};
}

std::optional<Payload> FindPayload() {
  if (starter_payload_slot == nullptr) {
    return std::nullopt;
  }
  // The loader mapped the slot segment with the image: the archive is read
  // there, not from the starter's file.
  std::optional<std::uint64_t> size;
  dl_iterate_phdr(MatchSlotSegment, &size);
  if (!size) {
    return Payload{nullptr, 0, kNoSlotSegment};
  }
  return ReadPayloadSegment(starter_payload_slot, *size);
}
