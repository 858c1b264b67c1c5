#include "testing/appended_payload.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "payload/payload_trailer.h"

namespace testing_support {
namespace {

bool ReadFully(int fd, unsigned char* buffer, std::size_t length, off_t offset) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::optional<Payload> FindAppendedPayload(const std::string& imagePath) {
  const int fd = open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  struct stat st;
  unsigned char bytes[kPayloadTrailerSize];
  std::optional<PayloadTrailer> trailer;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) >= kPayloadTrailerSize &&
      ReadFully(fd, bytes, sizeof bytes, st.st_size - static_cast<off_t>(kPayloadTrailerSize))) {
    trailer = ParsePayloadTrailer(bytes, static_cast<std::uint64_t>(st.st_size));
  }
  if (!trailer) {
    close(fd);
    return std::nullopt;
  }
  Payload payload{nullptr, trailer->archiveLength};
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (payload.length > 0 && pageSize > 0) {
    // mmap takes offsets in whole pages; the archive starts wherever the stub
    // ended.
    const std::uint64_t page = static_cast<std::uint64_t>(pageSize);
    const std::uint64_t start = trailer->archiveOffset / page * page;
    const std::uint64_t lead = trailer->archiveOffset - start;
    // Mapped like the image itself: for the rest of the process, never unmapped.
    void* mapped = mmap(nullptr, static_cast<std::size_t>(lead + payload.length), PROT_READ,
                        MAP_PRIVATE, fd, static_cast<off_t>(start));
    if (mapped != MAP_FAILED) {
      payload.bytes = static_cast<const unsigned char*>(mapped) + lead;
    }
  }
  close(fd);
  return payload;
}

}  // namespace testing_support
