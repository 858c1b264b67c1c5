#include "destination/folder_walker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::error_code SystemError(int code) {
  return std::error_code(code, std::generic_category());
}

// Owns one descriptor.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Reset(-1); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

int OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

enum class Step { kEntered, kMissing, kLink, kNotFolder, kFailed };

// Enters the folder `name` inside `parent`. A failed open is explained by
// what stands there, seen without following it: systems differ in the code
// O_NOFOLLOW gives for a link (ELOOP, or EMLINK on some BSDs).
Step EnterFolder(int parent, const std::string& name, Descriptor& entered, int& error) {
  const int fd = OpenAt(parent, name, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    entered.Reset(fd);
    return Step::kEntered;
  }
  error = errno;
  struct stat info;
  if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      return Step::kMissing;
    }
    error = errno;
    return Step::kFailed;
  }
  if (S_ISLNK(info.st_mode)) {
    return Step::kLink;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = ENOTDIR;
    return Step::kNotFolder;
  }
  return Step::kFailed;
}

// Enters every level of `parts` but the last `keep`, from `start`, creating
// none. Returns false with `error` set (ELOOP for a link) when a level cannot
// be entered.
bool EnterExisting(int start, const std::vector<std::string>& parts, std::size_t keep,
                   Descriptor& folder, int& error) {
  folder.Reset(::fcntl(start, F_DUPFD_CLOEXEC, 0));
  if (folder.Get() < 0) {
    error = errno;
    return false;
  }
  for (std::size_t i = 0; i + keep < parts.size(); ++i) {
    Descriptor next;
    switch (EnterFolder(folder.Get(), parts[i], next, error)) {
      case Step::kEntered:
        folder.Reset(next.Release());
        break;
      case Step::kMissing:
        error = ENOENT;
        return false;
      case Step::kLink:
        error = ELOOP;
        return false;
      case Step::kNotFolder:
      case Step::kFailed:
        return false;
    }
  }
  return true;
}

}  // namespace

FolderWalker::~FolderWalker() {
  if (folder_ >= 0) {
    ::close(static_cast<int>(folder_));
  }
}

bool FolderWalker::Open(const fs::path& folder, std::error_code& error) {
  int fd;
  do {
    fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = SystemError(errno);
    return false;
  }
  path_ = folder;
  folder_ = fd;
  error.clear();
  return true;
}

bool FolderWalker::CreateFolder(const std::string& name) {
  const std::vector<std::string> parts = Components(name);
  const fs::path target = Below(path_, parts, parts.size());
  if (parts.empty()) {
    return true;  // the walker's own folder
  }
  Descriptor parent;
  int error = 0;
  if (!EnterExisting(static_cast<int>(folder_), parts, 1, parent, error)) {
    if (error == ELOOP) {
      return false;
    }
    throw fs::filesystem_error("create_directory", target, SystemError(error));
  }
  const std::string& last = parts.back();
  if (::mkdirat(parent.Get(), last.c_str(), 0777) == 0) {
    return true;
  }
  error = errno;
  struct stat info;
  if (error == EEXIST && ::fstatat(parent.Get(), last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) {
      return false;
    }
    if (S_ISDIR(info.st_mode)) {
      return true;
    }
  }
  throw fs::filesystem_error("create_directory", target, SystemError(error));
}

bool FolderWalker::CreateParents(const std::string& name) {
  const std::vector<std::string> parts = Components(name);
  Descriptor folder(::fcntl(static_cast<int>(folder_), F_DUPFD_CLOEXEC, 0));
  if (folder.Get() < 0) {
    throw fs::filesystem_error("exists", path_, SystemError(errno));
  }
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const fs::path level = Below(path_, parts, i + 1);
    Descriptor next;
    int error = 0;
    Step step = EnterFolder(folder.Get(), parts[i], next, error);
    if (step == Step::kMissing) {
      if (::mkdirat(folder.Get(), parts[i].c_str(), 0777) != 0 && errno != EEXIST) {
        throw fs::filesystem_error("create_directories", level, SystemError(errno));
      }
      // Made here or by someone else meanwhile: entered the same way.
      step = EnterFolder(folder.Get(), parts[i], next, error);
      if (step == Step::kMissing) {
        error = ENOENT;
      }
      if (step == Step::kMissing || step == Step::kFailed) {
        throw fs::filesystem_error("create_directories", level, SystemError(error));
      }
    }
    switch (step) {
      case Step::kEntered:
        folder.Reset(next.Release());
        break;
      case Step::kLink:
        return false;
      case Step::kNotFolder:
        throw fs::filesystem_error("create_directories", level, SystemError(error));
      case Step::kMissing:
      case Step::kFailed:
        throw fs::filesystem_error("exists", level, SystemError(error));
    }
  }
  return true;
}

bool FolderWalker::CreateFileForWriting(const std::string& name, std::uint32_t posixMode,
                                        std::intptr_t& file, std::error_code& error) {
  file = -1;
  const std::vector<std::string> parts = Components(name);
  Descriptor parent;
  int code = 0;
  if (parts.empty()) {
    error = SystemError(EISDIR);
    return false;
  }
  if (!EnterExisting(static_cast<int>(folder_), parts, 1, parent, code)) {
    error = SystemError(code);
    return false;
  }
  const std::string& last = parts.back();
  struct stat info;
  if (::fstatat(parent.Get(), last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) {
      error = SystemError(ELOOP);
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      error = SystemError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
      return false;
    }
    // Writing into the file in place would change every other name it has;
    // a new file under this name leaves them as they were.
    if (::unlinkat(parent.Get(), last.c_str(), 0) != 0 && errno != ENOENT) {
      error = SystemError(errno);
      return false;
    }
  } else if (errno != ENOENT) {
    error = SystemError(errno);
    return false;
  }
  // O_EXCL: whatever appeared meanwhile, a link included, fails the open
  // instead of being written through.
  Descriptor created(
      OpenAt(parent.Get(), last, O_RDWR | O_CREAT | O_EXCL, static_cast<mode_t>(posixMode & 0777)));
  if (created.Get() < 0) {
    error = SystemError(errno);
    return false;
  }
  file = created.Release();
  error.clear();
  return true;
}

bool FolderWalker::OpenExisting(const std::string& name, std::intptr_t& file,
                                std::error_code& error) {
  file = -1;
  const std::vector<std::string> parts = Components(name);
  Descriptor parent;
  int code = 0;
  if (parts.empty()) {
    error = SystemError(EISDIR);
    return false;
  }
  if (!EnterExisting(static_cast<int>(folder_), parts, 1, parent, code)) {
    error = SystemError(code);
    return false;
  }
  // O_NONBLOCK keeps a FIFO at the name from blocking the open.
  Descriptor opened(OpenAt(parent.Get(), parts.back(), O_RDONLY | O_NONBLOCK));
  if (opened.Get() < 0) {
    code = errno;
    struct stat info;
    if (::fstatat(parent.Get(), parts.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
      code = ELOOP;
    }
    error = SystemError(code);
    return false;
  }
  file = opened.Release();
  error.clear();
  return true;
}
