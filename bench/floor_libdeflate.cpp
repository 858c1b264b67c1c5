// bench_floor_libdeflate: the floor of unpacking with libdeflate, a
// whole-buffer decompressor, beside bench_floor's zlib.
//
// Usage: bench_floor_libdeflate ARCHIVE DEST
//
// Maps ARCHIVE, reads its central directory, and for each entry in order
// creates the folder or the file below DEST (which must exist): the file is
// sized with ftruncate() and mapped, decompressed into the mapping in one
// call (or its stored data copied there), and its CRC-32 computed over the
// mapping with libdeflate's. One thread; it checks each file's CRC-32 and size
// and does nothing else: no path checks, no times, no permissions. Exits 0 on
// success, 1 with a message on the first problem.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "floor_archive.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_floor_libdeflate: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void FailErrno(const std::string& what) {
  Fail(what + ": " + std::strerror(errno));
}

void UnpackFile(libdeflate_decompressor* decompressor, int destination,
                const floor_archive::Entry& entry) {
  const char* name = entry.name.c_str();
  if (entry.method != 0 && entry.method != 8) {
    Fail(entry.name + ": unsupported method");
  }
  if (entry.method == 0 && entry.compressedSize != entry.uncompressedSize) {
    Fail(entry.name + ": stored sizes differ");
  }
  const int fd = ::openat(destination, name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    FailErrno(std::string("creating ") + name);
  }
  const std::size_t size = entry.uncompressedSize;
  std::uint32_t crc = libdeflate_crc32(0, nullptr, 0);
  if (size > 0) {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      FailErrno(std::string("sizing ") + name);
    }
    void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
      FailErrno(std::string("mapping ") + name);
    }
    if (entry.method == 0) {
      std::memcpy(mapping, entry.data, size);
    } else if (libdeflate_deflate_decompress(decompressor, entry.data, entry.compressedSize,
                                             mapping, size, nullptr) != LIBDEFLATE_SUCCESS) {
      // Without an actual-size pointer, a stream of another length fails too.
      Fail(entry.name + ": deflate data damaged or of another size");
    }
    crc = libdeflate_crc32(crc, mapping, size);
    if (::munmap(mapping, size) != 0) {
      FailErrno(std::string("unmapping ") + name);
    }
  } else if (entry.method == 8) {
    unsigned char none[1];
    if (libdeflate_deflate_decompress(decompressor, entry.data, entry.compressedSize, none, 0,
                                      nullptr) != LIBDEFLATE_SUCCESS) {
      Fail(entry.name + ": deflate data damaged or of another size");
    }
  }
  if (crc != entry.crc32) {
    Fail(entry.name + ": CRC-32 mismatch");
  }
  if (::close(fd) != 0) {
    FailErrno(std::string("closing ") + name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    Fail("usage: bench_floor_libdeflate ARCHIVE DEST");
  }
  const int archiveFd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (archiveFd < 0) {
    FailErrno(std::string("opening ") + argv[1]);
  }
  struct stat info;
  if (::fstat(archiveFd, &info) != 0) {
    FailErrno("fstat");
  }
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  if (size == 0) {
    Fail("not an archive");
  }
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, archiveFd, 0);
  if (mapping == MAP_FAILED) {
    FailErrno("mmap");
  }
  ::close(archiveFd);

  std::vector<floor_archive::Entry> entries;
  std::string error;
  if (!floor_archive::ReadEntries(static_cast<const unsigned char*>(mapping), size, entries,
                                  error)) {
    Fail(error);
  }
  const int destination = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (destination < 0) {
    FailErrno(std::string("opening ") + argv[2]);
  }
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) {
    Fail("libdeflate_alloc_decompressor failed");
  }
  for (const floor_archive::Entry& entry : entries) {
    if (entry.folder) {
      if (::mkdirat(destination, entry.name.c_str(), 0755) != 0 && errno != EEXIST) {
        FailErrno("creating " + entry.name);
      }
    } else {
      UnpackFile(decompressor, destination, entry);
    }
  }
  libdeflate_free_decompressor(decompressor);
  return 0;
}
