#include <windows.h>

#include <climits>
#include <cstdint>

#include "extract/output_file.h"

namespace {

// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000LL;
// The most one WriteFile call is given: its count is a DWORD.
constexpr DWORD kMaxWriteChunk = 0x40000000u;

}  // namespace

// On a handle opened for synchronous use the offset in OVERLAPPED only says
// where to write; the call still returns when the write is done.
bool OutputFile::WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) {
  if (handle_ == -1 || offset > static_cast<std::uint64_t>(LLONG_MAX) ||
      size > static_cast<std::uint64_t>(LLONG_MAX) - offset) {
    return false;
  }
  while (size > 0) {
    const DWORD chunk = size > kMaxWriteChunk ? kMaxWriteChunk : static_cast<DWORD>(size);
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), data, chunk, &written, &where) ||
        written == 0) {
      return false;
    }
    data += written;
    size -= written;
    offset += written;
  }
  return true;
}

bool OutputFile::Reset() {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  return handle_ != -1 &&
         SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), start, nullptr, FILE_BEGIN) &&
         SetEndOfFile(reinterpret_cast<HANDLE>(handle_));
}

bool OutputFile::SetTimes(std::int64_t seconds) {
  if (handle_ == -1 || seconds < -kFileTimeEpochOffsetSeconds ||
      seconds > LLONG_MAX / kFileTimeTicksPerSecond - kFileTimeEpochOffsetSeconds) {
    return false;
  }
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + kFileTimeEpochOffsetSeconds) *
                              static_cast<std::uint64_t>(kFileTimeTicksPerSecond);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return SetFileTime(reinterpret_cast<HANDLE>(handle_), nullptr, &time, &time) != 0;
}

bool OutputFile::Close() {
  if (handle_ == -1) {
    return false;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  handle_ = -1;
  return CloseHandle(handle) != 0;
}
