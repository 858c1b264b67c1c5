#include "zip/zip_pieces.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "zip/zip_format.h"

namespace zip {
namespace {

// zlib's inflate state in data_type after a Z_BLOCK return.
constexpr int kUnusedBitsMask = 7;
constexpr int kInLastBlock = 64;
constexpr int kAtBlockBoundary = 128;

constexpr unsigned kStoredLengthMask = 0xFFFF;

bool EndsWithSyncFlush(const unsigned char* in, std::uint64_t inLength) {
  return inLength >= sizeof kSyncFlushMarker &&
         std::memcmp(in + inLength - sizeof kSyncFlushMarker, kSyncFlushMarker,
                     sizeof kSyncFlushMarker) == 0;
}

bool DecodeWithLibdeflate(libdeflate_decompressor* decompressor, const unsigned char* in,
                          std::size_t inLength, unsigned char* out, std::size_t outLength) {
  std::size_t consumed = 0;
  std::size_t produced = 0;
  const libdeflate_result result = libdeflate_deflate_decompress_ex(
      decompressor, in, inLength, out, outLength, &consumed, &produced);
  return result == LIBDEFLATE_SUCCESS && consumed == inLength && produced == outLength;
}

// zlib decodes the pieces that are not last: with Z_BLOCK it stops after
// each block and says where it stands, whereas libdeflate only tells the bytes
// consumed, rounded up, so a block ending inside the last byte or running on
// looks like one that ends with it.
bool DecodeNonLastPiece(const unsigned char* in, std::uint64_t inLength, unsigned char* out,
                        std::uint64_t outLength) {
  if (inLength > UINT_MAX || outLength > UINT_MAX || !EndsWithSyncFlush(in, inLength)) {
    return false;
  }
  z_stream stream{};
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

bool ZipCopyStoredPiece(const unsigned char* in, std::uint64_t inLength, bool last,
                        unsigned char* out, std::uint64_t outLength, std::uint32_t& crc) {
  // What the decoders would require anyway, checked before copying.
  if (!last && !EndsWithSyncFlush(in, inLength)) {
    return false;
  }
  std::uint64_t read = 0;
  std::uint64_t written = 0;
  std::uint32_t sum = 0;  // the CRC-32 of nothing
  bool final = false;
  while (read < inLength && !final) {
    const unsigned header = in[read];
    if ((header & kDeflateBlockTypeBits) != 0 || inLength - read < kStoredBlockHeaderLength) {
      return false;
    }
    const unsigned length = LoadLe16(in + read + kStoredBlockLengthOffset);
    if ((length ^ LoadLe16(in + read + kStoredBlockComplementOffset)) != kStoredLengthMask) {
      return false;
    }
    read += kStoredBlockHeaderLength;
    if (length > inLength - read || length > outLength - written) {
      return false;
    }
    // The CRC-32 first: the copy then reads the bytes from the cache.
    sum = libdeflate_crc32(sum, in + read, length);
    std::memcpy(out + written, in + read, length);
    read += length;
    written += length;
    final = (header & kDeflateFinalBit) != 0;
  }
  // Only the last piece has a final block, and ends with it.
  if (final != last || read != inLength || written != outLength) {
    return false;
  }
  crc = sum;
  return true;
}

bool ZipPiecesFromIndex(std::string_view centralExtra, std::uint64_t compressedSize,
                        std::uint64_t uncompressedSize, std::vector<ZipPiece>& pieces) {
  pieces.clear();
  std::string_view body;
  PieceIndex index;
  if (!FindExtraField(centralExtra, kExtraIdPieceIndex, body) || !ParsePieceIndex(body, index)) {
    return false;
  }
  const std::vector<std::uint32_t>& lengths = index.compressedLengths;
  const std::uint64_t pieceSize = index.pieceSize;
  // The count the size needs, rounded up without adding to a Zip64 size.
  if (pieceSize == 0 || lengths.size() < 2 ||
      uncompressedSize / pieceSize + (uncompressedSize % pieceSize != 0) != lengths.size() ||
      std::find(lengths.begin(), lengths.end(), 0u) != lengths.end()) {
    return false;
  }
  std::vector<ZipPiece> result(lengths.size());
  // At most kMaxIndexedPieces lengths of 32 bits: the 64-bit sum cannot wrap.
  std::uint64_t compressedOffset = 0;
  for (std::size_t i = 0; i < result.size(); ++i) {
    ZipPiece& piece = result[i];
    piece.compressedOffset = compressedOffset;
    piece.compressedLength = lengths[i];
    piece.uncompressedOffset = i * pieceSize;
    piece.uncompressedLength =
        i + 1 < result.size() ? pieceSize : uncompressedSize - piece.uncompressedOffset;
    compressedOffset += piece.compressedLength;
  }
  if (compressedOffset != compressedSize) {
    return false;
  }
  pieces = std::move(result);
  return true;
}

std::uint32_t ZipCombinePieceCrcs(const std::vector<ZipPiece>& pieces,
                                  const std::vector<std::uint32_t>& pieceCrcs) {
  uLong crc = 0;  // the CRC-32 of nothing, which crc32_combine extends
  for (std::size_t i = 0; i < pieces.size() && i < pieceCrcs.size(); ++i) {
    crc = crc32_combine(crc, pieceCrcs[i], static_cast<z_off_t>(pieces[i].uncompressedLength));
  }
  return static_cast<std::uint32_t>(crc);
}

ZipPieceDecoder::ZipPieceDecoder() : decompressor_(libdeflate_alloc_decompressor()) {}

ZipPieceDecoder::~ZipPieceDecoder() {
  libdeflate_free_decompressor(decompressor_);
}

bool ZipPieceDecoder::Decode(const unsigned char* in, std::uint64_t inLength, bool last,
                             unsigned char* out, std::uint64_t outLength, std::uint32_t& crc) {
  if (decompressor_ == nullptr || inLength > SIZE_MAX || outLength > SIZE_MAX) {
    return false;
  }
  if (ZipCopyStoredPiece(in, inLength, last, out, outLength, crc)) {
    return true;
  }
  const std::size_t size = static_cast<std::size_t>(outLength);
  // The last piece starts where the one before was checked to end.
  const bool decoded =
      last ? DecodeWithLibdeflate(decompressor_, in, static_cast<std::size_t>(inLength), out, size)
           : DecodeNonLastPiece(in, inLength, out, outLength);
  if (!decoded) {
    return false;
  }
  crc = libdeflate_crc32(0, out, size);
  return true;
}

std::size_t ZipPieceDecoder::DecodeInTurn(const unsigned char* data,
                                          const std::vector<ZipPiece>& pieces, std::uint32_t& crc) {
  std::vector<unsigned char> output;
  std::vector<std::uint32_t> pieceCrcs(pieces.size(), 0);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const ZipPiece& piece = pieces[i];
    output.resize(static_cast<std::size_t>(piece.uncompressedLength));
    if (!Decode(data + piece.compressedOffset, piece.compressedLength, i + 1 == pieces.size(),
                output.data(), output.size(), pieceCrcs[i])) {
      return i;
    }
  }
  crc = ZipCombinePieceCrcs(pieces, pieceCrcs);
  return pieces.size();
}

}  // namespace zip
