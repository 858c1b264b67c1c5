// The pieces of one deflated entry that decode independently, as a piece
// index (zip::PieceIndex in its central record) describes them: checking the
// index against the entry, and decoding one piece straight into its place in
// the output. No console output, no exceptions.
//
// The index is a hint. Whatever it says, an entry stays readable in one pass
// from start to end; an index that does not describe the entry exactly is
// refused here as a whole, and a piece that does not decode as described
// fails its decode, both meaning "decode this entry in one pass instead".
#ifndef STARTER_ZIP_ZIP_PIECES_H
#define STARTER_ZIP_ZIP_PIECES_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct libdeflate_decompressor;

namespace zip {

/// One piece: its compressed bytes at `compressedOffset` from the start of
/// the entry's data, and the uncompressed bytes it yields at
/// `uncompressedOffset` in the entry's content.
struct ZipPiece {
  std::uint64_t compressedOffset = 0;
  std::uint64_t compressedLength = 0;
  std::uint64_t uncompressedOffset = 0;
  std::uint64_t uncompressedLength = 0;
};

/// Reads the piece index in `centralExtra` (an entry's central extra field)
/// and checks it against the entry's sizes (Zip64 values applied).
/// Returns true with `pieces` holding every piece in order when the index
/// parses (ParsePieceIndex) and describes the entry exactly: at least two
/// pieces; a piece size of at least 1; as many pieces as the uncompressed
/// size needs at that size, the last one holding the rest; no compressed
/// length of 0; the lengths adding up to `compressedSize` in 64 bits. The
/// pieces then lie back to back from offset 0 on both sides.
/// Returns false with `pieces` empty otherwise, and when there is no index.
bool ZipPiecesFromIndex(std::string_view centralExtra, std::uint64_t compressedSize,
                        std::uint64_t uncompressedSize, std::vector<ZipPiece>& pieces);

/// The CRC-32 of an entry's content from the CRC-32s of its `pieces`, one
/// per piece in the same order (each piece below 2 GiB).
std::uint32_t ZipCombinePieceCrcs(const std::vector<ZipPiece>& pieces,
                                  const std::vector<std::uint32_t>& pieceCrcs);

/// Copies a piece made of stored deflate blocks alone (as the packer keeps
/// pieces that deflate cannot shrink) at the speed of a copy: the first step
/// of ZipPieceDecoder::Decode, with its arguments.
/// Success (returns true, `crc` set to the CRC-32 of the `outLength` bytes
/// written): every block is stored (block type bits 0, the five unused
/// header bits skipped as every decoder skips them; NLEN the complement of
/// LEN; the LEN bytes inside the piece and inside `outLength`), together
/// exactly `outLength` bytes, and the piece ends as Decode requires: one
/// that is not last ends with 00 00 FF FF and has no final block; the last
/// ends with its first final block. The copy never takes a piece that Decode
/// would refuse, and gives the same bytes.
/// Failure (returns false, `crc` unchanged): anything else; `out` may hold
/// partial output.
bool ZipCopyStoredPiece(const unsigned char* in, std::uint64_t inLength, bool last,
                        unsigned char* out, std::uint64_t outLength, std::uint32_t& crc);

/// Decodes pieces, one at a time: one decoder per thread (it keeps
/// libdeflate's decompressor, about 32 KiB, for all its pieces).
class ZipPieceDecoder {
 public:
  /// Allocates the decompressor; ready() tells whether that worked.
  ZipPieceDecoder();
  ~ZipPieceDecoder();
  ZipPieceDecoder(const ZipPieceDecoder&) = delete;
  ZipPieceDecoder& operator=(const ZipPieceDecoder&) = delete;

  /// False when the decompressor could not be allocated; Decode then fails.
  bool ready() const { return decompressor_ != nullptr; }

  /// Decodes the piece `in` (`inLength` compressed bytes, in place in the
  /// archive) into `out`, room for exactly `outLength` bytes; `last` says
  /// whether it is the entry's last piece (a whole entry is one last piece).
  /// Success (returns true, `crc` set to the CRC-32 of the `outLength` bytes
  /// written): the piece decodes on its own, with no match reaching before
  /// its start, to exactly `outLength` bytes from exactly `inLength` bytes,
  /// and ends as the whole stream would there: a piece that is not last ends
  /// right after the empty stored block of a sync flush (00 00 FF FF), on a
  /// byte and block boundary, outside a final block; the last one ends the
  /// stream within its last byte. Such a piece decodes to the very bytes a
  /// one-pass decode gives at its place, so the index never changes content.
  /// Failure (returns false, `crc` unchanged): anything else; `out` may hold
  /// partial output. Stored pieces are copied (ZipCopyStoredPiece); other
  /// pieces that are not last are decoded by zlib, the last by libdeflate.
  bool Decode(const unsigned char* in, std::uint64_t inLength, bool last, unsigned char* out,
              std::uint64_t outLength, std::uint32_t& crc);

  /// Decodes the `pieces` of the deflate data at `data`, one after another
  /// into a buffer of the largest, as Decode decodes each. Returns how many
  /// decoded, from the first on, stopping at the first that does not;
  /// `crc` gets their combined CRC-32 (ZipCombinePieceCrcs) when all did.
  std::size_t DecodeInTurn(const unsigned char* data, const std::vector<ZipPiece>& pieces,
                           std::uint32_t& crc);

 private:
  libdeflate_decompressor* decompressor_ = nullptr;
};

}  // namespace zip

#endif  // STARTER_ZIP_ZIP_PIECES_H
