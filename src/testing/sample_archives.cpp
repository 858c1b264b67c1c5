#include "testing/sample_archives.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testing/zip_builder.h"
#include "zip/zip_format.h"

namespace testing_support {
namespace {

// The sweep's samples stay small: every byte of them is changed in turn.
std::string SweepText(std::size_t size) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) {
    out += "row " + std::to_string(i * 7919u % 1000u) + ": the quick brown fox\n";
  }
  out.resize(size);
  return out;
}

// Seeds stay small: the fuzzer runs with a cap on the input length, and small
// inputs are mutated faster.
std::string Text(std::size_t size) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) {
    out += "line " + std::to_string(i * 7919u % 1000u) + " of the seed text\n";
  }
  out.resize(size);
  return out;
}

// An extended-timestamp extra field with the modification time only, as
// Info-ZIP writes it.
std::string TimestampExtraField() {
  constexpr std::uint8_t kModificationTimePresent = 1;
  std::string field;
  zip::AppendExtraFieldHeader(field, zip::kExtraIdExtendedTimestamp, 5);
  field.push_back(static_cast<char>(kModificationTimePresent));
  zip::AppendLe32(field, 0);
  return field;
}

// Bytes that look like the start of an end record.
std::string EndRecordSignature() {
  std::string bytes;
  zip::AppendLe32(bytes, zip::kEndRecordSignature);
  return bytes;
}

}  // namespace

std::vector<std::size_t> AddPiecesEndingAtEveryBit(ZipBuilder& builder, std::size_t& added,
                                                   std::size_t& takenByClosingAlone) {
  constexpr std::size_t kFirstPieceLiterals = 30;
  DeflateBitWriter lastPiece;
  const std::string tail = "the last piece";
  lastPiece.FixedBlock(tail, true);
  std::vector<std::size_t> honest;
  added = 0;
  takenByClosingAlone = 0;
  const auto add = [&](const std::string& first, const std::string& firstContent) {
    auto& entry = builder.AddDeflated("bits/entry-" + std::to_string(added++), firstContent + tail);
    entry.data = first + lastPiece.Bytes();
    entry.centralExtra = PieceIndexField(static_cast<std::uint32_t>(firstContent.size()),
                                         {static_cast<std::uint32_t>(first.size()),
                                          static_cast<std::uint32_t>(lastPiece.Bytes().size())});
  };
  for (int end = 1; end <= 8; ++end) {
    const std::string literals = FixedBlockLiteralsEndingAt(end, kFirstPieceLiterals);
    DeflateBitWriter flushed;
    flushed.FixedBlock(literals, false);
    flushed.SyncFlush();
    honest.push_back(added);
    add(flushed.Bytes(), literals);
    DeflateBitWriter unflushed;
    unflushed.FixedBlock(literals, false);
    for (unsigned fill = 0; fill < (1u << (8 - end)); ++fill) {
      const std::string first = unflushed.Bytes(fill);
      std::string claimed = literals;
      for (const std::size_t size : {literals.size(), literals.size() + 1, literals.size() + 2}) {
        std::string closed;
        if (DecodeClosedWithFinalBlock(first, size, closed) && closed != literals) {
          claimed = closed;
          ++takenByClosingAlone;
          break;
        }
      }
      add(first, claimed);
    }
  }
  return honest;
}

namespace {

using Seeds = std::vector<std::pair<std::string, std::string>>;

std::string StoredSeed() {
  ZipBuilder builder;
  builder.AddStored("stored.txt", "stored content\n");
  return builder.Build();
}

std::string DeflateSeed() {
  ZipBuilder builder;
  builder.AddDeflated("deflated.txt", Text(4000));
  builder.AddDeflated("fast.txt", Text(600)).deflateLevel = 1;
  builder.AddDeflated("blocks.bin", NoiseBytes(300, 0x9E3779B9u)).deflateLevel =
      0;  // stored deflate blocks
  builder.AddDeflated("empty.txt", "");
  return builder.Build();
}

std::string FolderSeed() {
  ZipBuilder builder;
  builder.AddFolder("dir/");
  builder.AddFolder("dir/sub/");
  builder.AddStored("dir/sub/file.txt", "in a folder\n");
  auto& dosFolder = builder.AddStored("dosfolder", "");
  dosFolder.versionMadeBy = (zip::kHostMsDos << 8) | 20;
  dosFolder.externalAttributes = zip::kDosAttributeDirectory;
  builder.AddDeflated("later/parent/missing.txt", Text(100));
  return builder.Build();
}

std::string Zip64Seed() {
  ZipBuilder builder;
  builder.AddFolder("z64/").zip64.emplace();
  auto& stored = builder.AddStored("z64/stored.txt", "zip64 stored\n");
  stored.zip64.emplace();
  stored.zip64->diskStart = true;
  auto& deflated = builder.AddDeflated("z64/deflated.txt", Text(1500));
  deflated.zip64.emplace();
  deflated.zip64->uncompressedSize = false;
  deflated.zip64->inLocalHeader = false;
  builder.zip64End = true;
  builder.zip64EndRecord.extensibleData = "ext";
  return builder.Build();
}

std::string CommentSeed() {
  ZipBuilder builder;
  auto& entry = builder.AddStored("commented.txt", "with comments\n");
  entry.comment = "an entry comment";
  entry.localExtra = TimestampExtraField();
  entry.centralExtra = TimestampExtraField();
  builder.comment = "an archive comment holding " + EndRecordSignature() + " in the middle";
  return builder.Build();
}

std::string DescriptorSeed() {
  ZipBuilder builder;
  builder.AddDeflated("descriptor.txt", Text(700)).dataDescriptor = true;
  auto& bare = builder.AddStored("bare.txt", "descriptor without signature\n");
  bare.dataDescriptor = true;
  bare.descriptor.withSignature = false;
  auto& wide = builder.AddDeflated("wide.txt", Text(300));
  wide.dataDescriptor = true;
  wide.zip64.emplace();
  builder.zip64End = true;
  return builder.Build();
}

std::string NonAsciiSeed() {
  ZipBuilder builder;
  const std::uint16_t utf8Names = zip::kFlagUtf8Name;
  builder.AddStored("na\xC3\xAFve/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt", "cyrillic\n").flags =
      utf8Names;
  builder.AddDeflated("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", Text(200)).flags = utf8Names;
  builder.AddStored("emoji \xF0\x9F\x98\x80.txt", "four bytes\n").flags = utf8Names;
  builder.AddStored("cp437 \x81\x94.txt", "not UTF-8\n");
  return builder.Build();
}

std::string HostileSeed() {
  ZipBuilder builder;
  for (const char* name : {"../escape.txt", "/absolute.txt", "a/../../up.txt", "dir/../../up.txt",
                           "C:drive.txt", "back\\slash.txt", "CON", "aux.txt", "trailing. ",
                           "colon:stream", "./dot.txt", "dir//double.txt", ""}) {
    builder.AddStored(name, "hostile\n");
  }
  builder.AddStored(std::string("nul\0byte.txt", 12), "hostile\n");
  builder.AddFolder("../escape/");
  return builder.Build();
}

// A file and a folder under one name, and a file in place of a folder.
std::string ClashSeed() {
  ZipBuilder builder;
  builder.AddStored("clash", "a file first\n");
  builder.AddFolder("clash/");
  builder.AddStored("clash/inner.txt", "then a file below it\n");
  builder.AddStored("same.txt", "first\n");
  builder.AddStored("same.txt", "second, longer\n");
  return builder.Build();
}

std::string ManySeed() {
  ZipBuilder builder;
  for (int i = 0; i < 40; ++i) {
    builder.AddStored("many/" + std::to_string(i), std::to_string(i * i));
  }
  return builder.Build();
}

// Entries the reader refuses: encryption, another method, patch data.
std::string RefusedSeed() {
  ZipBuilder builder;
  constexpr std::uint16_t kMethodBzip2 = 12;
  builder.AddStored("encrypted.txt", "secret").flags = zip::kFlagEncrypted;
  builder.AddStored("strong.txt", "secret").flags = zip::kFlagStrongEncryption;
  builder.AddStored("patch.txt", "patch").flags = zip::kFlagPatchData;
  builder.AddStored("bzip2.bin", "BZh9").method = kMethodBzip2;
  return builder.Build();
}

// Sizes past any disk: Zip64 values of 2^63 and 2^32 for one byte of data.
std::string HugeSeed() {
  ZipBuilder builder;
  auto& huge = builder.AddStored("huge.bin", "x");
  huge.zip64.emplace();
  huge.zip64->uncompressedValue = std::uint64_t{1} << 63;
  auto& large = builder.AddStored("large.bin", "y");
  large.zip64.emplace();
  large.zip64->uncompressedValue = std::uint64_t{1} << 32;
  builder.zip64End = true;
  return builder.Build();
}

// Central records that all point at the first local header: little data,
// many times over when unpacked.
std::string OverlappingSeed() {
  ZipBuilder builder;
  const std::string content = Text(20000);
  builder.AddDeflated("shared/0.txt", content).deflateLevel = 9;
  for (int i = 1; i < 8; ++i) {
    auto& entry = builder.AddDeflated("shared/" + std::to_string(i) + ".txt", content);
    entry.deflateLevel = 9;
    entry.central.localHeaderOffset = 0;
  }
  return builder.Build();
}

// Entries deflated in independent pieces with honest piece indexes, one
// after another field, one piece of noise among text.
std::string PiecesSeed() {
  constexpr std::uint32_t kPieceSize = 1000;
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const std::string text = Text(3500);
  auto& plain = builder.AddDeflated("pieces/text.txt", text);
  plain.data = testing_support::DeflatePieces(text, kPieceSize, 6, lengths);
  plain.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
  const std::string mixed = Text(1200) + testing_support::NoiseBytes(1000, 0x2545F491u) + Text(900);
  auto& noisy = builder.AddDeflated("pieces/mixed.bin", mixed);
  noisy.data = testing_support::DeflatePieces(mixed, kPieceSize, 6, lengths);
  noisy.centralExtra =
      TimestampExtraField() + testing_support::PieceIndexField(kPieceSize, lengths);
  return builder.Build();
}

// Piece indexes that lie: lengths short of or past the data, a boundary
// moved so that two pieces overlap, lengths that wrap 32 bits, a count
// that does not match the size, a count near 2^32, a piece whose matches
// reach into the one before.
std::string LyingPiecesSeed() {
  constexpr std::uint32_t kPieceSize = 1000;
  const std::string text = Text(3500);
  std::vector<std::uint32_t> honest;
  const std::string data = testing_support::DeflatePieces(text, kPieceSize, 6, honest);
  const auto lying = [&](const std::vector<std::uint32_t>& lengths) {
    return testing_support::PieceIndexField(kPieceSize, lengths);
  };
  ZipBuilder builder;
  const auto add = [&](const std::string& name, const std::string& extra) {
    auto& entry = builder.AddDeflated("lying/" + name, text);
    entry.data = data;
    entry.centralExtra = extra;
  };
  std::vector<std::uint32_t> lengths = honest;
  lengths[0] -= 1;
  add("short.txt", lying(lengths));
  lengths = honest;
  lengths[3] += 1;
  add("long.txt", lying(lengths));
  lengths = honest;
  lengths[1] += 3;
  lengths[2] -= 3;
  add("overlap.txt", lying(lengths));
  lengths = honest;
  lengths[0] += 0x80000000u;
  lengths[1] += 0x80000000u;
  add("wrap.txt", lying(lengths));
  lengths = honest;
  lengths.pop_back();
  add("count.txt", lying(lengths));
  std::string nearMax;
  zip::AppendExtraFieldHeader(nearMax, zip::kExtraIdPieceIndex, 9);
  nearMax.push_back(static_cast<char>(zip::kPieceIndexVersion));
  zip::AppendLe32(nearMax, kPieceSize);
  zip::AppendLe32(nearMax, 0xFFFFFFFEu);
  add("count_max.txt", nearMax);
  lengths = honest;
  auto& reaching = builder.AddDeflated("lying/reaching.txt", text);
  reaching.data = testing_support::DeflatePieces(text, kPieceSize, 6, lengths, true);
  reaching.centralExtra = lying(lengths);
  return builder.Build();
}

// The starter's own shape: executable bytes in front, offsets counted
// from the first byte of the block.
void AddPrefixedSeeds(Seeds& seeds) {
  ZipBuilder builder;
  builder.prefix = "MZ" + std::string(200, '\0') + "stub";
  builder.AddDeflated("app/run.sh", "#!/bin/sh\necho run\n").externalAttributes = 0100755u << 16;
  builder.AddStored("app/readonly.txt", "read only\n").externalAttributes = 0100444u << 16;
  builder.AddStored("app/nomode.txt", "no mode\n").externalAttributes = 0;
  seeds.emplace_back("prefixed.zip", builder.Build());
  // The same archive appended as is: its offsets ignore the bytes in front,
  // which the reader refuses.
  builder.offsetsFromArchiveStart = true;
  seeds.emplace_back("appended.zip", builder.Build());
}

std::string BitEndsSeed() {
  std::size_t added = 0;
  std::size_t taken = 0;
  ZipBuilder builder;
  AddPiecesEndingAtEveryBit(builder, added, taken);
  return builder.Build();
}

}  // namespace

std::vector<std::pair<std::string, std::string>> FuzzSeedArchives() {
  Seeds seeds = {
      {"empty.zip", ZipBuilder().Build()},  {"stored.zip", StoredSeed()},
      {"deflate.zip", DeflateSeed()},       {"folder.zip", FolderSeed()},
      {"zip64.zip", Zip64Seed()},           {"comment.zip", CommentSeed()},
      {"descriptor.zip", DescriptorSeed()}, {"non_ascii.zip", NonAsciiSeed()},
      {"hostile.zip", HostileSeed()},       {"clash.zip", ClashSeed()},
  };
  AddPrefixedSeeds(seeds);
  seeds.emplace_back("many.zip", ManySeed());
  seeds.emplace_back("refused.zip", RefusedSeed());
  seeds.emplace_back("huge.zip", HugeSeed());
  seeds.emplace_back("overlapping.zip", OverlappingSeed());
  seeds.emplace_back("pieces.zip", PiecesSeed());
  seeds.emplace_back("pieces_lying.zip", LyingPiecesSeed());
  seeds.emplace_back("pieces_bit_ends.zip", BitEndsSeed());
  for (auto& seed : StoredPieceSeedArchives()) {
    seeds.push_back(std::move(seed));
  }
  return seeds;
}

SweepSample PlainSweepSample() {
  ZipBuilder builder;
  builder.AddFolder("dir/");
  builder.AddStored("dir/a.txt", "stored entry content, stored as is\n");
  builder.AddDeflated("b.txt", SweepText(3000));
  builder.comment = "sweep";
  return SweepSample{builder.Build(),
                     {"", "stored entry content, stored as is\n", SweepText(3000)}};
}

SweepSample Zip64SweepSample() {
  ZipBuilder builder;
  builder.AddFolder("dir/").zip64.emplace();
  auto& stored = builder.AddStored("dir/a.txt", "zip64 stored\n");
  stored.zip64.emplace();
  stored.dataDescriptor = true;
  auto& deflated = builder.AddDeflated("b.txt", SweepText(2000));
  deflated.zip64.emplace();
  deflated.zip64->uncompressedSize = false;
  builder.zip64End = true;
  return SweepSample{builder.Build(), {"", "zip64 stored\n", SweepText(2000)}};
}

namespace {

// A stored deflate block of `bytes` (fewer than 65,536): the header byte,
// final or not, then LEN and NLEN, then the bytes.
std::string StoredBlock(const std::string& bytes, bool final) {
  DeflateBitWriter writer;
  writer.StoredBlock(bytes, final);
  return writer.Bytes();
}

// Three pieces of 1000 bytes at most: text deflated, then noise in two
// stored blocks and the sync flush's empty one, then noise as the final
// stored block.
struct StoredPieces {
  static constexpr std::uint32_t kPieceSize = 1000;
  std::string content;
  std::string deflated;  // the first piece
  std::string middle;
  std::string last;

  StoredPieces() {
    const std::string text = Text(kPieceSize);
    const std::string noise = NoiseBytes(kPieceSize, 0x2545F491u);
    const std::string tail = NoiseBytes(700, 0x9E3779B9u);
    content = text + noise + tail;
    std::vector<std::uint32_t> lengths;
    deflated = DeflatePieces(content, kPieceSize, 6, lengths).substr(0, lengths[0]);
    middle = StoredBlock(noise.substr(0, 600), false) + StoredBlock(noise.substr(600), false) +
             StoredBlock("", false);
    last = StoredBlock(tail, true);
  }

  // An entry of `middle` and `last` as given, indexed by their lengths.
  void Add(ZipBuilder& builder, const std::string& name, const std::string& middlePiece,
           const std::string& lastPiece) const {
    auto& entry = builder.AddDeflated(name, content);
    entry.data = deflated + middlePiece + lastPiece;
    entry.centralExtra =
        PieceIndexField(kPieceSize, {static_cast<std::uint32_t>(deflated.size()),
                                     static_cast<std::uint32_t>(middlePiece.size()),
                                     static_cast<std::uint32_t>(lastPiece.size())});
  }
};

}  // namespace

std::vector<std::pair<std::string, std::string>> StoredPieceSeedArchives() {
  std::vector<std::pair<std::string, std::string>> seeds;
  const StoredPieces pieces;
  {
    ZipBuilder builder;
    pieces.Add(builder, "stored/mixed.bin", pieces.middle, pieces.last);
    seeds.emplace_back("pieces_stored.zip", builder.Build());
  }
  ZipBuilder builder;
  std::string middle = pieces.middle;
  middle[3] ^= 0x01;  // NLEN no longer LEN's complement
  pieces.Add(builder, "stored_lying/nlen.bin", middle, pieces.last);
  // LEN and NLEN agree, but the second block runs past the piece's end or
  // stops short of it.
  for (const int change : {7, -3}) {
    middle = pieces.middle;
    const std::size_t second = 5 + 600;
    const auto length = static_cast<std::uint16_t>(400 + change);
    middle.replace(second + 1, 4, std::string());
    std::string fields;
    zip::AppendLe16(fields, length);
    zip::AppendLe16(fields, static_cast<std::uint16_t>(~length));
    middle.insert(second + 1, fields);
    pieces.Add(builder, change > 0 ? "stored_lying/past_end.bin" : "stored_lying/short.bin", middle,
               pieces.last);
  }
  // No closing empty block: the stream is whole, the piece does not end as
  // a sync flush ends.
  pieces.Add(builder, "stored_lying/no_sync.bin", pieces.middle.substr(0, pieces.middle.size() - 5),
             pieces.last);
  std::string last = pieces.last;
  last[0] = 0;  // not final: the stream never ends
  pieces.Add(builder, "stored_lying/not_final.bin", pieces.middle, last);
  seeds.emplace_back("pieces_stored_lying.zip", builder.Build());
  seeds.emplace_back("pieces_stored_mixed.zip", MixedStoredPiecesArchive());
  return seeds;
}

std::string MixedStoredPiecesArchive() {
  const StoredPieces pieces;
  const std::string noise = pieces.content.substr(StoredPieces::kPieceSize, 1000);
  const std::string tail = pieces.content.substr(2 * StoredPieces::kPieceSize);
  ZipBuilder builder;
  const auto add = [&](const std::string& name, const DeflateBitWriter& middle,
                       const std::string& last) {
    pieces.Add(builder, "stored_mixed/" + name, middle.Bytes(), last);
  };
  DeflateBitWriter middle;
  middle.StoredBlock(noise.substr(0, 600), false);
  middle.FixedBlock(noise.substr(600), false);
  middle.SyncFlush();
  add("stored_then_huffman.bin", middle, pieces.last);
  middle = DeflateBitWriter();
  middle.FixedBlock(noise.substr(0, 400), false);
  middle.StoredBlock(noise.substr(400), false);
  middle.SyncFlush();
  add("huffman_then_stored.bin", middle, pieces.last);
  // Empty blocks among the others, the unused bits of every header set.
  constexpr unsigned kPadding = 0x1F;
  middle = DeflateBitWriter();
  for (const std::string& bytes :
       {std::string(), noise.substr(0, 500), std::string(), noise.substr(500), std::string()}) {
    middle.StoredBlock(bytes, false, kPadding);
  }
  DeflateBitWriter last;
  last.StoredBlock(tail, true, kPadding);
  add("padded_and_empty.bin", middle, last.Bytes());
  last = DeflateBitWriter();
  last.StoredBlock(tail.substr(0, 300), false);
  last.FixedBlock(tail.substr(300), true);
  middle = DeflateBitWriter();
  middle.StoredBlock(noise, false);
  middle.SyncFlush();
  add("last_huffman.bin", middle, last.Bytes());
  // Lying: a final block inside the piece or closing it (where the stream
  // ends), a byte after the last piece's final block (which a one-pass
  // decode leaves unread), a reserved block type.
  middle = DeflateBitWriter();
  middle.StoredBlock(noise.substr(0, 600), true);
  middle.StoredBlock(noise.substr(600), false);
  middle.SyncFlush();
  add("final_inside.bin", middle, pieces.last);
  middle = DeflateBitWriter();
  middle.StoredBlock(noise, false);
  middle.StoredBlock(std::string(), true);
  add("final_closing.bin", middle, pieces.last);
  middle = DeflateBitWriter();
  middle.StoredBlock(noise, false);
  middle.SyncFlush();
  add("byte_after_final.bin", middle, pieces.last + std::string(1, '\0'));
  constexpr char kReservedBlockType = 0x06;
  std::string reserved = pieces.middle;
  reserved[0] = kReservedBlockType;
  pieces.Add(builder, "stored_mixed/reserved_type.bin", reserved, pieces.last);
  return builder.Build();
}

}  // namespace testing_support
