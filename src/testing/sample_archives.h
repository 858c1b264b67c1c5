// Test support: the sample archives that more than one test walks over,
// built field by field: the small valid archives of the damaged-archive
// sweep, and the fuzzer's seeds.
#ifndef STARTER_TESTING_SAMPLE_ARCHIVES_H
#define STARTER_TESTING_SAMPLE_ARCHIVES_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ZipBuilder;

/// A valid archive and the bytes each of its entries unpacks to, by index
/// (empty for a folder).
struct SweepSample {
  std::string bytes;
  std::vector<std::string> contents;
};

/// A folder, a stored file in it and a deflated file, with an archive
/// comment.
SweepSample PlainSweepSample();

/// The same three entries with Zip64 extra fields, a data descriptor and a
/// Zip64 end record.
SweepSample Zip64SweepSample();

/// Adds two-piece indexed entries whose first piece's last block ends at
/// every bit of its last byte: for each bit, one honest entry (the block, then
/// a sync flush) followed by one entry for every way the rest of that byte
/// can be set, with no sync flush. Each of the latter records the content and
/// CRC-32 that a piece decoder which only closes a piece with an empty final
/// block would write (DecodeClosedWithFinalBlock), where it takes the piece;
/// trusting it would write other bytes than a one-pass decode of the stream.
/// Returns the indices, within the entries added, of the honest ones; the
/// count of entries added goes to `added`, of those such a decoder would
/// take with other bytes to `takenByClosingAlone`.
std::vector<std::size_t> AddPiecesEndingAtEveryBit(ZipBuilder& builder, std::size_t& added,
                                                   std::size_t& takenByClosingAlone);

/// The fuzzer's seed archives as (file name, bytes): each shows one structure
/// the fuzzer would take long to find alone (methods, folders, Zip64, data
/// descriptors, comments, hostile and clashing names, prefixed archives,
/// refused entries, sizes past any disk, overlapping entries, honest and
/// lying piece indexes, pieces ending at every bit).
std::vector<std::pair<std::string, std::string>> FuzzSeedArchives();

/// The seeds of indexed entries whose pieces of noise are stored deflate
/// blocks, as the packer keeps pieces deflate barely shrinks: honest ones,
/// and ones that lie (LEN and NLEN disagreeing, a block running past its
/// piece's end or stopping short of it, a piece without the closing empty
/// block, a last block without the final bit). Part of FuzzSeedArchives.
std::vector<std::pair<std::string, std::string>> StoredPieceSeedArchives();

/// The seed "pieces_stored_mixed.zip" of StoredPieceSeedArchives: indexed
/// entries whose pieces mix stored blocks with Huffman ones, honest ones and
/// ones that lie (a final block inside a piece that is not last or closing
/// it, a byte after the last piece's final block, a reserved block type).
std::string MixedStoredPiecesArchive();

}  // namespace testing_support

#endif  // STARTER_TESTING_SAMPLE_ARCHIVES_H
