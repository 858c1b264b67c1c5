#include "destination/destination.h"
#include "destination/folder_walker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "text/entry_name.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

std::error_code SystemError(int code) {
  return std::error_code(code, std::generic_category());
}

bool Failed(std::error_code& error, int code) {
  error = SystemError(code);
  return false;
}

[[noreturn]] void ThrowSystemError(const char* operation, const fs::path& path) {
  throw fs::filesystem_error(operation, path, SystemError(errno));
}

bool OwnedByThisUserOrRoot(const struct stat& info) {
  return info.st_uid == geteuid() || info.st_uid == 0;
}

FolderIdentity IdentityOf(const struct stat& info) {
  return FolderIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

std::string OwnerText(const struct stat& info) {
  return "(uid " + std::to_string(info.st_uid) + ")";
}

// lstat, or stat when `follow`, throwing the failure as "exists".
struct stat StatOrThrow(const fs::path& path, bool follow) {
  struct stat info;
  if ((follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) {
    ThrowSystemError("exists", path);
  }
  return info;
}

// As in libstdc++, a program running with raised privileges takes no temporary directory from the
// environment where the C library can tell.
const char* TemporaryDirectoryVariable(const char* name) {
#if defined(__GLIBC__)
  return secure_getenv(name);
#else
  return std::getenv(name);
#endif
}

// Sets the one-byte lock at `offset` of `type`, as fcntl answers. Open file description locks
// belong to the open, not the process: closing another descriptor of the file releases nothing.
int LockByte(std::intptr_t handle, short type, std::uint64_t offset) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = 1;
  return fcntl(static_cast<int>(handle), F_OFD_SETLK, &range);
}

// What stands at `part` in `folder`, not following a link.
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

fs::path TemporaryDirectory() {
  // libstdc++'s variables in its order, but an empty one counts as unset instead of failing as an
  // empty path.
  fs::path path = "/tmp";
  for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    const char* value = TemporaryDirectoryVariable(name);
    if (value != nullptr && *value != '\0') {
      path = value;
      break;
    }
  }
  // Each would send the writes or the launch elsewhere than to the folder checked: the destination
  // travels as wide text (bytes not UTF-8 become U+FFFD), output and program paths turn '\' into
  // '/', and a double quote ends the program name read back from a command line of Windows rules.
  const std::string& text = path.native();
  const char* held = text.find('\\') != std::string::npos  ? "a backslash"
                     : text.find('"') != std::string::npos ? "a double quote"
                     : !IsValidUtf8(text)                  ? "bytes that are not well-formed UTF-8"
                                                           : nullptr;
  if (held != nullptr) {
    throw fs::filesystem_error("temp_directory_path: the temporary directory's path holds " +
                                   std::string(held) +
                                   ", which the starter cannot pass on faithfully",
                               path, std::make_error_code(std::errc::invalid_argument));
  }
  std::error_code error;
  if (!fs::is_directory(path, error) && !error) {
    error = std::make_error_code(std::errc::not_a_directory);
  }
  if (error) {
    throw fs::filesystem_error("temp_directory_path", path, error);
  }
  return path;
}

bool PathExists(const std::wstring& path) {
  struct stat info;  // lstat, like the Windows attribute query
  return lstat(WideToPath(path).c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

// Whoever may rename or remove entries in the parent could swap the destination for their own
// folder between its check and its use: only the parent's owner and root may, and in a sticky
// folder (as /tmp is) only the entry's owner besides.
void CheckDestinationParent(const fs::path& path) {
  const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string refusal = "its parent " + parent.string() + " ";
  // A link's owner may point it elsewhere: the link and its target must pass.
  const struct stat link = StatOrThrow(parent, false);
  if (S_ISLNK(link.st_mode) && !OwnedByThisUserOrRoot(link)) {
    RefuseToUnpack(path, refusal + "is a symbolic link of another user " + OwnerText(link));
  }
  const struct stat info = StatOrThrow(parent, true);
  if (!OwnedByThisUserOrRoot(info)) {
    RefuseToUnpack(path, refusal + "belongs to another user " + OwnerText(info));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    RefuseToUnpack(path, refusal + "may be written to by other users and is not sticky");
  }
}

void CheckDestinationFolder(const fs::path& path) {
  CheckDestinationParent(path);
  const struct stat info = StatOrThrow(path, false);
  // What is unpacked here is run: only this user may change the folder.
  if (S_ISLNK(info.st_mode)) {
    RefuseToUnpack(path, "it is a symbolic link");
  }
  if (!S_ISDIR(info.st_mode)) {
    RefuseToUnpack(path, "it is not a folder");
  }
  if (info.st_uid != geteuid()) {
    RefuseToUnpack(path, "it belongs to another user " + OwnerText(info));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    RefuseToUnpack(path, "other users may write to it");
  }
}

bool CreateDestinationFolder(const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (!parent.empty()) {
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) {
      throw fs::filesystem_error("create_directories", parent, error);
    }
  }
  CheckDestinationParent(path);
  if (mkdir(path.c_str(), 0700) == 0) {
    return true;
  }
  if (errno != EEXIST) {
    ThrowSystemError("create_directories", path);
  }
  // Made by someone else since it was found missing: it must pass as found.
  CheckDestinationFolder(path);
  return false;
}

std::optional<FolderIdentity> IdentityAt(const fs::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return IdentityOf(info);
}

void RemoveDestinationTree(const std::wstring& path) {
  const fs::path target = WideToPath(path);
  std::error_code error;
  // remove_all never follows symbolic links; it removes them.
  fs::remove_all(target, error);
  if (error) {
    throw fs::filesystem_error("remove_all", target, error);
  }
}

bool SharedLockFile::Open(const fs::path& path, const fs::path& destination,
                          std::error_code& error) {
  path_ = path;
  const std::string refusal = "its lock file " + path.u8string() + " ";
  // O_NONBLOCK: whatever else stands there, opening it must not wait.
  const int descriptor = OpenAt(AT_FDCWD, path.native(), O_RDWR | O_CREAT | O_NONBLOCK, 0600);
  if (descriptor < 0) {
    if (errno == ELOOP) {
      RefuseToUnpack(destination, refusal + "is a symbolic link");
    }
    return Failed(error, errno);
  }
  handle_ = descriptor;
  // The record decides which folder a run may remove: only the user may change it.
  struct stat info;
  if (fstat(descriptor, &info) != 0) {
    ThrowSystemError("exists", path);
  }
  if (!S_ISREG(info.st_mode)) {
    RefuseToUnpack(destination, refusal + "is not a regular file");
  }
  if (info.st_uid != geteuid()) {
    RefuseToUnpack(destination, refusal + "belongs to another user " + OwnerText(info));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    RefuseToUnpack(destination, refusal + "may be written to by other users");
  }
  return true;
}

bool SharedLockFile::MayBeRemovedName(const std::error_code&) {
  return false;  // unlink takes the name at once
}

bool SharedLockFile::TryLock(std::uint64_t offset, bool exclusive) {
  if (LockByte(handle_, exclusive ? F_WRLCK : F_RDLCK, offset) == 0) {
    return true;
  }
  if (errno == EAGAIN || errno == EACCES) {
    return false;
  }
  ThrowSystemError("lock", path_);
}

void SharedLockFile::Unlock(std::uint64_t offset) {
  LockByte(handle_, F_UNLCK, offset);
}

bool SharedLockFile::StillNamed() {
  struct stat held;
  return fstat(static_cast<int>(handle_), &held) == 0 && held.st_nlink != 0 &&
         IdentityAt(path_) == IdentityOf(held);
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

// A failed open is explained by what stands there, seen without following it: systems differ in the
// code O_NOFOLLOW gives for a link (ELOOP, or EMLINK on some BSDs).
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
    // A new file leaves the other names of the old one as they were.
    if (::unlinkat(parent, part.c_str(), 0) != 0 && errno != ENOENT) {
      return Failed(error, errno);
    }
  } else if (errno != ENOENT) {
    return Failed(error, errno);
  }
  // O_EXCL: whatever appeared meanwhile, a link included, fails the open.
  const int created =
      OpenAt(parent, part, O_RDWR | O_CREAT | O_EXCL, static_cast<mode_t>(posixMode & 0777));
  if (created < 0) {
    return Failed(error, errno);
  }
  file = created;
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
  return true;
}

std::error_code FolderWalker::FolderItself() {
  return SystemError(EISDIR);
}
