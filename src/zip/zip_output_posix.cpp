#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "zip/zip_output.h"

namespace zip {
namespace detail {
namespace {

// Writes all `size` bytes, at the file's position or, with `offset`, from
// there on, retrying partial and interrupted writes.
bool WriteAll(int fd, const void* data, std::size_t size, const std::uint64_t* offset) {
  const char* next = static_cast<const char*>(data);
  std::uint64_t at = offset != nullptr ? *offset : 0;
  while (size > 0) {
    const ssize_t written = offset != nullptr ? ::pwrite(fd, next, size, static_cast<off_t>(at))
                                              : ::write(fd, next, size);
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
    at += static_cast<std::uint64_t>(written);
  }
  return true;
}

}  // namespace

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
  return WriteAll(static_cast<int>(file.handle), data, size, nullptr);
}

bool WriteOutputFileAt(OutputFile& file, std::uint64_t offset, const void* data, std::size_t size) {
  constexpr std::uint64_t kMaxOffset =
      static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (file.handle < 0 || offset > kMaxOffset || size > kMaxOffset - offset) {
    return false;
  }
  return WriteAll(static_cast<int>(file.handle), data, size, &offset);
}

bool MappedWritesPreferred() {
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

bool ResetOutputFile(OutputFile& file) {
  if (file.handle < 0) {
    return false;
  }
  const int fd = static_cast<int>(file.handle);
  int result;
  do {
    result = ::ftruncate(fd, 0);
  } while (result != 0 && errno == EINTR);
  return result == 0 && ::lseek(fd, 0, SEEK_SET) == 0;
}

bool MapOutputFile(OutputFile& file, std::uint64_t size, OutputMapping& mapping) {
  if (file.handle < 0 || mapping.address != nullptr || size == 0 ||
      size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
      size > std::numeric_limits<std::size_t>::max()) {
    return false;
  }
  const int fd = static_cast<int>(file.handle);
  // A page written through the view past the volume's room would end the
  // process with SIGBUS; reserving every block first turns that into a
  // failure here.
  int error;
  do {
    error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (error == EINTR);
  if (error != 0) {
    return false;
  }
  void* address =
      ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    return false;
  }
  mapping.address = static_cast<unsigned char*>(address);
  mapping.size = static_cast<std::size_t>(size);
  return true;
}

bool UnmapOutputFile(OutputMapping& mapping) {
  if (mapping.address == nullptr) {
    return false;
  }
  const bool unmapped = ::munmap(mapping.address, mapping.size) == 0;
  mapping = OutputMapping{};
  return unmapped;
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
