#include "destination/destination.h"
#include "destination/folder_walker.h"

#include <windows.h>

#include "text/long_path.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::error_code SystemError(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

bool Failed(std::error_code& error, DWORD code) {
  error = SystemError(code);
  return false;
}

[[noreturn]] void ThrowSystemError(const char* operation, const fs::path& path) {
  throw fs::filesystem_error(operation, path, SystemError(GetLastError()));
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

// "Not found" for the top of a walk; below it, a listed entry gone by now was removed by someone
// else, and any other "not found" would hide a tree still there.
bool Gone(DWORD code, bool top) {
  return code == ERROR_FILE_NOT_FOUND || (top && code == ERROR_PATH_NOT_FOUND);
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

// Removes the entry `path` (in the long form: no depth is out of reach), contents first. Reparse
// points are removed, never entered, so the removal cannot reach outside the tree.
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

// Written over the record of a removed lock file, which Wine, unlike Windows, opens until its last
// handle closes and reports as not pending removal: the mark tells every holder to let it go.
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

// ERROR_REPARSE_POINT_ENCOUNTERED, which MinGW's headers lack.
constexpr DWORD kReparsePointEncountered = 4395;

using Step = FolderWalker::Step;

// The path of the level `name` (UTF-8) in `folder`.
std::wstring Join(const std::wstring& folder, const std::string& name) {
  const bool separated = !folder.empty() && folder.back() == L'\\';
  return folder + (separated ? L"" : L"\\") + Utf8ToWide(name.data(), name.size());
}

// Opens what stands at `path` itself, a reparse point included, with `access` and
// FILE_READ_ATTRIBUTES, and reads its attributes: 0 with `handle` open, or the system's code.
// FileAttributeTagInfo, since GetFileInformationByHandle also wants the volume serial number, which
// Wine finds by resolving the path.
DWORD OpenItself(const std::wstring& path, DWORD access, DWORD share, HANDLE& handle,
                 DWORD& attributes) {
  handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
    const DWORD code = GetLastError();
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return code;
  }
  attributes = info.FileAttributes;
  return 0;
}

bool IsLink(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens the folder at `path` without FILE_SHARE_DELETE, so that while held it cannot be renamed,
// removed or replaced; only kEntered leaves `entered` open.
Step EnterFolder(const std::wstring& path, HANDLE& entered, DWORD& error) {
  DWORD attributes = 0;
  error = OpenItself(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, entered, attributes);
  if (error != 0) {
    return Gone(error, true) ? Step::kMissing : Step::kFailed;
  }
  if (IsLink(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(entered);
    entered = INVALID_HANDLE_VALUE;
    error = IsLink(attributes) ? kReparsePointEncountered : ERROR_DIRECTORY;
    return IsLink(attributes) ? Step::kLink : Step::kNotFolder;
  }
  return Step::kEntered;
}

// The folders of the last way walked stay held as EnterFolder leaves them, so that the next walk
// may start where the part it shares with this one ends.
void ReleaseBelow(std::vector<std::pair<std::string, std::intptr_t>>& held, std::size_t levels) {
  while (held.size() > levels) {
    CloseHandle(reinterpret_cast<HANDLE>(held.back().second));
    held.pop_back();
  }
}

}  // namespace

fs::path TemporaryDirectory() {
  // No check of the text as on POSIX: a backslash is the separator, and no path holds a double
  // quote.
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
      CreateFileW(extended.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
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
  // The long form the files were written with: a tree deeper than MAX_PATH is removed whole, not
  // mistaken for one already gone.
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
  // Not inheritable (no security attributes), so the application cannot hold the locks. DELETE
  // access and sharing let the last run out remove the file while others hold it open.
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
  // After the removal is set, so that a run dying between the two leaves no marked file behind.
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

FolderWalker::~FolderWalker() {
  ReleaseBelow(held_, 0);
  if (folder_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(folder_));
  }
}

bool FolderWalker::Open(const fs::path& folder, std::error_code& error) {
  std::wstring extended;
  try {
    extended = ExtendedLengthPath(folder.native());
  } catch (...) {
    return Failed(error, ERROR_NOT_ENOUGH_MEMORY);
  }
  if (extended.empty()) {
    return Failed(error, GetLastError());
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD code = 0;
  if (EnterFolder(extended, handle, code) != Step::kEntered) {
    return Failed(error, code);
  }
  path_ = folder;
  extendedPath_ = extended;
  folder_ = reinterpret_cast<std::intptr_t>(handle);
  error.clear();
  return true;
}

std::size_t FolderWalker::Restart(const std::vector<std::string>& parts, std::size_t count) {
  std::size_t kept = 0;
  levelPath_ = extendedPath_;
  while (kept < count && kept < held_.size() && held_[kept].first == parts[kept]) {
    levelPath_ = Join(levelPath_, parts[kept]);
    ++kept;
  }
  ReleaseBelow(held_, kept);
  return kept;
}

FolderWalker::Step FolderWalker::Enter(const std::string& part, std::error_code& error) {
  const std::wstring path = Join(levelPath_, part);
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD code = 0;
  const Step step = EnterFolder(path, handle, code);
  if (step != Step::kEntered) {
    error = SystemError(step == Step::kMissing ? ERROR_PATH_NOT_FOUND : code);
    return step;
  }
  try {
    held_.emplace_back(part, reinterpret_cast<std::intptr_t>(handle));
  } catch (...) {
    CloseHandle(handle);
    throw;
  }
  levelPath_ = path;
  return step;
}

bool FolderWalker::Make(const std::string& part, std::error_code& error) {
  return CreateDirectoryW(Join(levelPath_, part).c_str(), nullptr) ||
         GetLastError() == ERROR_ALREADY_EXISTS || Failed(error, GetLastError());
}

FolderWalker::Step FolderWalker::MakeLast(const std::string& part, std::error_code& error) {
  if (CreateDirectoryW(Join(levelPath_, part).c_str(), nullptr)) {
    return Step::kEntered;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS) {
    const Step step = Enter(part, error);
    return step == Step::kEntered || step == Step::kLink ? step : Step::kFailed;
  }
  error = SystemError(code);
  return Step::kFailed;
}

bool FolderWalker::CreateFileHere(const std::string& part, std::uint32_t /*posixMode*/,
                                  std::intptr_t& file, std::error_code& error) {
  const std::wstring path = Join(levelPath_, part);
  // A new file leaves the other names of the old one as they were. Deleting through the handle
  // removes what was looked at, never a link's target.
  HANDLE existing = INVALID_HANDLE_VALUE;
  DWORD attributes = 0;
  DWORD code = OpenItself(path, DELETE, kShareAll, existing, attributes);
  if (code == 0) {
    FILE_DISPOSITION_INFO remove = {};
    remove.DeleteFile = TRUE;
    if (IsLink(attributes)) {
      code = kReparsePointEncountered;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      code = ERROR_ACCESS_DENIED;
    } else if (!SetFileInformationByHandle(existing, FileDispositionInfo, &remove, sizeof remove)) {
      code = GetLastError();  // read-only, or a running program
    }
    CloseHandle(existing);
  } else if (Gone(code, true)) {
    code = 0;
  }
  // Otherwise a file another program holds without sharing deletion ends here.
  if (code != 0) {
    return Failed(error, code);
  }
  // CREATE_NEW: whatever appeared meanwhile, a link included, fails it.
  HANDLE created =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    return Failed(error, GetLastError());
  }
  file = reinterpret_cast<std::intptr_t>(created);
  return true;
}

bool FolderWalker::OpenHere(const std::string& part, std::intptr_t& file, std::error_code& error) {
  HANDLE opened = INVALID_HANDLE_VALUE;
  DWORD attributes = 0;
  DWORD code = OpenItself(Join(levelPath_, part), GENERIC_READ, kShareAll, opened, attributes);
  if (code == 0 && IsLink(attributes)) {
    CloseHandle(opened);
    code = kReparsePointEncountered;
  }
  if (code != 0) {
    return Failed(error, code);
  }
  file = reinterpret_cast<std::intptr_t>(opened);
  return true;
}

std::error_code FolderWalker::FolderItself() {
  return SystemError(ERROR_ACCESS_DENIED);
}
