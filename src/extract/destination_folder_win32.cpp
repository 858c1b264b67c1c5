#include "extract/destination_folder.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Refuse(const fs::path& path, const std::string& why) {
  throw std::runtime_error("Refusing to unpack into " + path.u8string() + ": " + why);
}

}  // namespace

void CheckDestinationFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    throw fs::filesystem_error(
        "exists", path, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
  // A link or junction would send what is unpacked, and what the clean-up
  // removes, somewhere else.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Refuse(path, "it is a symbolic link or junction");
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    Refuse(path, "it is not a folder");
  }
}

void CreateDestinationFolder(const fs::path& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) {
    throw fs::filesystem_error("create_directories", path, error);
  }
  // The user's temporary directory is the user's own: a folder made there by
  // a race is still checked for a link.
  CheckDestinationFolder(path);
}
