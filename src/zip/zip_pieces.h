// The pieces of a deflated entry that decode independently, as its piece index (PieceIndex)
// describes them. The index is only a hint: one that does not describe the entry exactly is refused
// whole, and a piece that does not decode as described fails, both meaning "decode the entry in one
// pass".
#ifndef STARTER_ZIP_ZIP_PIECES_H
#define STARTER_ZIP_ZIP_PIECES_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct libdeflate_decompressor;

namespace zip {

/// One piece: offsets from the start of the entry's data and content.
struct ZipPiece {
  std::uint64_t compressedOffset = 0;
  std::uint64_t compressedLength = 0;
  std::uint64_t uncompressedOffset = 0;
  std::uint64_t uncompressedLength = 0;
};

/// Fills `pieces`, back to back from 0, from the index in a central extra field that describes the
/// sizes exactly: two or more pieces of a size from 1, as many as the uncompressed size needs, no
/// compressed length 0, the lengths summing to `compressedSize`. Else (no index too) false, none.
bool ZipPiecesFromIndex(std::string_view centralExtra, std::uint64_t compressedSize,
                        std::uint64_t uncompressedSize, std::vector<ZipPiece>& pieces);

/// The content's CRC-32 from one CRC-32 per piece (each below 2 GiB).
std::uint32_t ZipCombinePieceCrcs(const std::vector<ZipPiece>& pieces,
                                  const std::vector<std::uint32_t>& pieceCrcs);

/// Decode's first step: copies a piece of stored blocks alone (as the packer keeps what deflate
/// cannot shrink) when they fill exactly `outLength` and the piece ends as Decode requires, never
/// taking what Decode would refuse. Returns as Decode does.
bool ZipCopyStoredPiece(const unsigned char* in, std::uint64_t inLength, bool last,
                        unsigned char* out, std::uint64_t outLength, std::uint32_t& crc);

/// Decodes pieces; one per thread (it keeps a 32 KiB libdeflate decompressor).
class ZipPieceDecoder {
 public:
  ZipPieceDecoder();
  ~ZipPieceDecoder();
  ZipPieceDecoder(const ZipPieceDecoder&) = delete;
  ZipPieceDecoder& operator=(const ZipPieceDecoder&) = delete;

  /// False when the decompressor could not be allocated (Decode then fails).
  bool ready() const { return decompressor_ != nullptr; }

  /// Decodes the piece `in` into exactly `outLength` bytes at `out` (a whole entry is one `last`
  /// piece). True, `crc` set, when all `inLength` bytes decode on their own and end as the whole
  /// stream would there: one not last right after a sync flush, outside a final block; the last
  /// ending the stream. It then gives what a one-pass decode gives. Else false, `crc` unchanged,
  /// `out` maybe partly written. zlib decodes pieces not last.
  bool Decode(const unsigned char* in, std::uint64_t inLength, bool last, unsigned char* out,
              std::uint64_t outLength, std::uint32_t& crc);

  /// Decodes the `pieces` at `data` in turn as Decode does; returns how many decoded before the
  /// first failure, and sets `crc` to the combined CRC-32 when all did.
  std::size_t DecodeInTurn(const unsigned char* data, const std::vector<ZipPiece>& pieces,
                           std::uint32_t& crc);

 private:
  libdeflate_decompressor* decompressor_ = nullptr;
};

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_PIECES_H
