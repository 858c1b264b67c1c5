// bench_floor (POSIX, write()) and bench_floor_win32.exe (WriteFile(), the
// floor of the Windows starter under Wine): the least work unpacking takes,
// the benchmark's yardstick (floor_io.h). Each file is raw inflated (or its
// stored data copied) in 256 KiB chunks, each chunk's CRC-32 taken and the
// chunk written at once.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "floor_io.h"
#include "zip/zip_format.h"

namespace {

using floor_io::Fail;

constexpr std::size_t kChunk = 256 * 1024;

unsigned char g_buffer[kChunk];

// One file being written, with the CRC-32 and length of what it got so far.
struct Output {
  floor_io::OutputFile* file;
  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t length = 0;

  void Put(const unsigned char* data, std::size_t size) {
    floor_io::Write(file, data, size);
    crc = crc32(crc, data, static_cast<uInt>(size));
    length += size;
  }
};

void Inflate(z_stream& stream, const std::string& name, const zip::CentralRecord& record,
             const unsigned char* data, Output& output) {
  if (inflateReset(&stream) != Z_OK) {
    Fail("inflateReset failed");
  }
  // zlib's z_const is off by default; inflate never writes through next_in.
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = record.compressedSize;
  for (int status = Z_OK; status != Z_STREAM_END;) {
    stream.next_out = g_buffer;
    stream.avail_out = kChunk;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      Fail(name + ": inflate failed");
    }
    output.Put(g_buffer, kChunk - stream.avail_out);
  }
}

void UnpackFile(z_stream& stream, const std::string& name, const zip::CentralRecord& record,
                const unsigned char* data) {
  Output output{floor_io::CreateOutput(name)};
  if (record.method == zip::kMethodStored) {
    for (std::uint64_t done = 0; done < record.compressedSize; done += kChunk) {
      output.Put(data + done, std::min<std::uint64_t>(record.compressedSize - done, kChunk));
    }
  } else if (record.method == zip::kMethodDeflate) {
    Inflate(stream, name, record, data, output);
  } else {
    Fail(name + ": unsupported method");
  }
  if (output.crc != record.crc32 || output.length != record.uncompressedSize) {
    Fail(name + ": CRC-32 or size mismatch");
  }
  floor_io::Close(output.file);
}

}  // namespace

int main(int argc, char** argv) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    Fail("inflateInit2 failed");
  }
  floor_io::UnpackArchive(argc, argv, [&](auto&&... file) { UnpackFile(stream, file...); });
  inflateEnd(&stream);
  return 0;
}
