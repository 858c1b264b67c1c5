#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <memory>

#include "pack/host_io.h"
#include "text/entry_name.h"
#include "text/long_path.h"
#include "text/text_convert.h"

namespace pack {

namespace {

// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000LL;
constexpr std::uint32_t kNanosecondsPerTick = 100;

// CreateDirectoryW's limit, the lowest of the path calls, is MAX_PATH less
// room for an 8.3 name; from there on paths get the \\?\ prefix.
constexpr std::size_t kLongPathLength = MAX_PATH - 12;

// ReadFile and WriteFile take a DWORD count; bigger requests go in parts.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Others may go on writing, renaming or deleting what the packer reads.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Where the name in `path` begins: after its last separator or a drive "X:".
std::size_t FolderPartLength(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos) {
    return separator + 1;
  }
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

HANDLE ToHandle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

// Not WideCharToMultiByte, which makes an unpaired surrogate U+FFFD: a name
// that is not valid UTF-16 must be refused, not packed under another name.
std::string SystemTextToUtf8(const wchar_t* text) {
  std::string out;
  for (; *text != 0; ++text) {
    char32_t c = static_cast<std::uint16_t>(text[0]);
    const char32_t low = static_cast<std::uint16_t>(text[1]);
    if (c >= 0xD800 && c <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++text;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// The system's text for `code` and the code: "<text> (error <code>)".
std::string ErrorText(DWORD code = GetLastError()) {
  wchar_t* buffer = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? SystemTextToUtf8(buffer) : std::string();
  LocalFree(buffer);
  // Without the system's full stop and line break: messages continue.
  text.erase(text.find_last_not_of(" .\r\n") + 1);
  return (text.empty() ? "system error" : text) + " (error " + std::to_string(code) + ")";
}

// `path` in UTF-16, a long one made full with the \\?\ prefix; a shorter
// one is left to the system's normalisation ('/' to '\' and the like).
bool ToSystemPath(const std::string& path, std::wstring& result, std::string& error) {
  if (path.find('\0') != std::string::npos) {
    error = "the path holds a NUL character";
    return false;
  }
  // Rather than some other file after a lossy conversion.
  if (!IsValidUtf8(path)) {
    error = "the path is not valid UTF-8";
    return false;
  }
  result = Utf8ToWide(path.data(), path.size());
  if (result.size() >= kLongPathLength) {
    result = ExtendedLengthPath(result);
    if (result.empty()) {
      error = ErrorText();
      return false;
    }
  }
  return true;
}

std::uint64_t Combine(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Closes a handle when it goes out of scope; null holds none.
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// Fills `info` from an open handle; `reparseTag` is its reparse tag, or 0.
bool DescribeOpenNode(HANDLE handle, NodeInfo& info, DWORD& reparseTag, std::string& error) {
  info = NodeInfo();
  reparseTag = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    info.kind = NodeKind::kOther;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) {
    error = ErrorText();
    return false;
  }
  const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.kind = folder ? NodeKind::kFolder : NodeKind::kFile;
  info.size = folder ? 0 : Combine(data.nFileSizeHigh, data.nFileSizeLow);
  const std::uint64_t ticks =
      Combine(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
  info.modified =
      static_cast<std::int64_t>(ticks / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds;
  info.modifiedNanoseconds =
      static_cast<std::uint32_t>(ticks % kFileTimeTicksPerSecond) * kNanosecondsPerTick;
  info.device = data.dwVolumeSerialNumber;
  info.inode = Combine(data.nFileIndexHigh, data.nFileIndexLow);
  // What a POSIX system would give a folder and a file made by default.
  info.permissions =
      folder ? 0755 : ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0644);
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
      error = ErrorText();
      return false;
    }
    reparseTag = tag.ReparseTag;
  }
  return true;
}

// Opens `path` for `access` and describes it into `info`. Unless `follow`, a
// link or junction (a name surrogate) is opened as itself, as kSymlink, and
// another reparse point (a cloud placeholder, a deduplicated file) again
// through, as what it presents. Folders need FILE_FLAG_BACKUP_SEMANTICS.
HANDLE OpenDescribed(const std::string& path, DWORD access, bool follow, NodeInfo& info,
                     std::string& error) {
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) {
    return nullptr;
  }
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE opened =
      CreateFileW(wide.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    error = ErrorText();
    return nullptr;
  }
  ScopedHandle node(opened);
  DWORD reparseTag = 0;
  if (!DescribeOpenNode(opened, info, reparseTag, error)) {
    return nullptr;
  }
  if (!follow && reparseTag != 0) {
    if (!IsReparseTagNameSurrogate(reparseTag)) {
      return OpenDescribed(path, access, true, info, error);
    }
    info.kind = NodeKind::kSymlink;
    info.size = 0;
  }
  return node.release();
}

// OpenDescribed for reading, refusing anything but a regular file.
HANDLE OpenRegularFile(const std::string& path, bool follow, NodeInfo& info, std::string& error) {
  ScopedHandle file(OpenDescribed(path, GENERIC_READ, follow, info, error));
  if (file && info.kind != NodeKind::kFile) {
    error = info.kind == NodeKind::kSymlink ? "it has been replaced by a symbolic link"
                                            : "not a regular file";
    return nullptr;
  }
  return file.release();
}

// The console control handler runs on a thread of its own, so the paths to
// remove are kept under a lock (never freed: the handler may run while the
// process ends); it marks the run interrupted so that a racing Commit does
// not rename what it has just removed.
SRWLOCK g_cleanupLock = SRWLOCK_INIT;
std::vector<std::wstring>& g_cleanupPaths = *new std::vector<std::wstring>();
bool g_interrupted = false;

BOOL WINAPI RemoveTemporaryOnInterrupt(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    AcquireSRWLockExclusive(&g_cleanupLock);
    g_interrupted = true;
    // The writer's handle allows deletion; the file goes when it is closed.
    for (const std::wstring& path : g_cleanupPaths) {
      DeleteFileW(path.c_str());
    }
    // As the system's own handler does; Wine's would exit with status 0.
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
  return FALSE;
}

// Takes the lock held.
void DisarmCleanupLocked(const std::wstring& path) {
  g_cleanupPaths.erase(std::remove(g_cleanupPaths.begin(), g_cleanupPaths.end(), path),
                       g_cleanupPaths.end());
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) {
    // Out of memory at start-up; the ANSI arguments are better than none.
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    args.push_back(SystemTextToUtf8(words[i]));
  }
  LocalFree(words);
  return args;
}

std::string FolderOfPath(const std::string& path) {
  const std::size_t length = FolderPartLength(path);
  if (length == 0) {
    return ".";
  }
  const std::string above = path.substr(0, length - 1);
  // A drive alone ("C:name") stands for the drive's current folder, and a
  // root keeps its separator: "\", "C:\".
  const bool drive = path[length - 1] == ':';
  const bool root = above.empty() || (above.back() == ':' && FolderPartLength(above) == 2);
  return drive || root ? path.substr(0, length) : above;
}

bool InspectNode(const std::string& path, bool follow, NodeInfo& info, std::string& error) {
  // Attributes alone need no sharing, so a file held open exclusively is described.
  const ScopedHandle node(OpenDescribed(path, FILE_READ_ATTRIBUTES, follow, info, error));
  return node != nullptr;
}

bool ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error) {
  names.clear();
  std::wstring pattern;
  if (!ToSystemPath(path + "\\*", pattern, error)) {
    return false;
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // Only a drive's root has no "." and "..": if it exists, it is empty.
    pattern.resize(pattern.size() - 2);  // the folder itself, without "\*"
    const DWORD attributes = GetFileAttributesW(pattern.c_str());
    if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return true;
    }
    error = ErrorText(code);
    return false;
  }
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      names.push_back(SystemTextToUtf8(found.cFileName));
    }
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  FindClose(search);
  if (code != ERROR_NO_MORE_FILES) {
    error = ErrorText(code);
    return false;
  }
  return true;
}

bool LocalTimeParts(std::int64_t seconds, std::tm& parts) {
  // The C library's, as the starter's mktime turns the stamps back. Before
  // 1970 it fails, and the caller clamps as on POSIX.
  const __time64_t value = static_cast<__time64_t>(seconds);
  return _localtime64_s(&parts, &value) == 0;
}

void CloseHandleValue(std::intptr_t& handle) {
  if (handle != -1) {
    CloseHandle(ToHandle(handle));
    handle = -1;
  }
}

bool IsStderrTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

long long TransferOnce(std::intptr_t handle, std::uint64_t offset, char* buffer, std::size_t length,
                       bool write, std::string& error) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD count = static_cast<DWORD>(std::min(length, kMaxTransfer));
  DWORD moved = 0;
  if (write ? WriteFile(ToHandle(handle), buffer, count, &moved, &at)
            : ReadFile(ToHandle(handle), buffer, count, &moved, &at)) {
    return moved;
  }
  const DWORD code = GetLastError();
  if (!write && code == ERROR_HANDLE_EOF) {
    return 0;
  }
  error = ErrorText(code);
  return -1;
}

bool InputFile::Open(const std::string& folder, const std::string& relative, bool follow,
                     NodeInfo& info, std::string& error) {
  Close();
  const HANDLE file = OpenRegularFile(folder + "/" + relative, follow, info, error);
  handle_ = file == nullptr ? -1 : reinterpret_cast<std::intptr_t>(file);
  return file != nullptr;
}

bool InputFile::Describe(NodeInfo& info, std::string& error) const {
  DWORD reparseTag = 0;
  return DescribeOpenNode(ToHandle(handle_), info, reparseTag, error);
}

bool OutputFile::Create(const std::string& finalPath, std::string& error) {
  Discard();
  static const bool installed = SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, TRUE) != 0;
  static_cast<void>(installed);
  const std::size_t folderLength = FolderPartLength(finalPath);
  const std::string stem =
      finalPath.substr(0, folderLength) + "." + finalPath.substr(folderLength) + ".tmp-";
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::uint64_t state = static_cast<std::uint64_t>(now.QuadPart) ^
                        (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Six characters make a clash unlikely; CREATE_NEW settles one.
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::string candidate = stem;
    for (std::uint64_t bits = state >> 16; candidate.size() < stem.size() + 6; bits /= 36) {
      candidate += "abcdefghijklmnopqrstuvwxyz0123456789"[bits % 36];
    }
    std::wstring wide;
    if (!ToSystemPath(candidate, wide, error)) {
      return false;
    }
    // The handler waits until the file is made and armed for removal.
    AcquireSRWLockExclusive(&g_cleanupLock);
    const HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD code = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      g_cleanupPaths.push_back(wide);
    }
    ReleaseSRWLockExclusive(&g_cleanupLock);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<std::intptr_t>(file);
      tempPath_ = candidate;
      finalPath_ = finalPath;
      return true;
    }
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      error = ErrorText(code);
      return false;
    }
  }
  error = "no free temporary name beside the archive";
  return false;
}

bool OutputFile::Truncate(std::uint64_t length, std::string& error) {
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFileInformationByHandle(ToHandle(handle_), FileEndOfFileInfo, &end, sizeof end)) {
    error = ErrorText();
    return false;
  }
  return true;
}

bool OutputFile::Commit(std::string& error) {
  const HANDLE file = ToHandle(handle_);
  handle_ = -1;
  DWORD code = FlushFileBuffers(file) ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file) && code == ERROR_SUCCESS) {
    code = GetLastError();
  }
  std::wstring wideTemp;
  std::wstring wideFinal;
  if (code != ERROR_SUCCESS) {
    error = ErrorText(code);
  }
  if (code != ERROR_SUCCESS || !ToSystemPath(tempPath_, wideTemp, error) ||
      !ToSystemPath(finalPath_, wideFinal, error)) {
    Discard();
    return false;
  }
  // MoveFileExW does not replace a read-only file, rename() does: the
  // attribute is cleared for the move, and put back if it fails.
  const DWORD finalAttributes = GetFileAttributesW(wideFinal.c_str());
  const bool readOnly = finalAttributes != INVALID_FILE_ATTRIBUTES &&
                        (finalAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) ==
                            FILE_ATTRIBUTE_READONLY;
  AcquireSRWLockExclusive(&g_cleanupLock);
  code = ERROR_OPERATION_ABORTED;
  bool renamed = false;
  if (!g_interrupted) {
    if (readOnly) {
      SetFileAttributesW(wideFinal.c_str(), finalAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    renamed = MoveFileExW(wideTemp.c_str(), wideFinal.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    code = GetLastError();
    if (renamed) {
      DisarmCleanupLocked(wideTemp);
    } else if (readOnly) {
      SetFileAttributesW(wideFinal.c_str(), finalAttributes);
    }
  }
  ReleaseSRWLockExclusive(&g_cleanupLock);
  if (!renamed) {
    error = ErrorText(code);
    Discard();
    return false;
  }
  tempPath_.clear();
  return true;
}

void OutputFile::Discard() {
  CloseHandleValue(handle_);
  std::wstring wide;
  std::string ignored;
  if (!tempPath_.empty() && ToSystemPath(tempPath_, wide, ignored)) {
    AcquireSRWLockExclusive(&g_cleanupLock);
    DeleteFileW(wide.c_str());
    DisarmCleanupLocked(wide);
    ReleaseSRWLockExclusive(&g_cleanupLock);
  }
  tempPath_.clear();
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) {
    UnmapViewOfFile(data_);
  }
}

bool MappedFile::Open(const std::string& path, std::string& error) {
  NodeInfo info;
  const ScopedHandle file(OpenRegularFile(path, true, info, error));
  if (!file) {
    return false;
  }
  // An empty file cannot be mapped; it has no bytes to show either.
  if (info.size > 0) {
    const ScopedHandle mapping(
        CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    void* view =
        mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(info.size))
                : nullptr;
    if (view == nullptr) {
      error = ErrorText();
      return false;
    }
    data_ = static_cast<const unsigned char*>(view);
  }
  size_ = info.size;
  return true;
}

}  // namespace pack
