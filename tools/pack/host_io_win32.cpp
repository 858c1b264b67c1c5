#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <algorithm>
#include <cstring>
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

HANDLE ToHandle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// Hand-written rather than WideCharToMultiByte so that an unpaired surrogate
// survives as its three-byte form instead of becoming U+FFFD: a name that is
// not valid UTF-16 must be refused, not packed under another name.
std::string SystemTextToUtf8(const wchar_t* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<std::uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
      const char32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text =
      length > 0 && buffer != nullptr ? SystemTextToUtf8(buffer, length) : std::string();
  LocalFree(buffer);
  // The system's texts end in a full stop and a line break; messages here
  // continue after them.
  text.erase(text.find_last_not_of(" .\r\n") + 1);
  if (text.empty()) {
    text = "system error";
  }
  return text + " (error " + std::to_string(code) + ")";
}

std::string LastErrorText() {
  return ErrorText(GetLastError());
}

// The system's form of `path`: UTF-16, and a long path made full and given
// the \\?\ prefix (ExtendedLengthPath). A shorter one is left to the
// system's own normalisation ('/' to '\', runs of separators collapsed).
bool ToSystemPath(const std::string& path, std::wstring& result, std::string& error) {
  if (path.find('\0') != std::string::npos) {
    error = "the path holds a NUL character";
    return false;
  }
  // Strict: text that is not valid UTF-8 names no file, rather than some
  // other file after a lossy conversion.
  if (!IsValidUtf8(path)) {
    error = "the path is not valid UTF-8";
    return false;
  }
  result = Utf8ToWide(path.data(), path.size());
  if (result.size() >= kLongPathLength) {
    result = ExtendedLengthPath(result);
    if (result.empty()) {
      error = LastErrorText();
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

// Asking only for attributes needs no sharing with other openers, so even a
// file held open exclusively can be described. Folders open only with
// FILE_FLAG_BACKUP_SEMANTICS. Returns null with `error` set.
HANDLE OpenForMetadata(const std::wstring& path, bool follow, std::string& error) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE node = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
  if (node == INVALID_HANDLE_VALUE) {
    error = LastErrorText();
    return nullptr;
  }
  return node;
}

// Fills `info` from an open handle; `reparseTag` is the reparse point's tag,
// or 0 when it is none.
bool DescribeOpenNode(HANDLE handle, NodeInfo& info, DWORD& reparseTag, std::string& error) {
  info = NodeInfo();
  reparseTag = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    info.kind = NodeKind::kOther;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) {
    error = LastErrorText();
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
      error = LastErrorText();
      return false;
    }
    reparseTag = tag.ReparseTag;
  }
  return true;
}

// The console control handler runs on a thread of its own while the packer
// goes on writing, so the paths to remove are kept under a lock (and never
// freed, as the handler may run while the process ends), and the handler
// marks the run interrupted so that a Commit racing it does not rename what
// it has just removed.
SRWLOCK g_cleanupLock = SRWLOCK_INIT;
std::vector<std::wstring>& g_cleanupPaths = *new std::vector<std::wstring>();
bool g_interrupted = false;

BOOL WINAPI RemoveTemporaryOnInterrupt(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    AcquireSRWLockExclusive(&g_cleanupLock);
    g_interrupted = true;
    // The writer's handle allows deletion; the file goes when it is closed,
    // at the latest when the process ends.
    for (const std::wstring& path : g_cleanupPaths) {
      DeleteFileW(path.c_str());
    }
    // Ends the run as the system's own handler does on Windows. Wine's would
    // exit with status 0, as if the archive had been written.
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
  return FALSE;
}

void InstallCleanupHandler() {
  static const bool installed = SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, TRUE) != 0;
  static_cast<void>(installed);
}

// Takes the lock held.
void DisarmCleanupLocked(const std::wstring& path) {
  g_cleanupPaths.erase(std::remove(g_cleanupPaths.begin(), g_cleanupPaths.end(), path),
                       g_cleanupPaths.end());
}

// Six characters that make a temporary name unlikely to be taken; CREATE_NEW
// settles any clash.
std::string TemporarySuffix(std::uint64_t& state) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  std::uint64_t bits = state >> 16;
  std::string suffix;
  for (int i = 0; i < 6; ++i) {
    suffix += kAlphabet[bits % 36];
    bits /= 36;
  }
  return suffix;
}

// Opens system path `wide` for reading, as the reparse point it may be
// unless `follow`. Returns null with `error` set.
HANDLE OpenForReading(const std::wstring& wide, bool follow, std::string& error) {
  // Others may go on writing, renaming or deleting the file, as on POSIX.
  const HANDLE file = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, follow ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    return file;
  }
  const DWORD code = GetLastError();
  // A folder does not open this way; "access denied" would mislead.
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const bool folder =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  error = code == ERROR_ACCESS_DENIED && folder ? "not a regular file" : ErrorText(code);
  return nullptr;
}

// Opens a node with `open` (told whether to follow a reparse point) and
// describes it into `info`. Unless `follow`, a symbolic link or junction (a
// reparse point whose tag marks it as naming another object) is opened as
// itself and sets `link`, and any other reparse point (a cloud placeholder, a
// deduplicated file) is opened again through, as what it presents. Returns
// null with `error` set.
template <typename Open>
HANDLE OpenDescribed(const Open& open, bool follow, NodeInfo& info, bool& link,
                     std::string& error) {
  ScopedHandle node(open(follow));
  DWORD reparseTag = 0;
  if (!node || !DescribeOpenNode(node.get(), info, reparseTag, error)) {
    return nullptr;
  }
  link = !follow && reparseTag != 0 && IsReparseTagNameSurrogate(reparseTag);
  if (!follow && reparseTag != 0 && !link) {
    node.reset(open(true));
    if (!node || !DescribeOpenNode(node.get(), info, reparseTag, error)) {
      return nullptr;
    }
  }
  return node.release();
}

// Opens system path `wide` for reading when it is a regular file, through a
// link only when `follow` (see OpenDescribed), and fills `info`. Returns null
// with `error` set.
HANDLE OpenRegularFile(const std::wstring& wide, bool follow, NodeInfo& info, std::string& error) {
  bool link = false;
  ScopedHandle file(
      OpenDescribed([&](bool through) { return OpenForReading(wide, through, error); }, follow,
                    info, link, error));
  if (file && (link || info.kind != NodeKind::kFile)) {
    error = link ? "it has been replaced by a symbolic link" : "not a regular file";
    return nullptr;
  }
  return file.release();
}

// ReadFile and WriteFile take a DWORD count; bigger requests go in parts.
DWORD Transfer(std::size_t length) {
  constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
  return static_cast<DWORD>(std::min(length, kMaxTransfer));
}

OVERLAPPED AtOffset(std::uint64_t offset) {
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
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
    args.push_back(SystemTextToUtf8(words[i], std::wcslen(words[i])));
  }
  LocalFree(words);
  return args;
}

std::size_t FolderPartLength(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos) {
    return separator + 1;
  }
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

bool InspectNode(const std::string& path, bool follow, NodeInfo& info, std::string& error) {
  std::wstring wide;
  if (!ToSystemPath(path, wide, error)) {
    return false;
  }
  bool link = false;
  const ScopedHandle node(
      OpenDescribed([&](bool through) { return OpenForMetadata(wide, through, error); }, follow,
                    info, link, error));
  if (link) {
    info.kind = NodeKind::kSymlink;
    info.size = 0;
  }
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
    // Only a drive's root has no "." and "..": an existing folder that
    // matches nothing is empty.
    if (code == ERROR_FILE_NOT_FOUND) {
      std::wstring folder;
      const DWORD attributes = ToSystemPath(path, folder, error)
                                   ? GetFileAttributesW(folder.c_str())
                                   : INVALID_FILE_ATTRIBUTES;
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
      }
    }
    error = ErrorText(code);
    return false;
  }
  do {
    if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) {
      continue;
    }
    names.push_back(SystemTextToUtf8(found.cFileName, std::wcslen(found.cFileName)));
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
  // The C library's conversion, as on POSIX: the starter turns the stamps
  // back with the same library's mktime, so a file packed and unpacked on one
  // machine gets its time back. Before 1970 it fails, and the caller clamps,
  // to the same stamp POSIX gives (the first MS-DOS date).
  const __time64_t value = static_cast<__time64_t>(seconds);
  return _localtime64_s(&parts, &value) == 0;
}

void CloseHandleValue(std::intptr_t& handle) {
  if (handle != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
  }
}

bool IsStderrTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

long long ReadOnce(std::intptr_t handle, std::uint64_t offset, void* buffer, std::size_t length,
                   std::string& error) {
  OVERLAPPED at = AtOffset(offset);
  DWORD got = 0;
  if (ReadFile(ToHandle(handle), buffer, Transfer(length), &got, &at)) {
    return got;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_HANDLE_EOF) {
    return 0;
  }
  error = ErrorText(code);
  return -1;
}

long long WriteOnce(std::intptr_t handle, std::uint64_t offset, const void* data,
                    std::size_t length, std::string& error) {
  OVERLAPPED at = AtOffset(offset);
  DWORD put = 0;
  if (!WriteFile(ToHandle(handle), data, Transfer(length), &put, &at)) {
    error = LastErrorText();
    return -1;
  }
  if (put == 0) {
    error = "the system wrote nothing";
    return -1;
  }
  return put;
}

bool InputFile::Open(const std::string& folder, const std::string& relative, bool follow,
                     NodeInfo& info, std::string& error) {
  Close();
  std::wstring wide;
  const HANDLE file = ToSystemPath(folder + "/" + relative, wide, error)
                          ? OpenRegularFile(wide, follow, info, error)
                          : nullptr;
  if (file == nullptr) {
    return false;
  }
  handle_ = FromHandle(file);
  return true;
}

bool InputFile::Describe(NodeInfo& info, std::string& error) const {
  DWORD reparseTag = 0;
  return DescribeOpenNode(ToHandle(handle_), info, reparseTag, error);
}

bool OutputFile::Create(const std::string& finalPath, std::string& error) {
  Discard();
  InstallCleanupHandler();
  const std::size_t folderLength = FolderPartLength(finalPath);
  const std::string stem =
      finalPath.substr(0, folderLength) + "." + finalPath.substr(folderLength) + ".tmp-";
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::uint64_t state = static_cast<std::uint64_t>(now.QuadPart) ^
                        (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = stem + TemporarySuffix(state);
    std::wstring wide;
    if (!ToSystemPath(candidate, wide, error)) {
      return false;
    }
    // An interrupt between creating the file and arming its removal would
    // leave it behind, so the handler waits until both are done.
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
      handle_ = FromHandle(file);
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
    error = LastErrorText();
    return false;
  }
  return true;
}

bool OutputFile::Commit(std::string& error) {
  const HANDLE file = ToHandle(handle_);
  const bool flushed = FlushFileBuffers(file) != 0;
  const DWORD flushCode = GetLastError();
  handle_ = -1;
  if (!CloseHandle(file) || !flushed) {
    error = flushed ? LastErrorText() : ErrorText(flushCode);
    Discard();
    return false;
  }
  std::wstring wideTemp;
  std::wstring wideFinal;
  if (!ToSystemPath(tempPath_, wideTemp, error) || !ToSystemPath(finalPath_, wideFinal, error)) {
    Discard();
    return false;
  }
  // MoveFileExW does not replace a read-only file, where rename() on POSIX
  // does; the attribute is cleared for the move and put back if it fails.
  const DWORD finalAttributes = GetFileAttributesW(wideFinal.c_str());
  const bool readOnly = finalAttributes != INVALID_FILE_ATTRIBUTES &&
                        (finalAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                        (finalAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  AcquireSRWLockExclusive(&g_cleanupLock);
  DWORD code = ERROR_OPERATION_ABORTED;
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
  if (!tempPath_.empty()) {
    std::wstring wide;
    std::string ignored;
    if (ToSystemPath(tempPath_, wide, ignored)) {
      AcquireSRWLockExclusive(&g_cleanupLock);
      DeleteFileW(wide.c_str());
      DisarmCleanupLocked(wide);
      ReleaseSRWLockExclusive(&g_cleanupLock);
    }
    tempPath_.clear();
  }
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) {
    UnmapViewOfFile(data_);
  }
}

bool MappedFile::Open(const std::string& path, std::string& error) {
  std::wstring wide;
  NodeInfo info;
  const ScopedHandle file(ToSystemPath(path, wide, error) ? OpenRegularFile(wide, true, info, error)
                                                          : nullptr);
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
      error = LastErrorText();
      return false;
    }
    data_ = static_cast<const unsigned char*>(view);
  }
  size_ = info.size;
  return true;
}

}  // namespace pack
