#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "extract/output_file.h"

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// Whether large data is best decoded into a mapping of the file (see
// PrefersView). On tmpfs every page of a shared mapping is allocated by its
// own fault; on ext4, xfs and btrfs the room is reserved as unwritten extents
// first and every page faults again on its first write. Measured, positional
// writes from the worker's buffer took less time there, with one worker as
// with all, though writes to one file take its lock in turn.
bool MappingSuits(int fd) {
#if defined(__linux__)
  struct statfs volume;
  if (::fstatfs(fd, &volume) == 0) {
    switch (static_cast<std::uint32_t>(volume.f_type)) {
      case TMPFS_MAGIC:
      case EXT4_SUPER_MAGIC:  // also ext2 and ext3
      case XFS_SUPER_MAGIC:
      case BTRFS_SUPER_MAGIC:
        return false;
      default:
        break;
    }
  }
#else
  static_cast<void>(fd);
#endif
  return true;
}

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

bool OutputFile::PrefersView() const {
  if (prefersView_ == kUndecided) {
    prefersView_ = handle_ >= 0 && MappingSuits(static_cast<int>(handle_)) ? kYes : kNo;
  }
  return prefersView_ == kYes;
}

unsigned char* OutputFile::MapView(std::uint64_t size) {
  if (handle_ < 0 || view_ != nullptr || size == 0 || size > kMaxOffset ||
      size > std::numeric_limits<std::size_t>::max()) {
    return nullptr;
  }
  const int fd = static_cast<int>(handle_);
  // A page written through the view past the volume's room would end the
  // process with SIGBUS; reserving every block first turns that into a
  // failure here.
  int error;
  do {
    error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (error == EINTR);
  if (error != 0) {
    return nullptr;
  }
  void* address =
      ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    return nullptr;
  }
  view_ = static_cast<unsigned char*>(address);
  viewSize_ = static_cast<std::size_t>(size);
  return view_;
}

bool OutputFile::UnmapView() {
  if (view_ == nullptr) {
    return false;
  }
  const bool unmapped = ::munmap(view_, viewSize_) == 0;
  view_ = nullptr;
  viewSize_ = 0;
  return unmapped;
}

bool OutputFile::SetTimes(std::int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
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
