#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>

#include "zip/zip_output.h"

namespace zip {
namespace detail {
namespace {

// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000LL;

HANDLE ToHandle(const OutputFile& file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

// Strict conversion: text that is not valid UTF-8 names no file, rather than
// some other file after a lossy conversion.
bool Utf8ToWide(const char* text, std::wstring& wide) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &wide[0], length) != length) {
    return false;
  }
  wide.resize(static_cast<std::size_t>(length) - 1);
  return true;
}

// Paths past MAX_PATH only open with the \\?\ prefix, which also turns off
// the normalisation Windows otherwise does; so the path is made full and
// normalised first. Short paths are left as they are.
bool ExtendedLengthPath(std::wstring& path) {
  if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) {
    return true;
  }
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return false;
  }
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) {
    return false;
  }
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) {
    path = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    path = L"\\\\?\\" + full;
  }
  return true;
}

// Writes all `size` bytes, in pieces a DWORD can count, at the file's
// position or, with `offset`, from there on. On a handle opened for
// synchronous use the offset in OVERLAPPED only says where to write; the call
// still returns when the write is done.
bool WriteAll(HANDLE handle, const void* data, std::size_t size, const std::uint64_t* offset) {
  const char* next = static_cast<const char*>(data);
  std::uint64_t at = offset != nullptr ? *offset : 0;
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD written = 0;
    if (!WriteFile(handle, next, chunk, &written, offset != nullptr ? &where : nullptr) ||
        written == 0) {
      return false;
    }
    next += written;
    size -= written;
    at += written;
  }
  return true;
}

}  // namespace

bool OpenOutputFile(OutputFile& file, const char* path, std::uint32_t /*posixMode*/) {
  if (path == nullptr || file.handle != -1) {
    return false;
  }
  std::wstring widePath;
  try {
    if (!Utf8ToWide(path, widePath) || !ExtendedLengthPath(widePath)) {
      return false;
    }
  } catch (...) {
    return false;
  }
  const DWORD existing = GetFileAttributesW(widePath.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT: should a link appear between the check and
  // the open, we open the link itself instead of its target, and the check
  // on the handle below refuses it.
  HANDLE handle =
      CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(handle);
    return false;
  }
  file.handle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool WriteOutputFile(OutputFile& file, const void* data, std::size_t size) {
  if (file.handle == -1) {
    return false;
  }
  return WriteAll(ToHandle(file), data, size, nullptr);
}

bool WriteOutputFileAt(OutputFile& file, std::uint64_t offset, const void* data, std::size_t size) {
  if (file.handle == -1 || offset > static_cast<std::uint64_t>(LLONG_MAX) ||
      size > static_cast<std::uint64_t>(LLONG_MAX) - offset) {
    return false;
  }
  return WriteAll(ToHandle(file), data, size, &offset);
}

bool MappedWritesPreferred() {
  return false;
}

bool SetOutputFileTimes(OutputFile& file, std::int64_t seconds) {
  if (file.handle == -1) {
    return false;
  }
  if (seconds < -kFileTimeEpochOffsetSeconds ||
      seconds > LLONG_MAX / kFileTimeTicksPerSecond - kFileTimeEpochOffsetSeconds) {
    return false;
  }
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + kFileTimeEpochOffsetSeconds) *
                              static_cast<std::uint64_t>(kFileTimeTicksPerSecond);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return SetFileTime(ToHandle(file), nullptr, &time, &time) != 0;
}

bool ResetOutputFile(OutputFile& file) {
  if (file.handle == -1) {
    return false;
  }
  LARGE_INTEGER start;
  start.QuadPart = 0;
  return SetFilePointerEx(ToHandle(file), start, nullptr, FILE_BEGIN) &&
         SetEndOfFile(ToHandle(file));
}

bool MapOutputFile(OutputFile& file, std::uint64_t size, OutputMapping& mapping) {
  if (file.handle == -1 || mapping.address != nullptr || size == 0 ||
      size > static_cast<std::uint64_t>(LLONG_MAX) || size > SIZE_MAX) {
    return false;
  }
  // Pages written through the view reach the volume later, where a full one
  // would lose them without a word: the room is reserved first.
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(ToHandle(file), FileAllocationInfo, &allocation,
                                  sizeof allocation)) {
    return false;
  }
  HANDLE section =
      CreateFileMappingW(ToHandle(file), nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                         static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr);
  if (section == nullptr) {
    return false;
  }
  void* address = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
  if (address == nullptr) {
    CloseHandle(section);
    return false;
  }
  mapping.address = static_cast<unsigned char*>(address);
  mapping.size = static_cast<std::size_t>(size);
  mapping.mappingHandle = reinterpret_cast<std::intptr_t>(section);
  return true;
}

bool UnmapOutputFile(OutputMapping& mapping) {
  if (mapping.address == nullptr) {
    return false;
  }
  bool released = UnmapViewOfFile(mapping.address) != 0;
  released = CloseHandle(reinterpret_cast<HANDLE>(mapping.mappingHandle)) != 0 && released;
  mapping = OutputMapping{};
  return released;
}

bool CloseOutputFile(OutputFile& file) {
  if (file.handle == -1) {
    return false;
  }
  HANDLE handle = ToHandle(file);
  file.handle = -1;
  return CloseHandle(handle) != 0;
}

}  // namespace detail
}  // namespace zip
