// The floors' file operations, one file per platform (floor_posix.cpp,
// floor_win32.cpp): mapping the archive, creating folders and files below the
// destination, writing them. Every failure ends the program with a message
// that starts with the program's name.
#ifndef STARTER_BENCH_FLOOR_IO_H
#define STARTER_BENCH_FLOOR_IO_H

#include <cstddef>
#include <string>
#include <vector>

#include "floor_archive.h"

namespace floor_io {

struct OutputFile;

/// Prints "PROGRAM: `what`" and exits with status 1.
[[noreturn]] void Fail(const std::string& what);

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

/// Opens the archive named on the command line (see Open()), creates its
/// folders below DEST in order and hands each file entry to `unpackFile`.
template <typename UnpackFile>
void UnpackArchive(int argc, char** argv, UnpackFile unpackFile) {
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
  Open(argc, argv, bytes, size);
  std::vector<floor_archive::Entry> entries;
  std::string error;
  if (!floor_archive::ReadEntries(bytes, size, entries, error)) {
    Fail(error);
  }
  for (const floor_archive::Entry& entry : entries) {
    if (entry.folder) {
      CreateFolder(entry.name);
    } else {
      unpackFile(entry);
    }
  }
}

}  // namespace floor_io

#endif  // STARTER_BENCH_FLOOR_IO_H
