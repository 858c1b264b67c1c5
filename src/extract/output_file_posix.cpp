#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "extract/output_file.h"

namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

bool OutputFile::WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) {
  if (handle_ < 0 || offset > kMaxOffset || size > kMaxOffset - offset) {
    return false;
  }
  while (size > 0) {
    const ssize_t written =
        ::pwrite(static_cast<int>(handle_), data, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      // A regular file that accepts nothing is full; retrying would spin.
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

// Without a file no call is made: errno may still hold an EINTR of before.
bool OutputFile::Reset() {
  if (handle_ < 0) {
    return false;
  }
  int result;
  do {
    result = ::ftruncate(static_cast<int>(handle_), 0);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool OutputFile::SetTimes(std::int64_t seconds) {
  const struct timespec time = {static_cast<time_t>(seconds), 0};
  const struct timespec times[2] = {time, time};
  return handle_ >= 0 && ::futimens(static_cast<int>(handle_), times) == 0;
}

bool OutputFile::Close() {
  if (handle_ < 0) {
    return false;
  }
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // After an EINTR the descriptor is already released on Linux; closing again
  // could close someone else's, so EINTR is not retried.
  return ::close(fd) == 0;
}
