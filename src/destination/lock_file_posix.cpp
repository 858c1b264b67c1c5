#include "destination/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "destination/destination.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Refuse(const fs::path& destination, const fs::path& path,
                         const std::string& why) {
  RefuseToUnpack(destination, "its lock file " + path.u8string() + " " + why);
}

[[noreturn]] void ThrowSystemError(const char* operation, const fs::path& path) {
  throw fs::filesystem_error(operation, path, std::error_code(errno, std::generic_category()));
}

// The record decides which folder a run may remove: only the user may be
// able to change it.
void CheckOpenedFile(int descriptor, const fs::path& path, const fs::path& destination) {
  struct stat info;
  if (fstat(descriptor, &info) != 0) {
    ThrowSystemError("exists", path);
  }
  if (!S_ISREG(info.st_mode)) {
    Refuse(destination, path, "is not a regular file");
  }
  if (info.st_uid != geteuid()) {
    Refuse(destination, path, "belongs to another user (uid " + std::to_string(info.st_uid) + ")");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Refuse(destination, path, "may be written to by other users");
  }
}

struct flock OneByte(short type, std::uint64_t offset) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = 1;
  return range;
}

}  // namespace

bool SharedLockFile::Open(const fs::path& path, const fs::path& destination,
                          std::error_code& error) {
  path_ = path;
  // O_NONBLOCK: whatever else stands there, opening it must not wait.
  const int descriptor =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (descriptor < 0) {
    if (errno == ELOOP) {
      Refuse(destination, path, "is a symbolic link");
    }
    error.assign(errno, std::generic_category());
    return false;
  }
  handle_ = descriptor;
  CheckOpenedFile(descriptor, path, destination);
  return true;
}

bool SharedLockFile::MayBeRemovedName(const std::error_code&) {
  // unlink takes the name at once.
  return false;
}

bool SharedLockFile::TryLock(std::uint64_t offset, bool exclusive) {
  // Open file description locks: owned by this open, not by the process, so
  // that closing another descriptor of the file releases nothing, and two
  // opens in one process exclude each other.
  struct flock range = OneByte(exclusive ? F_WRLCK : F_RDLCK, offset);
  if (fcntl(static_cast<int>(handle_), F_OFD_SETLK, &range) == 0) {
    return true;
  }
  if (errno == EAGAIN || errno == EACCES) {
    return false;
  }
  ThrowSystemError("lock", path_);
}

void SharedLockFile::Unlock(std::uint64_t offset) {
  struct flock range = OneByte(F_UNLCK, offset);
  fcntl(static_cast<int>(handle_), F_OFD_SETLK, &range);
}

bool SharedLockFile::StillNamed() {
  struct stat held;
  return fstat(static_cast<int>(handle_), &held) == 0 && held.st_nlink != 0 &&
         IdentityAt(path_) == FolderIdentity{static_cast<std::uint64_t>(held.st_dev),
                                             static_cast<std::uint64_t>(held.st_ino)};
}

std::string SharedLockFile::ReadStart(std::size_t length) {
  std::string bytes(length, '\0');
  const ssize_t got = pread(static_cast<int>(handle_), bytes.data(), length, 0);
  if (got < 0) {
    ThrowSystemError("read", path_);
  }
  bytes.resize(static_cast<std::size_t>(got));
  return bytes;
}

void SharedLockFile::WriteStart(const std::string& bytes) {
  const ssize_t put = pwrite(static_cast<int>(handle_), bytes.data(), bytes.size(), 0);
  if (put < 0) {
    ThrowSystemError("write", path_);
  }
  if (static_cast<std::size_t>(put) != bytes.size()) {
    throw fs::filesystem_error("write", path_, std::make_error_code(std::errc::no_space_on_device));
  }
}

void SharedLockFile::Remove() {
  ::unlink(path_.c_str());
}

void SharedLockFile::Close() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}
