#include "destination/destination.h"

#include <windows.h>

#include "text/long_path.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void ThrowSystemError(const char* operation, const fs::path& path) {
  throw fs::filesystem_error(
      operation, path, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

// A read-only file or folder cannot be deleted until the attribute is cleared.
bool ClearReadOnly(const std::wstring& path, DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
         SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
}

FolderIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return FolderIdentity{
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

// A listed entry gone by now was removed by someone else; the top folder may
// be gone altogether. Any other "not found" would hide a tree still there.
bool Gone(DWORD code, bool top) {
  return code == ERROR_FILE_NOT_FOUND || (top && code == ERROR_PATH_NOT_FOUND);
}

bool Failed(std::error_code& error, DWORD code) {
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
    return Gone(code, top) || Failed(error, code);
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

// Removes the entry `path` (in the long form: no depth is out of reach),
// contents first. Reparse points are removed, never entered, so the removal
// cannot reach outside the tree.
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
  return Gone(code, top) || Failed(error, code);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Written over the record of a removed lock file, which Wine, unlike Windows,
// opens until its last handle closes and reports as not pending removal: the
// mark tells every holder to let it go.
constexpr char kRemovedMark[] = "STARTRMV";
constexpr DWORD kRemovedMarkSize = 8;

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

}  // namespace

fs::path TemporaryDirectory() {
  // No check of the text as on POSIX: a backslash is the separator, and no
  // path holds a double quote.
  return fs::temp_directory_path();
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES || !Gone(GetLastError(), true);
}

void CheckDestinationFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    ThrowSystemError("exists", path);
  }
  // A link or junction would send what is unpacked and removed elsewhere.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    RefuseToUnpack(path, "it is a symbolic link or junction");
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    RefuseToUnpack(path, "it is not a folder");
  }
}

void CheckDestinationParent(const fs::path&) {}  // the user's own temporary directory

bool CreateDestinationFolder(const fs::path& path) {
  std::error_code error;
  const bool created = fs::create_directories(path, error);
  if (error) {
    throw fs::filesystem_error("create_directories", path, error);
  }
  // Made by this call or a race: either way checked for a link.
  CheckDestinationFolder(path);
  return created;
}

std::optional<FolderIdentity> IdentityAt(const fs::path& path) {
  const std::wstring extended = ExtendedLengthPath(path.wstring());
  if (extended.empty()) {
    return std::nullopt;
  }
  // Attributes only, shared every way, the link itself: taking nothing from anyone.
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
  return known ? std::optional(IdentityOf(information)) : std::nullopt;
}

void RemoveDestinationTree(const std::wstring& path) {
  // The long form the files were written with: a tree deeper than MAX_PATH is
  // removed whole, not mistaken for one already gone.
  const std::wstring extended = ExtendedLengthPath(path);
  std::error_code error;
  if (extended.empty()) {
    Failed(error, GetLastError());
  } else if (const DWORD attributes = GetFileAttributesW(extended.c_str());
             attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (Gone(code, true)) {
      return;
    }
    Failed(error, code);
  } else if (RemoveEntry(extended, attributes, true, error)) {
    return;
  }
  throw fs::filesystem_error("remove_all", fs::path(path), error);
}

bool SharedLockFile::Open(const fs::path& path, const fs::path& destination,
                          std::error_code& error) {
  path_ = path;
  const std::string refusal = "its lock file " + path.u8string() + " ";
  const std::wstring extended = ExtendedLengthPath(path.wstring());
  if (extended.empty()) {
    return Failed(error, GetLastError());
  }
  // Not inheritable (no security attributes): the application, started with
  // bInheritHandles, must not hold the locks. DELETE access and sharing let
  // the last run out remove the file while others hold it open.
  HANDLE opened =
      CreateFileW(extended.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return Failed(error, GetLastError());
  }
  handle_ = reinterpret_cast<std::intptr_t>(opened);
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(opened, &information)) {
    ThrowSystemError("exists", path);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    RefuseToUnpack(destination, refusal + "is a symbolic link or junction");
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RefuseToUnpack(destination, refusal + "is not a regular file");
  }
  return true;
}

bool SharedLockFile::MayBeRemovedName(const std::error_code& error) {
  return error.category() == std::system_category() && error.value() == ERROR_ACCESS_DENIED;
}

bool SharedLockFile::TryLock(std::uint64_t offset, bool exclusive) {
  OVERLAPPED position = At(offset);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (LockFileEx(AsHandle(handle_), flags, 0, 1, 0, &position)) {
    return true;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
    return false;
  }
  SetLastError(code);
  ThrowSystemError("lock", path_);
}

void SharedLockFile::Unlock(std::uint64_t offset) {
  OVERLAPPED position = At(offset);
  UnlockFileEx(AsHandle(handle_), 0, 1, 0, &position);
}

bool SharedLockFile::StillNamed() {
  // A removed file stays "delete pending" until its last handle closes.
  if (ReadStart(kRemovedMarkSize) == kRemovedMark) {
    return false;
  }
  FILE_STANDARD_INFO standard;
  if (GetFileInformationByHandleEx(AsHandle(handle_), FileStandardInfo, &standard,
                                   sizeof standard) &&
      standard.DeletePending) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION held;
  return GetFileInformationByHandle(AsHandle(handle_), &held) &&
         IdentityAt(path_) == IdentityOf(held);
}

std::string SharedLockFile::ReadStart(std::size_t length) {
  std::string bytes(length, '\0');
  OVERLAPPED position = At(0);
  DWORD got = 0;
  if (!ReadFile(AsHandle(handle_), bytes.data(), static_cast<DWORD>(length), &got, &position) &&
      GetLastError() != ERROR_HANDLE_EOF) {
    ThrowSystemError("read", path_);
  }
  bytes.resize(got);
  return bytes;
}

void SharedLockFile::WriteStart(const std::string& bytes) {
  OVERLAPPED position = At(0);
  DWORD put = 0;
  if (!WriteFile(AsHandle(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &put,
                 &position)) {
    ThrowSystemError("write", path_);
  }
  if (put != bytes.size()) {
    throw fs::filesystem_error("write", path_, std::make_error_code(std::errc::no_space_on_device));
  }
}

void SharedLockFile::Remove() {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  SetFileInformationByHandle(AsHandle(handle_), FileDispositionInfo, &disposition,
                             sizeof disposition);
  // After the removal is set, so that a run dying between the two leaves no
  // marked file behind.
  OVERLAPPED position = At(0);
  DWORD put = 0;
  WriteFile(AsHandle(handle_), kRemovedMark, kRemovedMarkSize, &put, &position);
}

void SharedLockFile::Close() {
  if (handle_ != -1) {
    CloseHandle(AsHandle(handle_));
    handle_ = -1;
  }
}
