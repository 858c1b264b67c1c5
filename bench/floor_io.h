// The floors' common part. Every floor runs as PROGRAM ARCHIVE DEST: it maps
// ARCHIVE, walks its central directory through the ZIP reader (no Zip64
// sizes) and, entry by entry, creates the folder or writes the file below
// DEST (which must exist), checking each file's CRC-32 and size and nothing
// else: no path checks, times or permissions. On the first problem it prints
// "PROGRAM: what" and exits 1. The file operations have a file per platform.
#ifndef STARTER_BENCH_FLOOR_IO_H
#define STARTER_BENCH_FLOOR_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zip/zip_reader.h"

namespace floor_io {

struct OutputFile;

/// Prints "PROGRAM: `what`" (BENCH_PROGRAM, from the build) and exits 1.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", BENCH_PROGRAM, what.c_str());
  std::exit(1);
}

/// Checks the command line, maps ARCHIVE read-only into `bytes` and `size`
/// and keeps DEST for the calls below.
void Open(int argc, char** argv, const unsigned char*& bytes, std::size_t& size);

/// Creates the folder `name` ('/'-separated) below DEST; one that exists is
/// fine.
void CreateFolder(const std::string& name);

/// Creates or truncates the file `name` below DEST for writing.
OutputFile* CreateOutput(const std::string& name);
void Write(OutputFile* file, const unsigned char* data, std::size_t size);
void Close(OutputFile* file);

/// Opens the archive, creates its folders below DEST in central directory
/// order and calls `unpackFile(name, record, data)` for each file, `data`
/// pointing at its stored bytes in the archive.
template <typename UnpackFile>
void UnpackArchive(int argc, char** argv, UnpackFile unpackFile) {
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
  Open(argc, argv, bytes, size);
  zip::ZipArchive archive;
  if (!zip::ZipOpenMemory(archive, bytes, size)) {
    Fail(zip::ZipErrorText(zip::ZipTakeLastError(archive)));
  }
  for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive); ++i) {
    zip::ZipEntryRecord record;
    const unsigned char* data = nullptr;
    std::uint64_t length = 0;
    if (!zip::ZipReadEntryRecord(archive, i, record)) {
      Fail(zip::ZipErrorText(zip::ZipTakeLastError(archive)));
    }
    const std::string name(record.central.name);
    if (record.isDirectory) {
      CreateFolder(name);
    } else if (!zip::ZipLocateEntryData(archive, i, data, length)) {
      Fail(name + ": " + zip::ZipErrorText(zip::ZipTakeLastError(archive)));
    } else {
      unpackFile(name, record.central, data);
    }
  }
}

}  // namespace floor_io

#endif  // STARTER_BENCH_FLOOR_IO_H
