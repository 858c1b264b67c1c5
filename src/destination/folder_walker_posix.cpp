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

bool Failed(std::error_code& error, int code) {
  error = SystemError(code);
  return false;
}

// What stands at `part` in `folder`, not following a link; false when the
// query fails (errno says why).
bool LookAt(int folder, const std::string& part, struct stat& info) {
  return ::fstatat(folder, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

int OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

FolderWalker::~FolderWalker() {
  Restart({}, 0);
  if (folder_ >= 0) {
    ::close(static_cast<int>(folder_));
  }
}

bool FolderWalker::Open(const fs::path& folder, std::error_code& error) {
  const int fd = OpenAt(AT_FDCWD, folder.native(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    return Failed(error, errno);
  }
  path_ = folder;
  folder_ = fd;
  level_ = fd;
  error.clear();
  return true;
}

std::size_t FolderWalker::Restart(const std::vector<std::string>&, std::size_t) {
  if (level_ != folder_) {
    ::close(static_cast<int>(level_));
    level_ = folder_;
  }
  return 0;
}

// A failed open is explained by what stands there, seen without following
// it: systems differ in the code O_NOFOLLOW gives for a link (ELOOP, or
// EMLINK on some BSDs).
FolderWalker::Step FolderWalker::Enter(const std::string& part, std::error_code& error) {
  const int parent = static_cast<int>(level_);
  const int fd = OpenAt(parent, part, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    Restart({}, 0);
    level_ = fd;
    return Step::kEntered;
  }
  int code = errno;
  Step step = Step::kFailed;
  struct stat info;
  if (!LookAt(parent, part, info)) {
    code = errno;
    step = code == ENOENT ? Step::kMissing : Step::kFailed;
  } else if (S_ISLNK(info.st_mode)) {
    code = ELOOP;
    step = Step::kLink;
  } else if (!S_ISDIR(info.st_mode)) {
    code = ENOTDIR;
    step = Step::kNotFolder;
  }
  error = SystemError(code);
  return step;
}

bool FolderWalker::Make(const std::string& part, std::error_code& error) {
  return ::mkdirat(static_cast<int>(level_), part.c_str(), 0777) == 0 || errno == EEXIST ||
         Failed(error, errno);
}

FolderWalker::Step FolderWalker::MakeLast(const std::string& part, std::error_code& error) {
  const int parent = static_cast<int>(level_);
  if (::mkdirat(parent, part.c_str(), 0777) == 0) {
    return Step::kEntered;
  }
  const int code = errno;
  struct stat info;
  if (code == EEXIST && LookAt(parent, part, info)) {
    if (S_ISLNK(info.st_mode)) {
      return Step::kLink;
    }
    if (S_ISDIR(info.st_mode)) {
      return Step::kEntered;
    }
  }
  error = SystemError(code);
  return Step::kFailed;
}

bool FolderWalker::CreateFileHere(const std::string& part, std::uint32_t posixMode,
                                  std::intptr_t& file, std::error_code& error) {
  const int parent = static_cast<int>(level_);
  struct stat info;
  if (LookAt(parent, part, info)) {
    if (S_ISLNK(info.st_mode)) {
      return Failed(error, ELOOP);
    }
    if (!S_ISREG(info.st_mode)) {
      return Failed(error, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    // Writing into the file in place would change every other name it has;
    // a new file under this name leaves them as they were.
    if (::unlinkat(parent, part.c_str(), 0) != 0 && errno != ENOENT) {
      return Failed(error, errno);
    }
  } else if (errno != ENOENT) {
    return Failed(error, errno);
  }
  // O_EXCL: whatever appeared meanwhile, a link included, fails the open
  // instead of being written through.
  const int created =
      OpenAt(parent, part, O_RDWR | O_CREAT | O_EXCL, static_cast<mode_t>(posixMode & 0777));
  if (created < 0) {
    return Failed(error, errno);
  }
  file = created;
  error.clear();
  return true;
}

bool FolderWalker::OpenHere(const std::string& part, std::intptr_t& file, std::error_code& error) {
  const int parent = static_cast<int>(level_);
  // O_NONBLOCK keeps a FIFO at the name from blocking the open.
  const int opened = OpenAt(parent, part, O_RDONLY | O_NONBLOCK);
  if (opened < 0) {
    const int code = errno;
    struct stat info;
    return Failed(error, LookAt(parent, part, info) && S_ISLNK(info.st_mode) ? ELOOP : code);
  }
  file = opened;
  error.clear();
  return true;
}

std::error_code FolderWalker::FolderItself() {
  return SystemError(EISDIR);
}
