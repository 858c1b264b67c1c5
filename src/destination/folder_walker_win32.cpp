#include "destination/folder_walker.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "text/long_path.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

// ERROR_REPARSE_POINT_ENCOUNTERED, which MinGW's headers lack.
constexpr DWORD kReparsePointEncountered = 4395;

std::error_code SystemError(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

bool Failed(std::error_code& error, DWORD code) {
  error = SystemError(code);
  return false;
}

using Step = FolderWalker::Step;

// The path of the level `name` (UTF-8) in `folder`.
std::wstring Join(const std::wstring& folder, const std::string& name) {
  const std::wstring wide = Utf8ToWide(name.data(), name.size());
  if (!folder.empty() && folder.back() == L'\\') {
    return folder + wide;
  }
  return folder + L"\\" + wide;
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Opens what stands at `path` itself, a reparse point included, for reading
// its attributes (and `access` besides), and reads them. FileAttributeTagInfo
// asks for nothing else: GetFileInformationByHandle also wants the volume
// serial number, which Wine answers by resolving the handle's whole path.
// Returns 0 with `handle` open, or the system's code with it closed.
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

// Opens the folder at `path` without FILE_SHARE_DELETE, so that while its
// handle is held it cannot be renamed, removed or replaced by a junction.
// Only kEntered leaves a handle in `entered`, which the caller then owns.
Step EnterFolder(const std::wstring& path, HANDLE& entered, DWORD& error) {
  DWORD attributes = 0;
  error = OpenItself(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, entered, attributes);
  if (error != 0) {
    return IsNotFound(error) ? Step::kMissing : Step::kFailed;
  }
  if (IsLink(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(entered);
    entered = INVALID_HANDLE_VALUE;
    error = IsLink(attributes) ? kReparsePointEncountered : ERROR_DIRECTORY;
    return IsLink(attributes) ? Step::kLink : Step::kNotFolder;
  }
  return Step::kEntered;
}

// The held way: the folders of the last way walked, from the walker's own
// folder down, each held open as EnterFolder leaves it. Since none of them
// can be renamed or replaced while held, the next walk may start where the
// part it shares with this one ends, instead of opening every level again.
void ReleaseBelow(std::vector<std::pair<std::string, std::intptr_t>>& held, std::size_t levels) {
  while (held.size() > levels) {
    CloseHandle(reinterpret_cast<HANDLE>(held.back().second));
    held.pop_back();
  }
}

}  // namespace

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
  // Held while the walker lives, so that the folder cannot be renamed or
  // replaced by a link meanwhile.
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
  // Writing into a file in place would change every other name it has; a
  // new file under this name leaves them as they were. Deleting through the
  // handle removes exactly what was looked at, never what a link points to.
  HANDLE existing = INVALID_HANDLE_VALUE;
  DWORD attributes = 0;
  DWORD code = OpenItself(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          existing, attributes);
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
  } else if (IsNotFound(code)) {
    code = 0;
  }
  // Otherwise a file another program holds without sharing deletion ends here.
  if (code != 0) {
    return Failed(error, code);
  }
  // CREATE_NEW: whatever appeared meanwhile, a link included, fails the
  // creation instead of being written through.
  HANDLE created =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    return Failed(error, GetLastError());
  }
  file = reinterpret_cast<std::intptr_t>(created);
  error.clear();
  return true;
}

bool FolderWalker::OpenHere(const std::string& part, std::intptr_t& file, std::error_code& error) {
  HANDLE opened = INVALID_HANDLE_VALUE;
  DWORD attributes = 0;
  DWORD code =
      OpenItself(Join(levelPath_, part), GENERIC_READ,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, opened, attributes);
  if (code == 0 && IsLink(attributes)) {
    CloseHandle(opened);
    code = kReparsePointEncountered;
  }
  if (code != 0) {
    return Failed(error, code);
  }
  file = reinterpret_cast<std::intptr_t>(opened);
  error.clear();
  return true;
}

std::error_code FolderWalker::FolderItself() {
  return SystemError(ERROR_ACCESS_DENIED);
}
