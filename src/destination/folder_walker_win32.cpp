#include "destination/folder_walker.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "destination/long_path.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

// ERROR_REPARSE_POINT_ENCOUNTERED, which MinGW's headers lack.
constexpr DWORD kReparsePointEncountered = 4395;

std::error_code SystemError(DWORD code) {
  return std::error_code(static_cast<int>(code), std::system_category());
}

// Owns the handles of the folders a walk passes through. They are opened
// without FILE_SHARE_DELETE, so none of them can be renamed, removed or
// replaced by a junction until the walk's last step is done.
class HeldFolders {
 public:
  HeldFolders() = default;
  ~HeldFolders() {
    for (HANDLE handle : handles_) {
      CloseHandle(handle);
    }
  }
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;

  void Hold(HANDLE handle) { handles_.push_back(handle); }

 private:
  std::vector<HANDLE> handles_;
};

std::vector<std::wstring> Components(const std::string& name) {
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) {
      end = name.size();
    }
    const std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") {
      parts.push_back(Utf8ToWide(part.data(), part.size()));
    }
    start = end + 1;
  }
  return parts;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && folder.back() == L'\\') {
    return folder + name;
  }
  return folder + L"\\" + name;
}

fs::path Below(const fs::path& folder, const std::vector<std::wstring>& parts, std::size_t count) {
  fs::path path = folder;
  for (std::size_t i = 0; i < count; ++i) {
    path /= parts[i];
  }
  return path;
}

// Opens what stands at `path` itself, a reparse point included, for reading
// its attributes (and `access` besides).
HANDLE OpenItself(const std::wstring& path, DWORD access, DWORD share) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

enum class Step { kEntered, kMissing, kLink, kNotFolder, kFailed };

Step EnterFolder(const std::wstring& path, HeldFolders& held, DWORD& error) {
  HANDLE handle = OpenItself(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return IsNotFound(error) ? Step::kMissing : Step::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = GetLastError();
    CloseHandle(handle);
    return Step::kFailed;
  }
  held.Hold(handle);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    error = kReparsePointEncountered;
    return Step::kLink;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = ERROR_DIRECTORY;
    return Step::kNotFolder;
  }
  return Step::kEntered;
}

// Enters every level of `parts` but the last `keep`, creating none. Returns
// false with `error` set when one cannot be entered; `path` is then the
// level's, else the last one entered.
bool EnterExisting(const std::wstring& start, const std::vector<std::wstring>& parts,
                   std::size_t keep, HeldFolders& held, std::wstring& path, DWORD& error) {
  path = start;
  for (std::size_t i = 0; i + keep < parts.size(); ++i) {
    path = Join(path, parts[i]);
    const Step step = EnterFolder(path, held, error);
    if (step == Step::kMissing) {
      error = ERROR_PATH_NOT_FOUND;
    }
    if (step != Step::kEntered) {
      return false;
    }
  }
  return true;
}

}  // namespace

FolderWalker::~FolderWalker() {
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
  HANDLE handle = OpenItself(extended, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (handle == INVALID_HANDLE_VALUE) {
    error = SystemError(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = SystemError(GetLastError());
    CloseHandle(handle);
    return false;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
      FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(handle);
    error = SystemError((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                            ? kReparsePointEncountered
                            : ERROR_DIRECTORY);
    return false;
  }
  path_ = folder;
  extendedPath_ = extended;
  folder_ = reinterpret_cast<std::intptr_t>(handle);
  error.clear();
  return true;
}

bool FolderWalker::CreateFolder(const std::string& name) {
  const std::vector<std::wstring> parts = Components(name);
  const fs::path target = Below(path_, parts, parts.size());
  if (parts.empty()) {
    return true;  // the walker's own folder
  }
  HeldFolders held;
  std::wstring parent;
  DWORD error = 0;
  if (!EnterExisting(extendedPath_, parts, 1, held, parent, error)) {
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
    const Step step = EnterFolder(path, held, error);
    if (step == Step::kEntered) {
      return true;
    }
    if (step == Step::kLink) {
      return false;
    }
  }
  throw fs::filesystem_error("create_directory", target, SystemError(error));
}

bool FolderWalker::CreateParents(const std::string& name) {
  const std::vector<std::wstring> parts = Components(name);
  HeldFolders held;
  std::wstring path = extendedPath_;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    path = Join(path, parts[i]);
    const fs::path level = Below(path_, parts, i + 1);
    DWORD error = 0;
    Step step = EnterFolder(path, held, error);
    if (step == Step::kMissing) {
      if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw fs::filesystem_error("create_directories", level, SystemError(GetLastError()));
      }
      // Made here or by someone else meanwhile: entered the same way.
      step = EnterFolder(path, held, error);
      if (step == Step::kMissing || step == Step::kFailed) {
        throw fs::filesystem_error("create_directories", level, SystemError(error));
      }
    }
    switch (step) {
      case Step::kEntered:
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
  const std::vector<std::wstring> parts = Components(name);
  if (parts.empty()) {
    error = SystemError(ERROR_ACCESS_DENIED);
    return false;
  }
  HeldFolders held;
  std::wstring parent;
  DWORD code = 0;
  if (!EnterExisting(extendedPath_, parts, 1, held, parent, code)) {
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
    BY_HANDLE_FILE_INFORMATION info;
    FILE_DISPOSITION_INFO remove = {};
    remove.DeleteFile = TRUE;
    if (!GetFileInformationByHandle(existing, &info)) {
      code = GetLastError();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      code = kReparsePointEncountered;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
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
  const std::vector<std::wstring> parts = Components(name);
  if (parts.empty()) {
    error = SystemError(ERROR_ACCESS_DENIED);
    return false;
  }
  HeldFolders held;
  std::wstring parent;
  DWORD code = 0;
  if (!EnterExisting(extendedPath_, parts, 1, held, parent, code)) {
    error = SystemError(code);
    return false;
  }
  HANDLE opened = OpenItself(Join(parent, parts.back()), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (opened == INVALID_HANDLE_VALUE) {
    error = SystemError(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(opened, &info)) {
    code = GetLastError();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
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
