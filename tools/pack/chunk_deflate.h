// Raw deflate of a file in independent pieces: compressed in parallel, joined
// into one deflate stream whose bytes depend only on the data, the level and
// the piece size, and each decoded on its own (see zip::PieceIndex).
#ifndef PACK_CHUNK_DEFLATE_H
#define PACK_CHUNK_DEFLATE_H

#include <cstddef>
#include <string>

#include "zip/zip_format.h"

namespace pack {

/// Appends `input` deflated at `level` (0-9) to `out` as one piece of a raw
/// deflate stream, referring to no byte before it, so that it decodes alone.
/// A piece that is not `last` ends on a byte boundary with a sync flush and
/// without the final-block bit; the `last` one ends the stream. A file's
/// pieces in order inflate to the file. False only when zlib fails.
bool DeflatePiece(const unsigned char* input, std::size_t length, bool last, int level,
                  std::string& out);

/// Appends `input` to `out` as a piece of stored deflate blocks (at most
/// zip::kMaxStoredBlockLength bytes each), which inflates by a copy. A piece
/// that is not `last` ends as a sync flush does, with the empty block
/// 00 00 00 FF FF; the `last` piece's last block is the final one.
void StorePiece(const unsigned char* input, std::size_t length, bool last, std::string& out);

/// Whether deflating `length` bytes to `deflatedLength` saves less than
/// `percent` percent (never for 0; always when nothing is saved).
bool SavesTooLittle(std::size_t deflatedLength, std::size_t length, unsigned percent);

}  // namespace pack

#endif  // PACK_CHUNK_DEFLATE_H
