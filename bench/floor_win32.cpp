// bench_floor_win32.exe: bench_floor's loop on Windows, the floor the Windows
// starter is measured against under Wine.
//
// Usage: bench_floor_win32.exe ARCHIVE DEST
//
// Maps ARCHIVE, reads its central directory, and for each entry in order
// creates the folder or writes the file below DEST (which must exist): raw
// inflate (or a plain copy of stored data) in 256 KiB chunks, CRC-32 of each
// chunk, WriteFile() of each chunk. It checks each file's CRC-32 and size and
// does nothing else: no path checks, no times, no attributes. Exits 0 on
// success, 1 with a message on the first problem.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "floor_archive.h"

namespace {

constexpr std::size_t kChunk = 256 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_floor_win32: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void FailLastError(const std::string& what) {
  Fail(what + " failed with " + std::to_string(GetLastError()));
}

// DEST joined with the entry's '/'-separated UTF-8 name.
std::wstring PathBelow(const std::wstring& destination, const std::string& name) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), &wide[0], length);
  }
  for (wchar_t& c : wide) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return destination + L"\\" + wide;
}

void WriteAll(HANDLE file, const unsigned char* data, std::size_t size, const std::string& name) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr)) {
      FailLastError("WriteFile on " + name);
    }
    data += written;
    size -= written;
  }
}

unsigned char g_buffer[kChunk];

// Writes the entry's data to `file`; returns its CRC-32 and length.
void Unpack(z_stream& stream, HANDLE file, const floor_archive::Entry& entry, uLong& crc,
            std::uint64_t& length) {
  crc = crc32(0L, Z_NULL, 0);
  length = 0;
  if (entry.method == 0) {
    for (std::uint32_t done = 0; done < entry.compressedSize;) {
      const std::uint32_t left = entry.compressedSize - done;
      const std::size_t piece = left < kChunk ? left : kChunk;
      WriteAll(file, entry.data + done, piece, entry.name);
      crc = crc32(crc, entry.data + done, static_cast<uInt>(piece));
      done += static_cast<std::uint32_t>(piece);
    }
    length = entry.compressedSize;
    return;
  }
  if (entry.method != 8) {
    Fail(entry.name + ": unsupported method");
  }
  if (inflateReset(&stream) != Z_OK) {
    Fail("inflateReset failed");
  }
  // zlib's z_const is off by default; inflate never writes through next_in.
  stream.next_in = const_cast<Bytef*>(entry.data);
  stream.avail_in = entry.compressedSize;
  for (;;) {
    stream.next_out = g_buffer;
    stream.avail_out = kChunk;
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      Fail(entry.name + ": inflate failed");
    }
    const std::size_t produced = kChunk - stream.avail_out;
    WriteAll(file, g_buffer, produced, entry.name);
    crc = crc32(crc, g_buffer, static_cast<uInt>(produced));
    length += produced;
    if (status == Z_STREAM_END) {
      return;
    }
  }
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr || count != 3) {
    Fail("usage: bench_floor_win32.exe ARCHIVE DEST");
  }
  const std::wstring archivePath = words[1];
  const std::wstring destination = words[2];
  LocalFree(words);

  HANDLE archive = CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (archive == INVALID_HANDLE_VALUE) {
    FailLastError("CreateFileW on the archive");
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(archive, &size) || size.QuadPart == 0) {
    Fail("not an archive");
  }
  HANDLE mapping = CreateFileMappingW(archive, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    FailLastError("CreateFileMappingW");
  }
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) {
    FailLastError("MapViewOfFile");
  }

  std::vector<floor_archive::Entry> entries;
  std::string error;
  if (!floor_archive::ReadEntries(static_cast<const unsigned char*>(view),
                                  static_cast<std::size_t>(size.QuadPart), entries, error)) {
    Fail(error);
  }
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    Fail("inflateInit2 failed");
  }
  for (const floor_archive::Entry& entry : entries) {
    const std::wstring path = PathBelow(destination, entry.name);
    if (entry.folder) {
      if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        FailLastError("CreateDirectoryW on " + entry.name);
      }
      continue;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      FailLastError("CreateFileW on " + entry.name);
    }
    uLong crc = 0;
    std::uint64_t length = 0;
    Unpack(stream, file, entry, crc, length);
    if (crc != entry.crc32 || length != entry.uncompressedSize) {
      Fail(entry.name + ": CRC-32 or size mismatch");
    }
    if (!CloseHandle(file)) {
      FailLastError("CloseHandle on " + entry.name);
    }
  }
  inflateEnd(&stream);
  return 0;
}
