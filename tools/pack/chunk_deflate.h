// Raw deflate of one file in independent pieces, so that the pieces can be
// compressed in parallel, joined into one valid deflate stream whose bytes
// depend only on the data, the level and the piece size, and each decoded on
// its own (see zip::PieceIndex).
#ifndef PACK_CHUNK_DEFLATE_H
#define PACK_CHUNK_DEFLATE_H

#include <cstddef>
#include <string>

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

}  // namespace pack

#endif  // PACK_CHUNK_DEFLATE_H
