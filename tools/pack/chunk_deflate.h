// Raw deflate of one file in independent pieces, so that the pieces can be
// compressed in parallel and joined into one valid deflate stream whose bytes
// depend only on the data, the level and the piece size.
#ifndef PACK_CHUNK_DEFLATE_H
#define PACK_CHUNK_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace pack {

/// The window of history a piece is compressed against: the last 32 KiB
/// before it.
constexpr std::size_t kDeflateDictionarySize = 32 * 1024;

/// Compresses `input` (`length` bytes) at `level` (0-9) as one piece of a raw
/// deflate stream (no zlib or gzip wrapper) and appends the result to `out`.
/// `dictionary` holds the `dictionaryLength` bytes that precede the piece in
/// the file (at most kDeflateDictionarySize are used; none for the first
/// piece). A piece that is not `last` ends on a byte boundary with a sync
/// flush and without the final-block bit; the `last` piece ends the stream.
/// The concatenation of the pieces of a file, in order, inflates to the file.
/// Returns false only when zlib fails (out of memory).
bool DeflatePiece(const unsigned char* dictionary, std::size_t dictionaryLength,
                  const unsigned char* input, std::size_t length, bool last, int level,
                  std::string& out);

}  // namespace pack

#endif  // PACK_CHUNK_DEFLATE_H
