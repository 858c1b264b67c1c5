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

// The levels as the system's wide text.
std::vector<std::wstring> Wide(const std::vector<std::string>& names) {
  std::vector<std::wstring> parts;
  for (const std::string& part : names) {
    parts.push_back(Utf8ToWide(part.data(), part.size()));
  }
  return parts;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && folder.back() == L'\\') {
    return folder + name;
  }
  return folder + L"\\" + name;
}

// Opens what stands at `path` itself, a reparse point included, for reading
// its attributes (and `access` besides).
HANDLE OpenItself(const std::wstring& path, DWORD access, DWORD share) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The attributes of what `handle` refers to. FileAttributeTagInfo asks for
// nothing else: GetFileInformationByHandle also wants the volume serial
// number, which Wine answers by resolving the handle's whole path.
bool ReadAttributes(HANDLE handle, DWORD& attributes) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
    return false;
  }
  attributes = info.FileAttributes;
  return true;
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

enum class Step { kEntered, kMissing, kLink, kNotFolder, kFailed };

// Opens the folder at `path` without FILE_SHARE_DELETE, so that while its
// handle is held it cannot be renamed, removed or replaced by a junction.
// Only kEntered leaves a handle in `entered`, which the caller then owns.
Step EnterFolder(const std::wstring& path, HANDLE& entered, DWORD& error) {
  entered = INVALID_HANDLE_VALUE;
  HANDLE handle = OpenItself(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return IsNotFound(error) ? Step::kMissing : Step::kFailed;
  }
  DWORD attributes = 0;
  Step step = Step::kEntered;
  if (!ReadAttributes(handle, attributes)) {
    error = GetLastError();
    step = Step::kFailed;
  } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = kReparsePointEncountered;
    step = Step::kLink;
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_DIRECTORY;
    step = Step::kNotFolder;
  }
  if (step != Step::kEntered) {
    CloseHandle(handle);
    return step;
  }
  entered = handle;
  return Step::kEntered;
}

// The held way: the folders of the last way walked, from the walker's own
// folder down, each held open as EnterFolder leaves it. Since none of them
// can be renamed or replaced while held, the next walk may start where the
// part it shares with this one ends, instead of opening every level again.
struct HeldWay {
  std::vector<std::wstring>& names;
  std::vector<std::intptr_t>& handles;
};

void ReleaseBelow(HeldWay way, std::size_t levels) {
  while (way.handles.size() > levels) {
    CloseHandle(reinterpret_cast<HANDLE>(way.handles.back()));
    way.handles.pop_back();
    way.names.pop_back();
  }
}

// Keeps the held levels that are the first of `parts` (at most `count`) and
// releases the others. Returns how many were kept; `path` is then the last
// kept level's path, or `start`.
std::size_t KeepShared(HeldWay way, const std::wstring& start,
                       const std::vector<std::wstring>& parts, std::size_t count,
                       std::wstring& path) {
  std::size_t kept = 0;
  path = start;
  while (kept < count && kept < way.names.size() && way.names[kept] == parts[kept]) {
    path = Join(path, parts[kept]);
    ++kept;
  }
  ReleaseBelow(way, kept);
  return kept;
}

// Adds the entered folder `name` at the end of the held way, which takes
// over `handle` (closing it when it cannot be held).
void Hold(HeldWay way, const std::wstring& name, HANDLE handle) {
  try {
    way.handles.reserve(way.handles.size() + 1);
    way.names.push_back(name);
  } catch (...) {
    CloseHandle(handle);
    throw;
  }
  way.handles.push_back(reinterpret_cast<std::intptr_t>(handle));  // reserved: cannot throw
}

// Enters every level of `parts` but the last `keep`, creating none, and
// holds them as the way. Returns false with `error` set when one cannot be
// entered; `path` is then the level's, else the last one entered.
bool EnterExisting(HeldWay way, const std::wstring& start, const std::vector<std::wstring>& parts,
                   std::size_t keep, std::wstring& path, DWORD& error) {
  const std::size_t count = parts.size() > keep ? parts.size() - keep : 0;
  for (std::size_t i = KeepShared(way, start, parts, count, path); i < count; ++i) {
    path = Join(path, parts[i]);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const Step step = EnterFolder(path, handle, error);
    if (step == Step::kMissing) {
      error = ERROR_PATH_NOT_FOUND;
    }
    if (step != Step::kEntered) {
      return false;
    }
    Hold(way, parts[i], handle);
  }
  return true;
}

}  // namespace

FolderWalker::~FolderWalker() {
  ReleaseBelow(HeldWay{heldNames_, heldHandles_}, 0);
  if (folder_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(folder_));
  }
}

bool FolderWalker::Open(const fs::path& folder, std::error_code& error) {
  std::wstring extended;
  try {
    extended = ExtendedLengthPath(folder.native());
  } catch (...) {
    error = SystemError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (extended.empty()) {
    error = SystemError(GetLastError());
    return false;
  }
  // Held while the walker lives, so that the folder cannot be renamed or
  // replaced by a link meanwhile.
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD code = 0;
  if (EnterFolder(extended, handle, code) != Step::kEntered) {
    error = SystemError(code);
    return false;
  }
  path_ = folder;
  extendedPath_ = extended;
  folder_ = reinterpret_cast<std::intptr_t>(handle);
  error.clear();
  return true;
}

bool FolderWalker::CreateFolder(const std::string& name) {
  const std::vector<std::string> names = Components(name);
  const std::vector<std::wstring> parts = Wide(names);
  const fs::path target = Below(path_, names, names.size());
  if (parts.empty()) {
    return true;  // the walker's own folder
  }
  const HeldWay way{heldNames_, heldHandles_};
  std::wstring parent;
  DWORD error = 0;
  if (!EnterExisting(way, extendedPath_, parts, 1, parent, error)) {
    if (error == kReparsePointEncountered) {
      return false;
    }
    throw fs::filesystem_error("create_directory", target, SystemError(error));
  }
  const std::wstring path = Join(parent, parts.back());
  if (CreateDirectoryW(path.c_str(), nullptr)) {
    return true;
  }
  error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const Step step = EnterFolder(path, handle, error);
    if (step == Step::kEntered) {
      Hold(way, parts.back(), handle);
      return true;
    }
    if (step == Step::kLink) {
      return false;
    }
  }
  throw fs::filesystem_error("create_directory", target, SystemError(error));
}

bool FolderWalker::CreateParents(const std::string& name) {
  const std::vector<std::string> names = Components(name);
  const std::vector<std::wstring> parts = Wide(names);
  const HeldWay way{heldNames_, heldHandles_};
  const std::size_t count = parts.empty() ? 0 : parts.size() - 1;
  std::wstring path;
  for (std::size_t i = KeepShared(way, extendedPath_, parts, count, path); i < count; ++i) {
    path = Join(path, parts[i]);
    const fs::path level = Below(path_, names, i + 1);
    DWORD error = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    Step step = EnterFolder(path, handle, error);
    if (step == Step::kMissing) {
      if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw fs::filesystem_error("create_directories", level, SystemError(GetLastError()));
      }
      // Made here or by someone else meanwhile: entered the same way.
      step = EnterFolder(path, handle, error);
      if (step == Step::kMissing || step == Step::kFailed) {
        throw fs::filesystem_error("create_directories", level, SystemError(error));
      }
    }
    switch (step) {
      case Step::kEntered:
        Hold(way, parts[i], handle);
        break;
      case Step::kLink:
        return false;
      case Step::kNotFolder:
        throw fs::filesystem_error("create_directories", level, SystemError(error));
      case Step::kMissing:
      case Step::kFailed:
        throw fs::filesystem_error("exists", level, SystemError(error));
    }
  }
  return true;
}

bool FolderWalker::CreateFileForWriting(const std::string& name, std::uint32_t /*posixMode*/,
                                        std::intptr_t& file, std::error_code& error) {
  file = -1;
  const std::vector<std::wstring> parts = Wide(Components(name));
  if (parts.empty()) {
    error = SystemError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::wstring parent;
  DWORD code = 0;
  if (!EnterExisting(HeldWay{heldNames_, heldHandles_}, extendedPath_, parts, 1, parent, code)) {
    error = SystemError(code);
    return false;
  }
  const std::wstring path = Join(parent, parts.back());
  // Writing into a file in place would change every other name it has; a
  // new file under this name leaves them as they were. Deleting through the
  // handle removes exactly what was looked at, never what a link points to.
  HANDLE existing =
      OpenItself(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (existing != INVALID_HANDLE_VALUE) {
    DWORD attributes = 0;
    FILE_DISPOSITION_INFO remove = {};
    remove.DeleteFile = TRUE;
    if (!ReadAttributes(existing, attributes)) {
      code = GetLastError();
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      code = kReparsePointEncountered;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      code = ERROR_ACCESS_DENIED;
    } else if (!SetFileInformationByHandle(existing, FileDispositionInfo, &remove, sizeof remove)) {
      code = GetLastError();  // read-only, or a running program
    }
    CloseHandle(existing);
    if (code != 0) {
      error = SystemError(code);
      return false;
    }
  } else if (!IsNotFound(GetLastError())) {
    // A file another program holds without sharing deletion ends here.
    error = SystemError(GetLastError());
    return false;
  }
  // CREATE_NEW: whatever appeared meanwhile, a link included, fails the
  // creation instead of being written through.
  HANDLE created =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    error = SystemError(GetLastError());
    return false;
  }
  file = reinterpret_cast<std::intptr_t>(created);
  error.clear();
  return true;
}

bool FolderWalker::OpenExisting(const std::string& name, std::intptr_t& file,
                                std::error_code& error) {
  file = -1;
  const std::vector<std::wstring> parts = Wide(Components(name));
  if (parts.empty()) {
    error = SystemError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::wstring parent;
  DWORD code = 0;
  if (!EnterExisting(HeldWay{heldNames_, heldHandles_}, extendedPath_, parts, 1, parent, code)) {
    error = SystemError(code);
    return false;
  }
  HANDLE opened = OpenItself(Join(parent, parts.back()), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (opened == INVALID_HANDLE_VALUE) {
    error = SystemError(GetLastError());
    return false;
  }
  DWORD attributes = 0;
  if (!ReadAttributes(opened, attributes)) {
    code = GetLastError();
  } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    code = kReparsePointEncountered;
  }
  if (code != 0) {
    CloseHandle(opened);
    error = SystemError(code);
    return false;
  }
  file = reinterpret_cast<std::intptr_t>(opened);
  error.clear();
  return true;
}
