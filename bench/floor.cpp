// bench_floor (POSIX, write()) and bench_floor_win32.exe (Windows,
// WriteFile(), the floor the Windows starter is measured against under Wine):
// the least work that unpacking an archive takes, as the benchmark's
// yardstick.
//
// Usage: bench_floor ARCHIVE DEST
//
// Maps ARCHIVE, reads its central directory through zip/zip_format.h's
// bounds-checked records, and for each entry in order creates the folder or
// writes the file below DEST (which must exist): raw inflate (or a plain copy
// of stored data) in 256 KiB chunks, CRC-32 of each chunk, one write of each
// chunk. It checks each file's CRC-32 and size and does nothing else: no path
// checks, no times, no permissions. Handles the archives our packer writes (no
// Zip64, no data descriptors). Exits 0 on success, 1 with a message on the
// first problem.
#include <zlib.h>

#include <cstdint>
#include <string>

#include "floor_archive.h"
#include "floor_io.h"
#include "zip/zip_format.h"

namespace {

using floor_io::Fail;

constexpr std::size_t kChunk = 256 * 1024;

unsigned char g_buffer[kChunk];

// Writes the entry's data to `file`; returns its CRC-32 and length.
void Unpack(z_stream& stream, floor_io::OutputFile* file, const floor_archive::Entry& entry,
            uLong& crc, std::uint64_t& length) {
  crc = crc32(0L, Z_NULL, 0);
  length = 0;
  if (entry.method == zip::kMethodStored) {
    for (std::uint32_t done = 0; done < entry.compressedSize;) {
      const std::uint32_t left = entry.compressedSize - done;
      const std::size_t piece = left < kChunk ? left : kChunk;
      floor_io::Write(file, entry.data + done, piece);
      crc = crc32(crc, entry.data + done, static_cast<uInt>(piece));
      done += static_cast<std::uint32_t>(piece);
    }
    length = entry.compressedSize;
    return;
  }
  if (entry.method != zip::kMethodDeflate) {
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
    floor_io::Write(file, g_buffer, produced);
    crc = crc32(crc, g_buffer, static_cast<uInt>(produced));
    length += produced;
    if (status == Z_STREAM_END) {
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    Fail("inflateInit2 failed");
  }
  floor_io::UnpackArchive(argc, argv, [&](const floor_archive::Entry& entry) {
    floor_io::OutputFile* file = floor_io::CreateOutput(entry.name);
    uLong crc = 0;
    std::uint64_t length = 0;
    Unpack(stream, file, entry, crc, length);
    if (crc != entry.crc32 || length != entry.uncompressedSize) {
      Fail(entry.name + ": CRC-32 or size mismatch");
    }
    floor_io::Close(file);
  });
  inflateEnd(&stream);
  return 0;
}
