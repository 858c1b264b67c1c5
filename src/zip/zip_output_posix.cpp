#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "zip/zip_output.h"

namespace zip {
namespace detail {

bool OpenOutputFile(OutputFile& file, const char* path, std::uint32_t posixMode) {
  if (path == nullptr || file.handle != -1) {
    return false;
  }
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; it has
  // no effect on the regular files we accept below.
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                static_cast<mode_t>(posixMode & 0777));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return false;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  file.handle = fd;
  return true;
}

bool WriteOutputFile(OutputFile& file, const void* data, std::size_t size) {
  if (file.handle < 0) {
    return false;
  }
  const int fd = static_cast<int>(file.handle);
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, next, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (written == 0) {
      // A regular file that accepts nothing is full; retrying would spin.
      return false;
    }
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool SetOutputFileTimes(OutputFile& file, std::int64_t seconds) {
  if (file.handle < 0) {
    return false;
  }
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::futimens(static_cast<int>(file.handle), times) == 0;
}

bool CloseOutputFile(OutputFile& file) {
  if (file.handle < 0) {
    return false;
  }
  const int fd = static_cast<int>(file.handle);
  file.handle = -1;
  // After an EINTR the descriptor is already released on Linux; closing again
  // could close someone else's, so EINTR is not retried.
  return ::close(fd) == 0;
}

}  // namespace detail
}  // namespace zip
