#include "starter/destination.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "extract/text_convert.h"

bool PathExists(const std::wstring& path) {
  const std::string native = WideToPath(path).native();
  struct stat info;
  // lstat, like the Windows attribute query, does not follow a link.
  if (lstat(native.c_str(), &info) == 0) {
    return true;
  }
  return errno != ENOENT && errno != ENOTDIR;
}

void RemoveDestinationTree(const std::wstring& path) {
  const std::filesystem::path target = WideToPath(path);
  std::error_code error;
  // remove_all never follows symbolic links; it removes them.
  std::filesystem::remove_all(target, error);
  if (error) {
    throw std::filesystem::filesystem_error("remove_all", target, error);
  }
}
