// The floors' file operations on Windows: a file mapping of the archive, and
// CreateDirectoryW(), CreateFileW() and WriteFile() below the destination.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <string>

#include "floor_io.h"
#include "text/text_convert.h"

namespace floor_io {

struct OutputFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;
};

namespace {

std::wstring g_destination;

[[noreturn]] void FailLastError(const std::string& what) {
  Fail(what + " failed with " + std::to_string(GetLastError()));
}

// DEST joined with the entry's '/'-separated UTF-8 name.
std::wstring PathBelow(const std::string& name) {
  std::wstring wide = Utf8ToWide(name.data(), name.size());
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return g_destination + L"\\" + wide;
}

}  // namespace

// The arguments come from the UTF-16 command line, not from `argv`.
void Open(int, char**, const unsigned char*& bytes, std::size_t& size) {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr || count != 3) {
    Fail("usage: bench_floor_win32.exe ARCHIVE DEST");
  }
  g_destination = words[2];
  HANDLE archive = CreateFileW(words[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (archive == INVALID_HANDLE_VALUE) {
    FailLastError("CreateFileW on the archive");
  }
  LocalFree(words);
  LARGE_INTEGER archiveSize;
  if (!GetFileSizeEx(archive, &archiveSize) || archiveSize.QuadPart == 0) {
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
  bytes = static_cast<const unsigned char*>(view);
  size = static_cast<std::size_t>(archiveSize.QuadPart);
}

void CreateFolder(const std::string& name) {
  if (!CreateDirectoryW(PathBelow(name).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    FailLastError("CreateDirectoryW on " + name);
  }
}

OutputFile* CreateOutput(const std::string& name) {
  HANDLE handle = CreateFileW(PathBelow(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FailLastError("CreateFileW on " + name);
  }
  return new OutputFile{handle, name};
}

void Write(OutputFile* file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file->handle, data, static_cast<DWORD>(size), &written, nullptr)) {
      FailLastError("WriteFile on " + file->name);
    }
    data += written;
    size -= written;
  }
}

void Close(OutputFile* file) {
  if (!CloseHandle(file->handle)) {
    FailLastError("CloseHandle on " + file->name);
  }
  delete file;
}

}  // namespace floor_io
