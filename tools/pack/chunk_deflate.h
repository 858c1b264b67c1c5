// Raw deflate of one file in independent pieces, so that the pieces can be
// compressed in parallel, joined into one valid deflate stream whose bytes
// depend only on the data, the level and the piece size, and each decoded on
// its own (see zip::PieceIndex).
#ifndef PACK_CHUNK_DEFLATE_H
#define PACK_CHUNK_DEFLATE_H

#include <cstddef>
#include <string>

#include "zip/zip_format.h"

namespace pack {

/// Compresses `input` (`length` bytes) at `level` (0-9) as one piece of a raw
/// deflate stream (no zlib or gzip wrapper) and appends the result to `out`.
/// The piece refers to no byte before its start, so it decodes without the
/// pieces before it. A piece that is not `last` ends on a byte boundary with
/// a sync flush and without the final-block bit; the `last` piece ends the
/// stream. The concatenation of the pieces of a file, in order, inflates to
/// the file. Returns false only when zlib fails (out of memory).
bool DeflatePiece(const unsigned char* input, std::size_t length, bool last, int level,
                  std::string& out);

/// Appends `input` (`length` bytes) to `out` as one piece of stored deflate
/// blocks (see zip::kStoredBlockHeader) of at most zip::kMaxStoredBlockLength
/// bytes each, for a piece that starts on a byte boundary, as every piece
/// does. A piece that is not `last` ends as a sync flush does, with the empty
/// block 00 00 00 FF FF; in the `last` piece the last block is the final one
/// and nothing follows it. Inflating the piece costs a copy, not a Huffman
/// decode.
void StorePiece(const unsigned char* input, std::size_t length, bool last, std::string& out);

/// Whether deflating `length` bytes to `deflatedLength` bytes saves less than
/// `percent` percent of `length` (never for 0, always when nothing is saved
/// and `percent` is above 0).
bool SavesTooLittle(std::size_t deflatedLength, std::size_t length, unsigned percent);

}  // namespace pack

#endif  // PACK_CHUNK_DEFLATE_H
