// libdeflate as both builds link it, checked against zlib: the ZIP reader
// inflates and checks entries with libdeflate, while the packer compresses
// with zlib in sync-flushed pieces and sums with zlib's CRC-32. Whole-buffer
// decompression of what zlib's raw deflate writes, its failures, and its
// CRC-32.
#include <libdeflate.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testing/zip_builder.h"

namespace {

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
  }
};
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorDeleter>;

// Text-like runs, bytes deflate cannot shrink and a long run of one byte, so
// the stream holds dynamic, stored and long-match blocks.
std::string MixedContent() {
  std::string text;
  for (int line = 0; text.size() < 600 * 1024; ++line) {
    text += "line " + std::to_string(line) + ": the quick brown fox, " +
            std::to_string(line * 7919 % 1000) + " jumps\n";
  }
  return text + testing_support::NoiseBytes(300 * 1024, 11) + std::string(200 * 1024, 'z') + "end";
}

// Raw deflate in pieces ended by sync flushes and then finished, as a writer
// that compresses a file piece by piece emits it: one stream with empty stored
// blocks inside it.
std::string DeflateRawInPieces(const std::string& data, std::size_t pieceSize) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(
      deflateBound(&stream, static_cast<uLong>(data.size())) + 16 * (data.size() / pieceSize + 1),
      '\0');
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  for (std::size_t offset = 0; offset < data.size(); offset += pieceSize) {
    const std::size_t length = std::min(pieceSize, data.size() - offset);
    const bool last = offset + length == data.size();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
    stream.avail_in = static_cast<uInt>(length);
    EXPECT_EQ(deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

TEST(Libdeflate, DecompressesZlibRawDeflateAtEveryLevelToTheExactBytes) {
  const Decompressor decompressor(libdeflate_alloc_decompressor());
  ASSERT_NE(decompressor, nullptr);
  const std::string content = MixedContent();
  for (const int level : {0, 1, 6, 9}) {
    const std::string packed = testing_support::DeflateRaw(content, level);
    std::vector<char> out(content.size());
    std::size_t consumed = 0;
    std::size_t produced = 0;
    ASSERT_EQ(libdeflate_deflate_decompress_ex(decompressor.get(), packed.data(), packed.size(),
                                               out.data(), out.size(), &consumed, &produced),
              LIBDEFLATE_SUCCESS)
        << "level " << level;
    EXPECT_EQ(consumed, packed.size()) << "level " << level;
    ASSERT_EQ(produced, content.size()) << "level " << level;
    EXPECT_TRUE(std::string(out.data(), out.size()) == content) << "level " << level;
  }
}

TEST(Libdeflate, DecompressesAStreamOfSyncFlushedPieces) {
  const Decompressor decompressor(libdeflate_alloc_decompressor());
  ASSERT_NE(decompressor, nullptr);
  const std::string content = MixedContent();
  const std::string packed = DeflateRawInPieces(content, 64 * 1024 + 3);
  std::vector<char> out(content.size());
  // Exactly the size the entry declares: a stream ending early would fail.
  ASSERT_EQ(libdeflate_deflate_decompress(decompressor.get(), packed.data(), packed.size(),
                                          out.data(), out.size(), nullptr),
            LIBDEFLATE_SUCCESS);
  EXPECT_TRUE(std::string(out.data(), out.size()) == content);
}

TEST(Libdeflate, RefusesAStreamThatDoesNotFitTheDeclaredSize) {
  const Decompressor decompressor(libdeflate_alloc_decompressor());
  ASSERT_NE(decompressor, nullptr);
  const std::string content = MixedContent();
  const std::string packed = testing_support::DeflateRaw(content, 6);

  std::vector<char> tooSmall(content.size() - 1);
  EXPECT_EQ(libdeflate_deflate_decompress(decompressor.get(), packed.data(), packed.size(),
                                          tooSmall.data(), tooSmall.size(), nullptr),
            LIBDEFLATE_INSUFFICIENT_SPACE);

  std::vector<char> tooLarge(content.size() + 1);
  EXPECT_EQ(libdeflate_deflate_decompress(decompressor.get(), packed.data(), packed.size(),
                                          tooLarge.data(), tooLarge.size(), nullptr),
            LIBDEFLATE_SHORT_OUTPUT);
}

TEST(Libdeflate, RefusesTruncatedAndCorruptStreams) {
  const Decompressor decompressor(libdeflate_alloc_decompressor());
  ASSERT_NE(decompressor, nullptr);
  const std::string content = MixedContent();
  const std::string packed = testing_support::DeflateRaw(content, 6);
  std::vector<char> out(content.size());

  // Cut in the middle: the final block never comes.
  EXPECT_EQ(libdeflate_deflate_decompress(decompressor.get(), packed.data(), packed.size() / 2,
                                          out.data(), out.size(), nullptr),
            LIBDEFLATE_BAD_DATA);

  // First block header: BFINAL in bit 0, BTYPE in bits 1-2; type 3 is reserved.
  std::string reserved = packed;
  reserved[0] = static_cast<char>(reserved[0] | 0x06);
  EXPECT_EQ(libdeflate_deflate_decompress(decompressor.get(), reserved.data(), reserved.size(),
                                          out.data(), out.size(), nullptr),
            LIBDEFLATE_BAD_DATA);

  // A stored block whose length and its complement disagree: header byte 0x01
  // (final, stored), then LEN 5 and NLEN 0x0000 instead of 0xFFFA.
  const std::string badStored("\x01\x05\x00\x00\x00hello", 10);
  std::vector<char> five(5);
  EXPECT_EQ(libdeflate_deflate_decompress(decompressor.get(), badStored.data(), badStored.size(),
                                          five.data(), five.size(), nullptr),
            LIBDEFLATE_BAD_DATA);
}

TEST(Libdeflate, Crc32EqualsZlibsAtEveryLengthAndAlignment) {
  const std::string content = testing_support::NoiseBytes(70000, 5);
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  // Short, odd and long lengths from unaligned starts reach both the
  // byte-wise code and the vector code.
  for (const std::size_t start : {0, 1, 3, 8, 13}) {
    for (const std::size_t length : {0, 1, 7, 15, 16, 63, 64, 255, 1000, 4096, 65537}) {
      EXPECT_EQ(libdeflate_crc32(0, bytes + start, length),
                crc32(0, bytes + start, static_cast<uInt>(length)))
          << "start " << start << ", length " << length;
    }
  }
}

TEST(Libdeflate, Crc32ContinuesAcrossPiecesLikeZlib) {
  const std::string content = MixedContent();
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  std::uint32_t crc = 0;
  for (std::size_t offset = 0; offset < content.size(); offset += 100003) {
    const std::size_t length = std::min<std::size_t>(100003, content.size() - offset);
    crc = libdeflate_crc32(crc, bytes + offset, length);
  }
  EXPECT_EQ(crc, testing_support::Crc32(content));
}

}  // namespace
