#include "pack/chunk_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace pack {

bool DeflatePiece(const unsigned char* input, std::size_t length, bool last, int level,
                  std::string& out) {
  z_stream stream{};
  // Negative window bits: raw deflate, as ZIP stores it. A fresh stream per
  // piece, without a preset dictionary: no match can reach back before the
  // piece, which is what lets it decode alone.
  if (length > UINT_MAX ||
      deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  const std::size_t start = out.size();
  // deflateBound covers a finished stream; a sync flush adds at most a few
  // bytes more, and the loop below grows the buffer if ever needed.
  out.resize(start + deflateBound(&stream, static_cast<uLong>(length)) + 16);
  stream.next_in = const_cast<unsigned char*>(input);
  stream.avail_in = static_cast<uInt>(length);
  int result = Z_OK;
  do {
    const std::size_t used = start + stream.total_out;
    if (used == out.size()) {
      out.resize(out.size() + 4096);
    }
    stream.next_out = reinterpret_cast<unsigned char*>(&out[used]);
    stream.avail_out = static_cast<uInt>(out.size() - used);
    result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    // A sync flush is complete once deflate leaves output space unused.
  } while ((result == Z_OK || result == Z_BUF_ERROR) &&
           (last || stream.avail_in != 0 || stream.avail_out == 0));
  out.resize(start + stream.total_out);
  deflateEnd(&stream);
  return result == Z_STREAM_END || result == Z_OK || result == Z_BUF_ERROR;
}

namespace {

void AppendStoredBlock(const unsigned char* input, std::size_t length, bool final,
                       std::string& out) {
  const auto len = static_cast<std::uint16_t>(length);
  out.push_back(static_cast<char>(zip::kStoredBlockHeader | (final ? zip::kDeflateFinalBit : 0)));
  zip::AppendLe16(out, len);
  zip::AppendLe16(out, static_cast<std::uint16_t>(~len));
  out.append(reinterpret_cast<const char*>(input), length);
}

}  // namespace

void StorePiece(const unsigned char* input, std::size_t length, bool last, std::string& out) {
  std::size_t offset = 0;
  do {
    const std::size_t block = std::min(length - offset, zip::kMaxStoredBlockLength);
    AppendStoredBlock(input + offset, block, last && offset + block == length, out);
    offset += block;
  } while (offset < length);
  if (!last) {
    AppendStoredBlock(input + length, 0, false, out);  // the sync flush's empty block
  }
}

bool SavesTooLittle(std::size_t deflatedLength, std::size_t length, unsigned percent) {
  // In integers, so that the choice is the same on every host.
  const std::uint64_t saved = length - std::min(deflatedLength, length);
  return percent != 0 && (saved == 0 || saved * 100 < std::uint64_t{length} * percent);
}

}  // namespace pack
