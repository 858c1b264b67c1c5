#include "zip/zip_pieces.h"

#include <libdeflate.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "zip/zip_format.h"

namespace zip {
namespace {

// An empty final block with fixed codes: the final bit, type 01, then the
// seven zero bits of the end-of-block code, padded to two bytes. Appended to
// a piece that ends on a byte boundary, it closes the stream without adding
// output.
constexpr unsigned char kEmptyFinalBlock[] = {0x03, 0x00};

// zlib's inflate state in data_type after a Z_BLOCK return.
constexpr int kUnusedBitsMask = 7;
constexpr int kInLastBlock = 64;
constexpr int kAtBlockBoundary = 128;

bool DecodeWithLibdeflate(libdeflate_decompressor* decompressor, const unsigned char* in,
                          std::size_t inLength, unsigned char* out, std::size_t outLength) {
  std::size_t consumed = 0;
  std::size_t produced = 0;
  const libdeflate_result result = libdeflate_deflate_decompress_ex(
      decompressor, in, inLength, out, outLength, &consumed, &produced);
  return result == LIBDEFLATE_SUCCESS && consumed == inLength && produced == outLength;
}

// zlib stops after each block with Z_BLOCK, which shows where the piece's
// data ends: it must end at a block boundary, on a byte boundary, outside a
// final block.
bool DecodeWithZlib(const unsigned char* in, std::uint64_t inLength, unsigned char* out,
                    std::uint64_t outLength) {
  if (inLength > UINT_MAX || outLength > UINT_MAX) {
    return false;
  }
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    return false;
  }
  stream.next_in = const_cast<unsigned char*>(in);
  stream.avail_in = static_cast<uInt>(inLength);
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(outLength);
  int result = Z_OK;
  while (result == Z_OK && stream.avail_in > 0) {
    const uInt inBefore = stream.avail_in;
    const uInt outBefore = stream.avail_out;
    result = inflate(&stream, Z_BLOCK);
    if (result == Z_OK && stream.avail_in == inBefore && stream.avail_out == outBefore) {
      break;  // no progress: the output is full
    }
  }
  const bool ended = result == Z_OK && stream.avail_in == 0 && stream.avail_out == 0 &&
                     (stream.data_type & kAtBlockBoundary) != 0 &&
                     (stream.data_type & kInLastBlock) == 0 &&
                     (stream.data_type & kUnusedBitsMask) == 0;
  inflateEnd(&stream);
  return ended;
}

}  // namespace

bool ZipPiecesFromIndex(std::string_view centralExtra, std::uint64_t compressedSize,
                        std::uint64_t uncompressedSize, std::vector<ZipPiece>& pieces) {
  pieces.clear();
  std::string_view body;
  PieceIndex index;
  if (!FindExtraField(centralExtra, kExtraIdPieceIndex, body) || !ParsePieceIndex(body, index)) {
    return false;
  }
  const std::uint64_t pieceSize = index.pieceSize;
  const std::uint64_t count = index.compressedLengths.size();
  if (pieceSize == 0 || count < 2) {
    return false;
  }
  // Rounded up without adding to the size, which may come from Zip64.
  const std::uint64_t needed = uncompressedSize / pieceSize + (uncompressedSize % pieceSize != 0);
  if (needed != count) {
    return false;
  }
  std::uint64_t compressedTotal = 0;
  for (const std::uint32_t length : index.compressedLengths) {
    if (length == 0) {
      return false;
    }
    // At most kMaxIndexedPieces lengths of 32 bits: the 64-bit sum cannot wrap.
    compressedTotal += length;
  }
  if (compressedTotal != compressedSize) {
    return false;
  }
  std::vector<ZipPiece> result(static_cast<std::size_t>(count));
  std::uint64_t compressedOffset = 0;
  for (std::size_t i = 0; i < result.size(); ++i) {
    ZipPiece& piece = result[i];
    piece.compressedOffset = compressedOffset;
    piece.compressedLength = index.compressedLengths[i];
    piece.uncompressedOffset = i * pieceSize;
    piece.uncompressedLength =
        i + 1 < result.size() ? pieceSize : uncompressedSize - piece.uncompressedOffset;
    compressedOffset += piece.compressedLength;
  }
  pieces = std::move(result);
  return true;
}

std::uint64_t ZipPieceScratchSize(std::uint64_t compressedLength) {
  return compressedLength + sizeof kEmptyFinalBlock;
}

ZipPieceDecoder::ZipPieceDecoder() : decompressor_(libdeflate_alloc_decompressor()) {}

ZipPieceDecoder::~ZipPieceDecoder() {
  libdeflate_free_decompressor(decompressor_);
}

bool ZipPieceDecoder::Decode(const unsigned char* in, std::uint64_t inLength, bool last,
                             unsigned char* out, std::uint64_t outLength, unsigned char* scratch,
                             std::size_t scratchSize, std::uint32_t& crc) {
  if (decompressor_ == nullptr || inLength > SIZE_MAX - sizeof kEmptyFinalBlock ||
      outLength > SIZE_MAX) {
    return false;
  }
  const std::size_t length = static_cast<std::size_t>(inLength);
  const std::size_t size = static_cast<std::size_t>(outLength);
  bool decoded = false;
  if (last) {
    decoded = DecodeWithLibdeflate(decompressor_, in, length, out, size);
  } else if (scratch != nullptr && scratchSize >= ZipPieceScratchSize(inLength)) {
    // Worth the copy: on 2 and 4 MiB pieces of the bench's payload libdeflate
    // took a quarter to a third of zlib's time on code-like data, and a
    // tenth less on data deflate barely shrinks.
    // libdeflate wants a complete stream, and the piece is followed in the
    // archive by the next one: the copy gets the final block instead. Both
    // bytes must be consumed, so a piece that ends the stream by itself, or
    // does not end on a block and byte boundary, fails.
    std::memcpy(scratch, in, length);
    std::memcpy(scratch + length, kEmptyFinalBlock, sizeof kEmptyFinalBlock);
    decoded =
        DecodeWithLibdeflate(decompressor_, scratch, length + sizeof kEmptyFinalBlock, out, size);
  } else {
    decoded = DecodeWithZlib(in, inLength, out, outLength);
  }
  if (!decoded) {
    return false;
  }
  crc = libdeflate_crc32(0, out, size);
  return true;
}

}  // namespace zip
