#include "destination/destination.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Refuse(const fs::path& path, const std::string& why) {
  throw std::runtime_error("Refusing to unpack into " + path.string() + ": " + why);
}

[[noreturn]] void ThrowCreateFailure(const fs::path& path, int error) {
  throw fs::filesystem_error("create_directories", path,
                             std::error_code(error, std::generic_category()));
}

}  // namespace

bool PathExists(const std::wstring& path) {
  const std::string native = WideToPath(path).native();
  struct stat info;
  // lstat, like the Windows attribute query, does not follow a link.
  if (lstat(native.c_str(), &info) == 0) {
    return true;
  }
  return errno != ENOENT && errno != ENOTDIR;
}

void CheckDestinationFolder(const fs::path& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    throw fs::filesystem_error("exists", path, std::error_code(errno, std::generic_category()));
  }
  // What is unpacked here is run: only a folder that nobody but this user can
  // change may hold it.
  if (S_ISLNK(info.st_mode)) {
    Refuse(path, "it is a symbolic link");
  }
  if (!S_ISDIR(info.st_mode)) {
    Refuse(path, "it is not a folder");
  }
  if (info.st_uid != geteuid()) {
    Refuse(path, "it belongs to another user (uid " + std::to_string(info.st_uid) + ")");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Refuse(path, "other users may write to it");
  }
}

void CreateDestinationFolder(const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (!parent.empty()) {
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) {
      throw fs::filesystem_error("create_directories", parent, error);
    }
  }
  if (mkdir(path.c_str(), 0700) == 0) {
    return;
  }
  if (errno != EEXIST) {
    ThrowCreateFailure(path, errno);
  }
  // Made by someone else since it was found missing: it must pass as found.
  CheckDestinationFolder(path);
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
