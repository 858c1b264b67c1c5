// The floors' common part. Every floor runs as PROGRAM ARCHIVE DEST: it maps
// ARCHIVE, reads its central directory through the ZIP reader (no Zip64
// sizes), and for each entry in order creates the folder or writes the file
// below DEST (which must exist). It checks each file's CRC-32 and size and
// does nothing else: no path checks, no times, no permissions. It exits 0 on
// success, 1 with a message that starts with the program's name on the first
// problem. The file operations have one file per platform (floor_posix.cpp,
// floor_win32.cpp).
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

/// Prints "PROGRAM: `what`" (BENCH_PROGRAM, from the build) and exits with
/// status 1.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", BENCH_PROGRAM, what.c_str());
  std::exit(1);
}

/// Checks the command line (ARCHIVE DEST), maps ARCHIVE read-only and keeps
/// DEST, which must exist, for the calls below. Sets `bytes` and `size`.
void Open(int argc, char** argv, const unsigned char*& bytes, std::size_t& size);

/// Creates the folder `name` ('/'-separated) below DEST; one that exists is
/// fine.
void CreateFolder(const std::string& name);

/// Creates or truncates the file `name` below DEST for writing.
OutputFile* CreateOutput(const std::string& name);

void Write(OutputFile* file, const unsigned char* data, std::size_t size);

void Close(OutputFile* file);

/// POSIX only: creates or truncates the file `name` below DEST with `size`
/// bytes and maps them for writing (nullptr for an empty file); Unmap()
/// writes them out and closes the file.
OutputFile* CreateMapped(const std::string& name, std::size_t size, unsigned char*& bytes);
void Unmap(OutputFile* file, unsigned char* bytes, std::size_t size);

/// A file entry: its name, its central record as stored (the floors handle
/// no Zip64 sizes) and its stored data inside the archive.
struct Entry {
  std::string name;
  zip::CentralRecord record;
  const unsigned char* data = nullptr;
};

/// Opens the archive (see Open()), creates its folders below DEST in central
/// directory order and hands each file entry to `unpackFile`.
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
    Entry entry;
    std::uint64_t length = 0;
    zip::ZipReadEntryRecord(archive, i, record);
    entry.name.assign(record.central.name);
    entry.record = record.central;
    if (record.isDirectory) {
      CreateFolder(entry.name);
    } else if (!zip::ZipLocateEntryData(archive, i, entry.data, length)) {
      Fail(entry.name + ": " + zip::ZipErrorText(zip::ZipTakeLastError(archive)));
    } else {
      unpackFile(entry);
    }
  }
}

}  // namespace floor_io

#endif  // STARTER_BENCH_FLOOR_IO_H
