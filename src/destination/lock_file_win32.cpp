#include "destination/lock_file.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "destination/destination.h"
#include "text/long_path.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Written over the record of a removed lock file. Windows refuses to open a
// file whose removal is pending, but Wine opens it (the same file) until its
// last handle is closed and reports no pending removal: the mark tells every
// holder to let it go.
constexpr char kRemovedMark[] = "STARTRMV";
constexpr DWORD kRemovedMarkSize = 8;

[[noreturn]] void Refuse(const fs::path& destination, const fs::path& path,
                         const std::string& why) {
  RefuseToUnpack(destination, "its lock file " + path.u8string() + " " + why);
}

[[noreturn]] void ThrowSystemError(const char* operation, const fs::path& path) {
  throw fs::filesystem_error(
      operation, path, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

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

bool SharedLockFile::Open(const fs::path& path, const fs::path& destination,
                          std::error_code& error) {
  path_ = path;
  const std::wstring extended = ExtendedLengthPath(path.wstring());
  if (extended.empty()) {
    error.assign(static_cast<int>(GetLastError()), std::system_category());
    return false;
  }
  // Not inheritable (no security attributes): the application, started with
  // bInheritHandles TRUE, must not hold the locks. DELETE access and sharing
  // it let the last run out remove the file while others hold it open.
  HANDLE opened =
      CreateFileW(extended.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    error.assign(static_cast<int>(GetLastError()), std::system_category());
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(opened);
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(opened, &information)) {
    ThrowSystemError("exists", path);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Refuse(destination, path, "is a symbolic link or junction");
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    Refuse(destination, path, "is not a regular file");
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
  // A removed file stays until its last handle closes, "delete pending";
  // meanwhile its name cannot be opened (under Wine it opens the same file).
  char start[kRemovedMarkSize] = {};
  OVERLAPPED position = At(0);
  DWORD got = 0;
  if (ReadFile(AsHandle(handle_), start, kRemovedMarkSize, &got, &position) &&
      got == kRemovedMarkSize && std::string(start, got) == kRemovedMark) {
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
         IdentityAt(path_) ==
             FolderIdentity{
                 held.dwVolumeSerialNumber,
                 (static_cast<std::uint64_t>(held.nFileIndexHigh) << 32) | held.nFileIndexLow};
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
  // After the removal is set, so that a run that dies between the two still
  // leaves no marked file behind: its handle's closing removes it.
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
