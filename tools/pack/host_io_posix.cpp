#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "pack/host_io.h"
#include "text/entry_name.h"

namespace pack {

namespace {

std::string ErrorText(int code) {
  return std::strerror(code);
}

// The signal handler may only touch static storage, so the paths to remove on
// a signal live here rather than in the OutputFiles. A starter made from a
// folder has two at once: the archive and the starter.
constexpr int kCleanupSlots = 4;
char g_cleanupPath[kCleanupSlots][PATH_MAX + 1];
volatile sig_atomic_t g_cleanupArmed[kCleanupSlots] = {};
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveTemporaryAndDie(int signalNumber) {
  for (int slot = 0; slot < kCleanupSlots; ++slot) {
    if (g_cleanupArmed[slot]) {
      unlink(g_cleanupPath[slot]);
    }
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

bool InstallCleanupHandlers() {
  for (const int number : kCleanupSignals) {
    struct sigaction previous;
    // A signal the caller ignores (nohup, background jobs) stays ignored.
    if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      struct sigaction action = {};
      action.sa_handler = RemoveTemporaryAndDie;
      sigemptyset(&action.sa_mask);
      sigaction(number, &action, nullptr);
    }
  }
  return true;
}

// Called with the signals blocked (see OutputFile::Create).
void ArmCleanup(const std::string& path) {
  for (int slot = 0; slot < kCleanupSlots && path.size() <= PATH_MAX; ++slot) {
    if (!g_cleanupArmed[slot]) {
      std::memcpy(g_cleanupPath[slot], path.c_str(), path.size() + 1);
      g_cleanupArmed[slot] = 1;
      return;
    }
  }
}

void DisarmCleanup(const std::string& path) {
  for (int slot = 0; slot < kCleanupSlots; ++slot) {
    if (g_cleanupArmed[slot] && path == g_cleanupPath[slot]) {
      g_cleanupArmed[slot] = 0;
    }
  }
}

// Fills `info` from `st` when `result`, the stat call's, tells success.
bool StatResult(int result, const struct stat& st, NodeInfo& info, std::string& error) {
  if (result != 0) {
    error = ErrorText(errno);
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    info.kind = NodeKind::kFile;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = NodeKind::kFolder;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = NodeKind::kSymlink;
  } else {
    info.kind = NodeKind::kOther;
  }
  info.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  info.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  info.modifiedNanoseconds = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
  info.device = static_cast<std::uint64_t>(st.st_dev);
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  info.permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
  return true;
}

// Returns `fd` when it is a regular file, filling `info`; else closes it: -1.
int KeepRegularFile(int fd, NodeInfo& info, std::string& error) {
  struct stat st;
  if (StatResult(fstat(fd, &st), st, info, error)) {
    if (info.kind == NodeKind::kFile) {
      return fd;
    }
    error = "not a regular file";
  }
  close(fd);
  return -1;
}

// Opens the regular file `relative` below `folder` one level at a time, each
// relative to the level above, so that a level replaced by a symbolic link is
// met as one instead of being passed through. Returns the descriptor or -1.
int OpenBelow(const std::string& folder, const std::string& relative, bool follow, NodeInfo& info,
              std::string& error) {
  int current = open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  if (current < 0) {
    error = ErrorText(errno);
    return -1;
  }
  const std::vector<std::string_view> levels = SplitPathLevels(relative);
  for (std::size_t i = 0;; ++i) {
    const bool last = i + 1 == levels.size();
    const std::string level(levels[i]);
    // O_NONBLOCK: a FIFO does not hang the open; the type check refuses it.
    const int flags =
        O_RDONLY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW) | (last ? O_NONBLOCK : O_DIRECTORY);
    const int next = openat(current, level.c_str(), flags);
    const int openError = errno;
    // Refused, a link gives ELOOP, or ENOTDIR where a folder was wanted.
    struct stat st;
    const bool isLink = next < 0 && !follow && (openError == ELOOP || openError == ENOTDIR) &&
                        fstatat(current, level.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(st.st_mode);
    close(current);
    if (next < 0) {
      error = !isLink ? ErrorText(openError)
              : last  ? "it has been replaced by a symbolic link"
                      : "a folder above it has been replaced by a symbolic link";
      return -1;
    }
    if (last) {
      return KeepRegularFile(next, info, error);
    }
    current = next;
  }
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool InspectNode(const std::string& path, bool follow, NodeInfo& info, std::string& error) {
  struct stat st;
  return StatResult(follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st), st, info, error);
}

bool ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error) {
  names.clear();
  std::error_code code;
  for (std::filesystem::directory_iterator item(path, code), end; !code && item != end;
       item.increment(code)) {
    names.push_back(item->path().filename().string());
  }
  if (code) {
    error = code.message();
  }
  return !code;
}

std::string FolderOfPath(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool LocalTimeParts(std::int64_t seconds, std::tm& parts) {
  const time_t value = static_cast<time_t>(seconds);
  return localtime_r(&value, &parts) != nullptr;
}

void CloseHandleValue(std::intptr_t& handle) {
  if (handle >= 0) {
    close(static_cast<int>(handle));
    handle = -1;
  }
}

bool IsStderrTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

long long TransferOnce(std::intptr_t handle, std::uint64_t offset, char* buffer, std::size_t length,
                       bool write, std::string& error) {
  const int fd = static_cast<int>(handle);
  const off_t at = static_cast<off_t>(offset);
  ssize_t moved = 0;
  do {
    moved = write ? pwrite(fd, buffer, length, at) : pread(fd, buffer, length, at);
  } while (moved < 0 && errno == EINTR);
  if (moved < 0) {
    error = ErrorText(errno);
  }
  return moved;
}

bool InputFile::Open(const std::string& folder, const std::string& relative, bool follow,
                     NodeInfo& info, std::string& error) {
  Close();
  handle_ = OpenBelow(folder, relative, follow, info, error);
  return handle_ >= 0;
}

bool InputFile::Describe(NodeInfo& info, std::string& error) const {
  struct stat st;
  return StatResult(fstat(static_cast<int>(handle_), &st), st, info, error);
}

bool OutputFile::Create(const std::string& finalPath, std::string& error) {
  Discard();
  std::string pattern = FolderOfPath(finalPath) + "/." +
                        finalPath.substr(finalPath.find_last_of('/') + 1) + ".tmp-XXXXXX";
  static const bool installed = InstallCleanupHandlers();
  static_cast<void>(installed);
  // The signals wait until the file is made and armed for removal.
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  for (const int number : kCleanupSignals) {
    sigaddset(&blocked, number);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const int fd = mkostemp(&pattern[0], O_CLOEXEC);
  const int createError = errno;
  if (fd >= 0) {
    ArmCleanup(pattern);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fd < 0) {
    error = ErrorText(createError);
    return false;
  }
  handle_ = fd;
  tempPath_ = pattern;
  finalPath_ = finalPath;
  return true;
}

bool OutputFile::Truncate(std::uint64_t length, std::string& error) {
  if (ftruncate(static_cast<int>(handle_), static_cast<off_t>(length)) != 0) {
    error = ErrorText(errno);
    return false;
  }
  return true;
}

bool OutputFile::Commit(std::string& error) {
  const mode_t mask = umask(0);
  umask(mask);
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  const bool synced = fchmod(fd, (executable_ ? 0777 : 0666) & ~mask) == 0 && fsync(fd) == 0;
  const int syncError = errno;
  if (close(fd) != 0 || !synced || rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    error = ErrorText(synced ? errno : syncError);
    Discard();
    return false;
  }
  DisarmCleanup(tempPath_);
  tempPath_.clear();
  return true;
}

void OutputFile::Discard() {
  CloseHandleValue(handle_);
  if (!tempPath_.empty()) {
    unlink(tempPath_.c_str());
    DisarmCleanup(tempPath_);
    tempPath_.clear();
  }
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) {
    munmap(const_cast<unsigned char*>(data_), static_cast<std::size_t>(size_));
  }
}

bool MappedFile::Open(const std::string& path, std::string& error) {
  // O_NONBLOCK: a FIFO does not hang the open; the type check refuses it.
  const int opened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (opened < 0) {
    error = ErrorText(errno);
    return false;
  }
  NodeInfo info;
  const int fd = KeepRegularFile(opened, info, error);
  if (fd < 0) {
    return false;
  }
  void* mapped = info.size == 0 ? nullptr
                                : mmap(nullptr, static_cast<std::size_t>(info.size), PROT_READ,
                                       MAP_PRIVATE, fd, 0);
  const int mapError = errno;
  close(fd);
  if (mapped == MAP_FAILED) {
    error = ErrorText(mapError);
    return false;
  }
  data_ = static_cast<const unsigned char*>(mapped);
  size_ = info.size;
  return true;
}

}  // namespace pack
