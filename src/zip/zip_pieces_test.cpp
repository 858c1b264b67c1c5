#include "zip/zip_pieces.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "testing/zip_builder.h"
#include "testing/zip_test_records.h"
#include "zip/zip_format.h"

namespace {

using testing_support::DeflatePieces;
using testing_support::PieceIndexField;

constexpr std::uint32_t kPieceSize = 40000;

// Text that deflate shrinks, with long repeats that a match across a piece
// boundary would use.
std::string Compressible(std::size_t size) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) {
    out += "record " + std::to_string(i % 977) + " of the piece test, padded for length\n";
  }
  out.resize(size);
  return out;
}

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// An entry's content, its deflated data in pieces and its honest index.
struct PiecedEntry {
  std::string content;
  std::string data;
  std::vector<std::uint32_t> lengths;
};

PiecedEntry MakeEntry(const std::string& content, bool dictionary = false) {
  PiecedEntry entry;
  entry.content = content;
  entry.data = DeflatePieces(content, kPieceSize, 6, entry.lengths, dictionary);
  return entry;
}

// 3.5 pieces: compressible, then noise, then compressible again.
std::string MixedContent() {
  return Compressible(50000) + testing_support::NoiseBytes(45000, 0x1234567u) + Compressible(45000);
}

bool Pieces(const std::vector<std::uint32_t>& lengths, std::uint64_t compressedSize,
            std::uint64_t uncompressedSize, std::vector<zip::ZipPiece>& pieces,
            std::uint32_t pieceSize = kPieceSize) {
  return zip::ZipPiecesFromIndex(PieceIndexField(pieceSize, lengths), compressedSize,
                                 uncompressedSize, pieces);
}

// Decodes piece `i` of `entry` as `pieces` places it.
bool DecodePiece(const PiecedEntry& entry, const std::vector<zip::ZipPiece>& pieces, std::size_t i,
                 std::string& out, std::uint32_t& crc) {
  const zip::ZipPiece& piece = pieces[i];
  out.assign(static_cast<std::size_t>(piece.uncompressedLength), '\0');
  zip::ZipPieceDecoder decoder;
  return decoder.Decode(Bytes(entry.data) + piece.compressedOffset, piece.compressedLength,
                        i + 1 == pieces.size(), reinterpret_cast<unsigned char*>(&out[0]),
                        out.size(), crc);
}

// ---------------------------------------------------------------------------
// The index

TEST(ZipPieces, AnHonestIndexGivesThePiecesBackToBack) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  ASSERT_EQ(entry.lengths.size(), 4u);
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(Pieces(entry.lengths, entry.data.size(), entry.content.size(), pieces));
  ASSERT_EQ(pieces.size(), 4u);
  std::uint64_t compressedOffset = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i].compressedOffset, compressedOffset) << i;
    EXPECT_EQ(pieces[i].compressedLength, entry.lengths[i]) << i;
    EXPECT_EQ(pieces[i].uncompressedOffset, i * kPieceSize) << i;
    compressedOffset += entry.lengths[i];
  }
  EXPECT_EQ(pieces[0].uncompressedLength, kPieceSize);
  EXPECT_EQ(pieces[3].uncompressedLength, entry.content.size() - 3 * kPieceSize);
}

TEST(ZipPieces, AnIndexAmongOtherFieldsIsFound) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  std::string extra;
  testing_support::AppendNtfsExtraField(extra, testing_support::NtfsTimes{});
  extra += PieceIndexField(kPieceSize, entry.lengths);
  std::vector<zip::ZipPiece> pieces;
  EXPECT_TRUE(zip::ZipPiecesFromIndex(extra, entry.data.size(), entry.content.size(), pieces));
  EXPECT_EQ(pieces.size(), 4u);
}

TEST(ZipPieces, NoIndexOrAnIndexThatDoesNotParseIsNoUse) {
  std::vector<zip::ZipPiece> pieces(3);
  EXPECT_FALSE(zip::ZipPiecesFromIndex(std::string_view(), 100, 100000, pieces));
  EXPECT_TRUE(pieces.empty());
  std::string other;
  testing_support::AppendNtfsExtraField(other, testing_support::NtfsTimes{});
  EXPECT_FALSE(zip::ZipPiecesFromIndex(other, 100, 100000, pieces));
  // Version 2, which this reader does not know.
  std::string field = PieceIndexField(kPieceSize, {50, 50, 50});
  field[zip::kExtraHeaderSize] = 2;
  EXPECT_FALSE(zip::ZipPiecesFromIndex(field, 150, 3 * kPieceSize, pieces));
  EXPECT_TRUE(pieces.empty());
}

TEST(ZipPieces, LengthsThatDoNotAddUpToTheCompressedSizeAreRefused) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  const std::uint64_t size = entry.data.size();
  std::vector<zip::ZipPiece> pieces;
  std::vector<std::uint32_t> lengths = entry.lengths;
  lengths[1] -= 1;  // one byte short
  EXPECT_FALSE(Pieces(lengths, size, entry.content.size(), pieces));
  lengths = entry.lengths;
  lengths[3] += 1;  // one byte past the data
  EXPECT_FALSE(Pieces(lengths, size, entry.content.size(), pieces));
  EXPECT_FALSE(Pieces(entry.lengths, size + 1, entry.content.size(), pieces));
  EXPECT_FALSE(Pieces(entry.lengths, size - 1, entry.content.size(), pieces));
  EXPECT_TRUE(pieces.empty());
}

TEST(ZipPieces, LengthsThatWrapThirtyTwoBitsAreRefused) {
  // 0xFFFFFFFF + 0x65 + 0x65 + 0x65 is 2^32 + 0x12E: summed in 32 bits it
  // would match a compressed size of 0x12E.
  std::vector<zip::ZipPiece> pieces;
  EXPECT_FALSE(Pieces({0xFFFFFFFFu, 0x65, 0x65, 0x65}, 0x12E, 4 * kPieceSize - 1, pieces));
  // The true 64-bit sum, as a Zip64 size, passes the check.
  EXPECT_TRUE(Pieces({0xFFFFFFFFu, 0x65, 0x65, 0x65}, 0x10000012Eull, 4 * kPieceSize - 1, pieces));
}

TEST(ZipPieces, ACountThatDoesNotMatchTheUncompressedSizeIsRefused) {
  const std::vector<std::uint32_t> lengths = {10, 20, 30};
  std::vector<zip::ZipPiece> pieces;
  EXPECT_TRUE(Pieces(lengths, 60, 2 * kPieceSize + 1, pieces));
  EXPECT_TRUE(Pieces(lengths, 60, 3 * kPieceSize, pieces));
  EXPECT_FALSE(Pieces(lengths, 60, 2 * kPieceSize, pieces));      // needs two pieces
  EXPECT_FALSE(Pieces(lengths, 60, 3 * kPieceSize + 1, pieces));  // needs four
  EXPECT_FALSE(Pieces(lengths, 60, 0, pieces));
  // Sizes near 2^64 (from Zip64) neither wrap the piece count nor match it.
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  EXPECT_FALSE(Pieces(lengths, 60, huge, pieces));
  EXPECT_FALSE(Pieces(lengths, 60, huge, pieces, 0xFFFFFFFFu));
  EXPECT_FALSE(Pieces(lengths, huge, 3 * kPieceSize, pieces));
  EXPECT_TRUE(pieces.empty());
}

TEST(ZipPieces, ZeroSizesAndSinglePiecesAreRefused) {
  std::vector<zip::ZipPiece> pieces;
  EXPECT_FALSE(Pieces({10, 20}, 30, 2 * kPieceSize, pieces, 0));  // piece size 0
  EXPECT_FALSE(Pieces({10, 0, 20}, 30, 3 * kPieceSize, pieces));  // an empty piece
  EXPECT_FALSE(Pieces({30}, 30, kPieceSize, pieces));             // one piece: no use
  EXPECT_FALSE(Pieces({}, 0, 0, pieces));
}

TEST(ZipPieces, ALargestIndexOfTinyPiecesIsTakenAsItStands) {
  const std::vector<std::uint32_t> lengths(zip::kMaxIndexedPieces, 3);
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(Pieces(lengths, 3 * lengths.size(), lengths.size(), pieces, 1));
  EXPECT_EQ(pieces.back().compressedOffset, 3 * (lengths.size() - 1));
  EXPECT_EQ(pieces.back().uncompressedOffset, lengths.size() - 1);
}

// ---------------------------------------------------------------------------
// Decoding one piece

TEST(ZipPieces, EveryPieceDecodesAlone) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(Pieces(entry.lengths, entry.data.size(), entry.content.size(), pieces));
  std::uint32_t whole = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::string out;
    std::uint32_t crc = 0;
    ASSERT_TRUE(DecodePiece(entry, pieces, i, out, crc)) << i;
    EXPECT_TRUE(out == entry.content.substr(static_cast<std::size_t>(pieces[i].uncompressedOffset),
                                            out.size()))
        << i;
    EXPECT_EQ(crc, testing_support::Crc32(out));
    whole = static_cast<std::uint32_t>(crc32_combine(whole, crc, static_cast<z_off_t>(out.size())));
  }
  EXPECT_EQ(whole, testing_support::Crc32(entry.content));
}

TEST(ZipPieces, APieceReachingBackBeforeItsStartFails) {
  // Each piece compressed against the one before: the repeats across the
  // boundary become matches into the previous piece.
  const PiecedEntry entry = MakeEntry(Compressible(3 * kPieceSize), true);
  std::vector<zip::ZipPiece> pieces;
  ASSERT_TRUE(Pieces(entry.lengths, entry.data.size(), entry.content.size(), pieces));
  std::string out;
  std::uint32_t crc = 0x5EED;
  EXPECT_TRUE(DecodePiece(entry, pieces, 0, out, crc));
  crc = 0x5EED;
  EXPECT_FALSE(DecodePiece(entry, pieces, 1, out, crc));
  EXPECT_FALSE(DecodePiece(entry, pieces, 2, out, crc));
  EXPECT_EQ(crc, 0x5EEDu);
}

TEST(ZipPieces, LengthsThatAddUpButLieFailTheDecode) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  // The boundary between pieces 1 and 2 moved: piece 1 overlaps piece 2's
  // start, or stops short of its own end. (Moving it by exactly the 5 bytes
  // of the empty stored block of a sync flush would leave two valid pieces.)
  for (const int shift : {3, -3, 1000, -1000}) {
    std::vector<std::uint32_t> lengths = entry.lengths;
    lengths[1] += shift;
    lengths[2] -= shift;
    std::vector<zip::ZipPiece> pieces;
    ASSERT_TRUE(Pieces(lengths, entry.data.size(), entry.content.size(), pieces));
    std::string out;
    std::uint32_t crc = 0;
    EXPECT_TRUE(DecodePiece(entry, pieces, 0, out, crc));
    EXPECT_FALSE(DecodePiece(entry, pieces, 1, out, crc)) << shift;
    EXPECT_FALSE(DecodePiece(entry, pieces, 2, out, crc)) << shift;
  }
}

// Decodes `piece` from `data` into exactly `outLength` bytes.
bool DecodeBytes(const std::string& piece, bool last, std::size_t outLength) {
  std::string out(outLength, '\0');
  zip::ZipPieceDecoder decoder;
  std::uint32_t crc = 0;
  return decoder.Decode(Bytes(piece), piece.size(), last, reinterpret_cast<unsigned char*>(&out[0]),
                        out.size(), crc);
}

TEST(ZipPieces, ATruncatedPieceFails) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  const std::string first = entry.data.substr(0, entry.lengths[0]);
  const std::string last = entry.data.substr(entry.data.size() - entry.lengths[3]);
  const std::size_t lastSize = entry.content.size() - 3 * kPieceSize;
  ASSERT_TRUE(DecodeBytes(first, false, kPieceSize));
  EXPECT_FALSE(DecodeBytes(first.substr(0, first.size() - 1), false, kPieceSize));
  // Without its sync flush, the piece stops inside a block.
  EXPECT_FALSE(DecodeBytes(first.substr(0, first.size() - 4), false, kPieceSize));
  EXPECT_FALSE(DecodeBytes(first.substr(0, first.size() / 2), false, kPieceSize));
  ASSERT_TRUE(DecodeBytes(last, true, lastSize));
  EXPECT_FALSE(DecodeBytes(last.substr(0, last.size() - 1), true, lastSize));
}

TEST(ZipPieces, APieceThatDecodesToMoreOrFewerBytesFails) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  const std::string first = entry.data.substr(0, entry.lengths[0]);
  const std::string last = entry.data.substr(entry.data.size() - entry.lengths[3]);
  const std::size_t lastSize = entry.content.size() - 3 * kPieceSize;
  EXPECT_FALSE(DecodeBytes(first, false, kPieceSize - 1));
  EXPECT_FALSE(DecodeBytes(first, false, kPieceSize + 1));
  EXPECT_FALSE(DecodeBytes(last, true, lastSize - 1));
  EXPECT_FALSE(DecodeBytes(last, true, lastSize + 1));
}

TEST(ZipPieces, OnlyTheLastPieceEndsTheStream) {
  const PiecedEntry entry = MakeEntry(MixedContent());
  const std::string first = entry.data.substr(0, entry.lengths[0]);
  const std::string complete = testing_support::DeflateRaw(entry.content.substr(0, kPieceSize), 6);
  // A whole stream in the place of a piece that must not end it.
  EXPECT_FALSE(DecodeBytes(complete, false, kPieceSize));
  EXPECT_TRUE(DecodeBytes(complete, true, kPieceSize));
  // A sync-flushed piece does not end the stream as the last one must.
  EXPECT_FALSE(DecodeBytes(first, true, kPieceSize));
}

TEST(ZipPieces, APieceThatIsNotLastEndsOnlyRightAfterASyncFlush) {
  int takenByClosingAlone = 0;
  for (int end = 1; end <= 8; ++end) {
    const std::string literals = testing_support::FixedBlockLiteralsEndingAt(end, 40);
    testing_support::DeflateBitWriter honest;
    honest.FixedBlock(literals, false);
    ASSERT_EQ(honest.BitsInLastByte(), end % 8);
    honest.SyncFlush();
    std::string out(literals.size(), '\0');
    std::uint32_t crc = 0;
    zip::ZipPieceDecoder decoder;
    ASSERT_TRUE(decoder.Decode(Bytes(honest.Bytes()), honest.Bytes().size(), false,
                               reinterpret_cast<unsigned char*>(&out[0]), out.size(), crc))
        << end;
    EXPECT_EQ(out, literals);
    EXPECT_EQ(crc, testing_support::Crc32(literals));

    // The block ends `end` bits into the piece's last byte, the rest of that
    // byte being whatever the writer chose: the whole stream would read those
    // bits, then the next piece, as the next block.
    testing_support::DeflateBitWriter unflushed;
    unflushed.FixedBlock(literals, false);
    const unsigned fills = 1u << (8 - end);
    for (unsigned fill = 0; fill < fills; ++fill) {
      const std::string piece = unflushed.Bytes(fill);
      for (const std::size_t size : {literals.size(), literals.size() + 1, literals.size() + 2}) {
        EXPECT_FALSE(DecodeBytes(piece, false, size)) << end << " " << fill << " " << size;
        std::string closed;
        if (testing_support::DecodeClosedWithFinalBlock(piece, size, closed) &&
            closed != literals) {
          ++takenByClosingAlone;
        }
      }
    }
    // The same block with the final bit ends the stream too early.
    testing_support::DeflateBitWriter final;
    final.FixedBlock(literals, true);
    EXPECT_FALSE(DecodeBytes(final.Bytes(), false, literals.size())) << end;
  }
  // The pieces above include ones that closing alone would take, with other
  // bytes than the stream holds: what the end rule is there for.
  EXPECT_GT(takenByClosingAlone, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pieces of stored blocks, copied rather than decoded

using testing_support::DeflateBitWriter;
using testing_support::NoiseBytes;

// A piece built block by block, and the bytes its blocks hold.
struct BuiltPiece {
  DeflateBitWriter writer;
  std::string content;

  BuiltPiece& Stored(const std::string& bytes, bool final = false, unsigned padding = 0) {
    writer.StoredBlock(bytes, final, padding);
    content += bytes;
    return *this;
  }
  BuiltPiece& Fixed(const std::string& literals, bool final = false) {
    writer.FixedBlock(literals, final);
    content += literals;
    return *this;
  }
  BuiltPiece& SyncFlush() {
    writer.SyncFlush();
    return *this;
  }
  std::string Bytes() const { return writer.Bytes(); }
};

// What the stored copy and the whole Decode each make of `piece`.
struct PieceOutcome {
  bool copied = false;
  bool decoded = false;
  std::string out;
  std::uint32_t crc = 0;
  bool crcKept = true;  // a refusal left both CRC-32 arguments as they were
};

constexpr std::uint32_t kUntouchedCrc = 0x5EED5EEDu;

PieceOutcome Outcome(const std::string& piece, bool last, std::size_t outLength) {
  PieceOutcome outcome;
  std::string copy(outLength, '\0');
  std::uint32_t copyCrc = kUntouchedCrc;
  outcome.copied =
      zip::ZipCopyStoredPiece(Bytes(piece), piece.size(), last,
                              reinterpret_cast<unsigned char*>(&copy[0]), copy.size(), copyCrc);
  outcome.out.assign(outLength, '\0');
  outcome.crc = kUntouchedCrc;
  zip::ZipPieceDecoder decoder;
  outcome.decoded =
      decoder.Decode(Bytes(piece), piece.size(), last,
                     reinterpret_cast<unsigned char*>(&outcome.out[0]), outLength, outcome.crc);
  if (outcome.copied) {
    // The copy and Decode must agree to the byte.
    EXPECT_TRUE(copy == outcome.out);
    EXPECT_EQ(copyCrc, outcome.crc);
  }
  outcome.crcKept = (outcome.copied || copyCrc == kUntouchedCrc) &&
                    (outcome.decoded || outcome.crc == kUntouchedCrc);
  return outcome;
}

// zlib's one-pass decode of a whole raw deflate stream into `size` bytes:
// true when it ends the stream with exactly those.
bool InflateWhole(const std::string& stream, std::size_t size, std::string& out) {
  z_stream inflater{};
  if (inflateInit2(&inflater, -MAX_WBITS) != Z_OK) {
    return false;
  }
  out.assign(size + 1, '\0');  // room for one byte too many
  inflater.next_in = const_cast<Bytef*>(Bytes(stream));
  inflater.avail_in = static_cast<uInt>(stream.size());
  inflater.next_out = reinterpret_cast<Bytef*>(&out[0]);
  inflater.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&inflater, Z_FINISH);
  out.resize(out.size() - inflater.avail_out);
  inflateEnd(&inflater);
  return result == Z_STREAM_END && out.size() == size;
}

TEST(ZipStoredPieces, AHonestPieceIsCopiedWithItsCrc) {
  const std::string noise = NoiseBytes(70000, 0x2545F491u);
  BuiltPiece middle;
  // Blocks of every size up to the largest, an empty one among them.
  middle.Stored(noise.substr(0, 600))
      .Stored(noise.substr(600, 65535))
      .Stored("")
      .Stored(noise.substr(66135))
      .SyncFlush();
  PieceOutcome outcome = Outcome(middle.Bytes(), false, middle.content.size());
  EXPECT_TRUE(outcome.copied);
  EXPECT_TRUE(outcome.decoded);
  EXPECT_TRUE(outcome.out == middle.content);
  EXPECT_EQ(outcome.crc, testing_support::Crc32(middle.content));

  BuiltPiece last;
  last.Stored(noise.substr(0, 1000)).Stored(noise.substr(1000, 700), true);
  outcome = Outcome(last.Bytes(), true, last.content.size());
  EXPECT_TRUE(outcome.copied);
  EXPECT_TRUE(outcome.out == last.content);
  EXPECT_EQ(outcome.crc, testing_support::Crc32(last.content));
  // The smallest last piece: one empty final block.
  EXPECT_TRUE(Outcome(BuiltPiece().Stored("", true).Bytes(), true, 0).copied);
}

TEST(ZipStoredPieces, TheUnusedBitsOfAHeaderAreSkippedAsByEveryDecoder) {
  const std::string noise = NoiseBytes(3000, 0x9E3779B9u);
  BuiltPiece middle;
  middle.Stored(noise.substr(0, 1000), false, 0x1F).Stored("", false, 0x15);
  BuiltPiece last;
  last.Stored(noise.substr(1000), true, 0x0A);
  ASSERT_EQ(static_cast<unsigned char>(middle.Bytes()[0]), 0xF8u);
  const PieceOutcome first = Outcome(middle.Bytes(), false, middle.content.size());
  const PieceOutcome second = Outcome(last.Bytes(), true, last.content.size());
  EXPECT_TRUE(first.copied && first.decoded);
  EXPECT_TRUE(second.copied && second.decoded);
  // zlib reads the stream the pieces make in one pass as the same bytes.
  std::string whole;
  ASSERT_TRUE(InflateWhole(middle.Bytes() + last.Bytes(), noise.size(), whole));
  EXPECT_TRUE(whole == first.out + second.out);
  EXPECT_TRUE(whole == noise);
}

TEST(ZipStoredPieces, ABlockWhoseBytesEndLikeASyncFlushEndsAPieceForZlibToo) {
  // Without an empty block, the piece ends where a stored block does, on a
  // byte boundary: zlib takes that end as well, so the copy does too.
  std::string bytes = NoiseBytes(500, 0x1234567u);
  bytes.replace(bytes.size() - 4, 4, std::string("\x00\x00\xFF\xFF", 4));
  BuiltPiece stored;
  stored.Stored(bytes);
  const PieceOutcome copied = Outcome(stored.Bytes(), false, bytes.size());
  EXPECT_TRUE(copied.copied);
  EXPECT_TRUE(copied.decoded);
  // The same end after a Huffman block, which zlib alone decodes.
  BuiltPiece mixed;
  mixed.Fixed("huffman first").Stored(bytes);
  const PieceOutcome decoded = Outcome(mixed.Bytes(), false, mixed.content.size());
  EXPECT_FALSE(decoded.copied);
  EXPECT_TRUE(decoded.decoded);
  EXPECT_TRUE(decoded.out == mixed.content);
}

TEST(ZipStoredPieces, PiecesMixingStoredAndHuffmanBlocksAreDecoded) {
  const std::string noise = NoiseBytes(2000, 0x2545F491u);
  BuiltPiece storedFirst;
  storedFirst.Stored(noise.substr(0, 600)).Fixed("then a fixed block").SyncFlush();
  BuiltPiece huffmanFirst;
  huffmanFirst.Fixed("a fixed block first").Stored(noise.substr(0, 600)).SyncFlush();
  BuiltPiece lastMixed;
  lastMixed.Stored(noise.substr(0, 900)).Fixed("the end", true);
  for (const auto& [piece, last] :
       {std::make_pair(&storedFirst, false), std::make_pair(&huffmanFirst, false),
        std::make_pair(&lastMixed, true)}) {
    const PieceOutcome outcome = Outcome(piece->Bytes(), last, piece->content.size());
    EXPECT_FALSE(outcome.copied) << piece->content.size();
    EXPECT_TRUE(outcome.decoded) << piece->content.size();
    EXPECT_TRUE(outcome.out == piece->content);
    EXPECT_EQ(outcome.crc, testing_support::Crc32(piece->content));
  }
}

TEST(ZipStoredPieces, PiecesThatLieAreLeftToTheDecoderWhichRefusesThem) {
  const std::string noise = NoiseBytes(3000, 0x9E3779B9u);
  const std::string a = noise.substr(0, 600);
  const std::string b = noise.substr(600, 400);
  BuiltPiece honest;
  honest.Stored(a).Stored(b).SyncFlush();
  const std::string middle = honest.Bytes();  // blocks at 0, 605 and 1010
  BuiltPiece honestLast;
  honestLast.Stored(a).Stored(b, true);
  const std::string last = honestLast.Bytes();
  struct Case {
    std::string what;
    std::string piece;
    bool last;
    std::size_t outLength;
  };
  std::vector<Case> cases;
  std::string changed = middle;
  changed[608] ^= 0x01;  // the second block's NLEN
  cases.push_back({"NLEN not LEN's complement", changed, false, 1000});
  changed = middle;
  changed[606] = static_cast<char>(400 + 7 - 256);  // LEN 407, NLEN to match
  changed[608] = static_cast<char>(~(400 + 7) & 0xFF);
  cases.push_back({"a block running past the piece's end", changed, false, 1000});
  changed = middle;
  changed[606] = static_cast<char>(400 - 3 - 256);  // LEN 397
  changed[608] = static_cast<char>(~(400 - 3) & 0xFF);
  cases.push_back({"a block stopping short of the next header", changed, false, 1000});
  changed = middle;
  changed[1] = static_cast<char>(0xFF);  // LEN 65535, NLEN to match
  changed[2] = static_cast<char>(0xFF);
  changed[3] = 0;
  changed[4] = 0;
  cases.push_back({"LEN 65535 in a short piece", changed, false, 1000});
  cases.push_back({"more bytes than the piece's place", middle, false, 999});
  cases.push_back({"fewer bytes than the piece's place", middle, false, 1001});
  cases.push_back({"a header cut off", last.substr(0, 607), true, 600});
  cases.push_back({"no closing empty block", middle.substr(0, 1010), false, 1000});
  cases.push_back({"a final block inside a piece that is not last",
                   BuiltPiece().Stored(a, true).Stored(b).SyncFlush().Bytes(), false, 1000});
  cases.push_back({"a final empty block closing a piece that is not last",
                   BuiltPiece().Stored(a).Stored(b).Stored("", true).Bytes(), false, 1000});
  changed = middle;
  changed[605] = 0x06;  // block type 3, reserved
  cases.push_back({"a reserved block type", changed, false, 1000});
  changed = last;
  changed[605] = 0x00;
  cases.push_back({"a last piece without a final block", changed, true, 1000});
  cases.push_back({"a byte after the final block", last + std::string(1, '\0'), true, 1000});
  cases.push_back({"a last piece cut off", last.substr(0, last.size() - 1), true, 999});
  cases.push_back({"a last piece that is a sync-flushed one", middle, true, 1000});
  cases.push_back({"a last piece in the place of one that is not", last, false, 1000});
  for (const Case& lying : cases) {
    const PieceOutcome outcome = Outcome(lying.piece, lying.last, lying.outLength);
    EXPECT_FALSE(outcome.copied) << lying.what;
    EXPECT_FALSE(outcome.decoded) << lying.what;
    EXPECT_TRUE(outcome.crcKept) << lying.what;
  }
  // The honest pieces they were made from are copied.
  EXPECT_TRUE(Outcome(middle, false, 1000).copied);
  EXPECT_TRUE(Outcome(last, true, 1000).copied);
}
