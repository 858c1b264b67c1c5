// bench_floor_libdeflate: the floor (floor_io.h) with libdeflate, a
// whole-buffer decompressor, beside bench_floor's zlib, on one thread. Each
// file is sized with ftruncate() and mapped, decompressed into the mapping in
// one call (or its stored data copied there) and its CRC-32 taken over it.
#include <libdeflate.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "floor_io.h"
#include "zip/zip_format.h"

namespace {

using floor_io::Fail;

void UnpackFile(libdeflate_decompressor* decompressor, const std::string& name,
                const zip::CentralRecord& record, const unsigned char* data) {
  if (record.method != zip::kMethodStored && record.method != zip::kMethodDeflate) {
    Fail(name + ": unsupported method");
  }
  if (record.method == zip::kMethodStored && record.compressedSize != record.uncompressedSize) {
    Fail(name + ": stored sizes differ");
  }
  const std::size_t size = record.uncompressedSize;
  unsigned char* bytes = nullptr;
  floor_io::OutputFile* file = floor_io::CreateMapped(name, size, bytes);
  if (record.method == zip::kMethodStored) {
    std::memcpy(bytes, data, size);
  } else if (libdeflate_deflate_decompress(decompressor, data, record.compressedSize, bytes, size,
                                           nullptr) != LIBDEFLATE_SUCCESS) {
    // Without an actual-size pointer, a stream of another length fails too.
    Fail(name + ": deflate data damaged or of another size");
  }
  const std::uint32_t crc = libdeflate_crc32(libdeflate_crc32(0, nullptr, 0), bytes, size);
  floor_io::Unmap(file, bytes, size);
  if (crc != record.crc32) {
    Fail(name + ": CRC-32 mismatch");
  }
}

}  // namespace

int main(int argc, char** argv) {
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) {
    Fail("libdeflate_alloc_decompressor failed");
  }
  floor_io::UnpackArchive(argc, argv, [&](auto&&... file) { UnpackFile(decompressor, file...); });
  libdeflate_free_decompressor(decompressor);
  return 0;
}
