// bench_floor_libdeflate: the floor (see floor_io.h) with libdeflate, a
// whole-buffer decompressor, beside bench_floor's zlib. Each file is sized
// with ftruncate() and mapped, decompressed into the mapping in one call (or
// its stored data copied there), and its CRC-32 computed over the mapping with
// libdeflate's; one thread.
#include <libdeflate.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "floor_io.h"
#include "zip/zip_format.h"

namespace {

using floor_io::Fail;

void UnpackFile(libdeflate_decompressor* decompressor, const floor_io::Entry& entry) {
  const zip::CentralRecord& record = entry.record;
  if (record.method != zip::kMethodStored && record.method != zip::kMethodDeflate) {
    Fail(entry.name + ": unsupported method");
  }
  if (record.method == zip::kMethodStored && record.compressedSize != record.uncompressedSize) {
    Fail(entry.name + ": stored sizes differ");
  }
  const std::size_t size = record.uncompressedSize;
  unsigned char* bytes = nullptr;
  floor_io::OutputFile* file = floor_io::CreateMapped(entry.name, size, bytes);
  unsigned char none[1];
  if (record.method == zip::kMethodStored) {
    std::memcpy(bytes != nullptr ? bytes : none, entry.data, size);
  } else if (libdeflate_deflate_decompress(decompressor, entry.data, record.compressedSize,
                                           bytes != nullptr ? bytes : none, size,
                                           nullptr) != LIBDEFLATE_SUCCESS) {
    // Without an actual-size pointer, a stream of another length fails too.
    Fail(entry.name + ": deflate data damaged or of another size");
  }
  const std::uint32_t crc = libdeflate_crc32(libdeflate_crc32(0, nullptr, 0), bytes, size);
  floor_io::Unmap(file, bytes, size);
  if (crc != record.crc32) {
    Fail(entry.name + ": CRC-32 mismatch");
  }
}

}  // namespace

int main(int argc, char** argv) {
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) {
    Fail("libdeflate_alloc_decompressor failed");
  }
  floor_io::UnpackArchive(argc, argv,
                          [&](const floor_io::Entry& entry) { UnpackFile(decompressor, entry); });
  libdeflate_free_decompressor(decompressor);
  return 0;
}
