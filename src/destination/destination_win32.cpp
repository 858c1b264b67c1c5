#include "destination/destination.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "text/long_path.h"

namespace {

namespace fs = std::filesystem;

// A read-only file or folder cannot be deleted until the attribute is cleared.
bool ClearReadOnly(const std::wstring& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  return SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
}

// An entry the listing showed that is gone by now was removed by someone else
// (ERROR_FILE_NOT_FOUND); the top folder may be gone altogether. Any other
// "not found" is an error: it would otherwise hide a tree that is still there.
bool Gone(DWORD code, bool top) {
  return code == ERROR_FILE_NOT_FOUND || (top && code == ERROR_PATH_NOT_FOUND);
}

bool Failed(DWORD code, std::error_code& error) {
  error.assign(static_cast<int>(code), std::system_category());
  return false;
}

bool RemoveEntry(const std::wstring& path, DWORD attributes, bool top, std::error_code& error);

// Removes what lies inside `folder`. No match at all is an empty folder.
bool RemoveContents(const std::wstring& folder, bool top, std::error_code& error) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return Gone(code, top) || Failed(code, error);
  }
  bool ok = true;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") {
      ok = RemoveEntry(folder + L"\\" + name, found.dwFileAttributes, false, error);
    }
  } while (ok && FindNextFileW(search, &found));
  FindClose(search);
  return ok;
}

// Removes the entry `path`, a path in the long form so that no depth is out
// of reach, contents first. Reparse points (symbolic links, junctions, mount
// points) are removed as entries and never descended into, so the removal
// cannot reach anything outside the tree.
bool RemoveEntry(const std::wstring& path, DWORD attributes, bool top, std::error_code& error) {
  const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isFolder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      !RemoveContents(path, top, error)) {
    return false;
  }
  auto remove = [&] {
    return isFolder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  };
  if (remove() ||
      (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(path, attributes) && remove())) {
    return true;
  }
  const DWORD code = GetLastError();
  return Gone(code, top) || Failed(code, error);
}

}  // namespace

fs::path TemporaryDirectory() {
  // Unlike on POSIX, the path needs no check of its text: a backslash is the
  // separator, and no existing folder's path holds a double quote.
  return fs::temp_directory_path();
}

bool PathExists(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  return !Gone(GetLastError(), true);
}

void CheckDestinationFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    throw fs::filesystem_error(
        "exists", path, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
  // A link or junction would send what is unpacked, and what the clean-up
  // removes, somewhere else.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    RefuseToUnpack(path, "it is a symbolic link or junction");
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    RefuseToUnpack(path, "it is not a folder");
  }
}

void CheckDestinationParent(const fs::path&) {
  // The user's temporary directory is the user's own.
}

bool CreateDestinationFolder(const fs::path& path) {
  std::error_code error;
  const bool created = fs::create_directories(path, error);
  if (error) {
    throw fs::filesystem_error("create_directories", path, error);
  }
  // The user's temporary directory is the user's own: a folder made there by
  // a race is still checked for a link.
  CheckDestinationFolder(path);
  return created;
}

std::optional<FolderIdentity> IdentityAt(const fs::path& path) {
  const std::wstring extended = ExtendedLengthPath(path.wstring());
  if (extended.empty()) {
    return std::nullopt;
  }
  // Attributes only, shared every way, the link itself: the query takes
  // nothing from anyone.
  HANDLE opened =
      CreateFileW(extended.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(opened, &information) != 0;
  CloseHandle(opened);
  if (!known) {
    return std::nullopt;
  }
  return FolderIdentity{
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

void RemoveDestinationTree(const std::wstring& path) {
  // The same long form the files were written with: a tree deeper than
  // MAX_PATH is removed whole, not mistaken for one that is already gone.
  const std::wstring extended = ExtendedLengthPath(path);
  std::error_code error;
  if (extended.empty()) {
    Failed(GetLastError(), error);
  } else if (const DWORD attributes = GetFileAttributesW(extended.c_str());
             attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (Gone(code, true)) {
      return;
    }
    Failed(code, error);
  } else if (RemoveEntry(extended, attributes, true, error)) {
    return;
  }
  throw fs::filesystem_error("remove_all", fs::path(path), error);
}
