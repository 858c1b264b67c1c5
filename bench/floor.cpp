// bench_floor: the least work that unpacking an archive takes, as the
// benchmark's yardstick.
//
// Usage: bench_floor ARCHIVE DEST
//
// Maps ARCHIVE, reads its central directory through zip/zip_format.h's
// bounds-checked records, and for each entry in order creates the folder or
// writes the file below DEST (which must exist): raw inflate (or a plain copy
// of stored data) in 256 KiB chunks, CRC-32 of each chunk, write() of each
// chunk. It checks each file's CRC-32 and size and does nothing else: no path
// checks, no times, no permissions. Handles the archives our packer writes (no
// Zip64, no data descriptors). Exits 0 on success, 1 with a message on the
// first problem.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "floor_archive.h"
#include "zip/zip_format.h"

namespace {

constexpr std::size_t kChunk = 256 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_floor: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void FailErrno(const std::string& what) {
  Fail(what + ": " + std::strerror(errno));
}

void WriteAll(int fd, const unsigned char* data, std::size_t size, const char* name) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      FailErrno(std::string("writing ") + name);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

unsigned char g_buffer[kChunk];

// Writes the entry's data to `fd`; returns its CRC-32 and length.
void Unpack(z_stream& stream, int fd, std::uint16_t method, const unsigned char* data,
            std::uint32_t compressedSize, const char* name, uLong& crc, std::uint64_t& length) {
  crc = crc32(0L, Z_NULL, 0);
  length = 0;
  if (method == zip::kMethodStored) {
    for (std::uint32_t done = 0; done < compressedSize;) {
      const std::uint32_t left = compressedSize - done;
      const std::size_t piece = left < kChunk ? left : kChunk;
      WriteAll(fd, data + done, piece, name);
      crc = crc32(crc, data + done, static_cast<uInt>(piece));
      done += static_cast<std::uint32_t>(piece);
    }
    length = compressedSize;
    return;
  }
  if (method != zip::kMethodDeflate) {
    Fail(std::string(name) + ": unsupported method");
  }
  if (inflateReset(&stream) != Z_OK) {
    Fail("inflateReset failed");
  }
  // zlib's z_const is off by default; inflate never writes through next_in.
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = compressedSize;
  for (;;) {
    stream.next_out = g_buffer;
    stream.avail_out = kChunk;
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      Fail(std::string(name) + ": inflate failed");
    }
    const std::size_t produced = kChunk - stream.avail_out;
    WriteAll(fd, g_buffer, produced, name);
    crc = crc32(crc, g_buffer, static_cast<uInt>(produced));
    length += produced;
    if (status == Z_STREAM_END) {
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    Fail("usage: bench_floor ARCHIVE DEST");
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
  if (size < zip::kEndRecordSize) {
    Fail("not an archive");
  }
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, archiveFd, 0);
  if (mapping == MAP_FAILED) {
    FailErrno("mmap");
  }
  ::close(archiveFd);
  const auto* bytes = static_cast<const unsigned char*>(mapping);

  std::vector<floor_archive::Entry> entries;
  std::string error;
  if (!floor_archive::ReadEntries(bytes, size, entries, error)) {
    Fail(error);
  }

  const int destination = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (destination < 0) {
    FailErrno(std::string("opening ") + argv[2]);
  }
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    Fail("inflateInit2 failed");
  }

  for (const floor_archive::Entry& entry : entries) {
    const char* name = entry.name.c_str();
    if (entry.folder) {
      if (::mkdirat(destination, name, 0755) != 0 && errno != EEXIST) {
        FailErrno(std::string("creating ") + name);
      }
      continue;
    }
    const int fd = ::openat(destination, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      FailErrno(std::string("creating ") + name);
    }
    uLong gotCrc = 0;
    std::uint64_t gotLength = 0;
    Unpack(stream, fd, entry.method, entry.data, entry.compressedSize, name, gotCrc, gotLength);
    if (gotCrc != entry.crc32 || gotLength != entry.uncompressedSize) {
      Fail(entry.name + ": CRC-32 or size mismatch");
    }
    if (::close(fd) != 0) {
      FailErrno(std::string("closing ") + name);
    }
  }
  inflateEnd(&stream);
  return 0;
}
