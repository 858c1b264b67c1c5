#include "testing/zip_builder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "testing/zip_test_records.h"

namespace testing_support {
namespace {

template <typename T>
T Or(const std::optional<T>& override, T computed) {
  return override ? *override : computed;
}

unsigned char* At(std::string& bytes, std::size_t offset) {
  return reinterpret_cast<unsigned char*>(&bytes[offset]);
}

// An override of a length or signature field is written over the appended
// record afterwards, so it changes that field and nothing else.
void Patch16(std::string& bytes, std::size_t record, std::size_t field,
             const std::optional<std::uint16_t>& value) {
  if (value) {
    zip::StoreLe16(At(bytes, record + field), *value);
  }
}

void Patch32(std::string& bytes, std::size_t record, std::size_t field,
             const std::optional<std::uint32_t>& value) {
  if (value) {
    zip::StoreLe32(At(bytes, record + field), *value);
  }
}

// The archive being built and where its structures went.
struct Output {
  std::string bytes;
  ZipLayout& layout;
  // Recorded offsets count from the block's start unless asked otherwise.
  std::uint64_t base;

  std::uint64_t RecordedOffset() const { return bytes.size() - base; }
};

// Everything about one entry that the central record needs after its local
// header and data have been written.
struct WrittenEntry {
  std::uint64_t localHeaderOffset;  // as recorded (prefix-adjusted)
  std::uint64_t dataLength;
  std::uint32_t crc;
};

// The central directory as the end records describe it.
struct Directory {
  std::uint64_t entryCount;
  std::uint64_t size;
  std::uint64_t offset;  // as recorded
};

std::uint16_t FlagsOf(const ZipBuilderEntry& entry) {
  return static_cast<std::uint16_t>(entry.flags |
                                    (entry.dataDescriptor ? zip::kFlagDataDescriptor : 0));
}

std::uint16_t VersionNeededOf(const ZipBuilderEntry& entry) {
  return entry.zip64 ? zip::kVersionNeededZip64 : entry.versionNeeded;
}

std::string DataOf(const ZipBuilderEntry& entry) {
  if (entry.data) {
    return *entry.data;
  }
  return entry.method == zip::kMethodDeflate ? DeflateRaw(entry.content, entry.deflateLevel)
                                             : entry.content;
}

std::string Zip64ExtraBlock(const ZipZip64Extra& zip64, bool central, std::uint64_t uncompressed,
                            std::uint64_t compressed, std::uint64_t offset) {
  std::string values;
  if (zip64.uncompressedSize) {
    zip::AppendLe64(values, Or(zip64.uncompressedValue, uncompressed));
  }
  if (zip64.compressedSize) {
    zip::AppendLe64(values, Or(zip64.compressedValue, compressed));
  }
  if (central && zip64.localHeaderOffset) {
    zip::AppendLe64(values, Or(zip64.offsetValue, offset));
  }
  if (central && zip64.diskStart) {
    zip::AppendLe32(values, Or(zip64.diskValue, std::uint32_t{0}));
  }
  std::string block;
  zip::AppendExtraFieldHeader(block, Or(zip64.headerId, zip::kExtraIdZip64),
                              Or(zip64.dataSize, static_cast<std::uint16_t>(values.size())));
  return block + values;
}

void AppendLocalHeaderOf(Output& out, const ZipBuilderEntry& entry, const WrittenEntry& w) {
  namespace f = zip::local_header_field;
  const ZipLocalHeaderFields& lo = entry.local;
  const bool localZip64 = entry.zip64 && entry.zip64->inLocalHeader;
  std::string extra;
  if (localZip64) {
    extra = Zip64ExtraBlock(*entry.zip64, false, entry.content.size(), w.dataLength,
                            w.localHeaderOffset);
  }
  extra += entry.localExtra;
  const std::string name = Or(lo.name, entry.name);
  extra = Or(lo.extra, extra);
  std::uint32_t crc = w.crc;
  std::uint32_t compressed = static_cast<std::uint32_t>(w.dataLength);
  std::uint32_t uncompressed = static_cast<std::uint32_t>(entry.content.size());
  if (localZip64 && entry.zip64->compressedSize) {
    compressed = zip::kMarker32;
  }
  if (localZip64 && entry.zip64->uncompressedSize) {
    uncompressed = zip::kMarker32;
  }
  if (entry.dataDescriptor) {
    crc = 0;
    compressed = localZip64 ? compressed : 0;
    uncompressed = localZip64 ? uncompressed : 0;
  }
  zip::LocalHeader header;
  header.versionNeeded = Or(lo.versionNeeded, VersionNeededOf(entry));
  header.flags = Or(lo.flags, FlagsOf(entry));
  header.method = Or(lo.method, entry.method);
  header.dosTime = Or(lo.dosTime, entry.dosTime);
  header.dosDate = Or(lo.dosDate, entry.dosDate);
  header.crc32 = Or(lo.crc32, crc);
  header.compressedSize = Or(lo.compressedSize, compressed);
  header.uncompressedSize = Or(lo.uncompressedSize, uncompressed);
  header.name = name;
  header.extra = extra;
  const std::size_t start = out.bytes.size();
  out.layout.localHeaderOffsets.push_back(start);
  zip::AppendLocalHeader(out.bytes, header);
  Patch32(out.bytes, start, f::kSignature, lo.signature);
  Patch16(out.bytes, start, f::kNameLength, lo.nameLength);
  Patch16(out.bytes, start, f::kExtraLength, lo.extraLength);
}

void AppendDataDescriptor(Output& out, const ZipBuilderEntry& entry, const WrittenEntry& w) {
  const ZipDataDescriptorFields& dd = entry.descriptor;
  if (dd.withSignature) {
    zip::AppendLe32(out.bytes, Or(dd.signature, zip::kDataDescriptorSignature));
  }
  zip::AppendLe32(out.bytes, Or(dd.crc32, w.crc));
  const std::uint64_t compressed = Or(dd.compressedSize, w.dataLength);
  const std::uint64_t uncompressed = Or(dd.uncompressedSize, std::uint64_t{entry.content.size()});
  if (entry.zip64) {
    zip::AppendLe64(out.bytes, compressed);
    zip::AppendLe64(out.bytes, uncompressed);
  } else {
    zip::AppendLe32(out.bytes, static_cast<std::uint32_t>(compressed));
    zip::AppendLe32(out.bytes, static_cast<std::uint32_t>(uncompressed));
  }
}

// The local header, the data and the descriptor of one entry.
WrittenEntry AppendLocalEntry(Output& out, const ZipBuilderEntry& entry) {
  const std::string data = DataOf(entry);
  const WrittenEntry w{out.RecordedOffset(), data.size(), Crc32(entry.content)};
  AppendLocalHeaderOf(out, entry, w);
  out.layout.dataOffsets.push_back(out.bytes.size());
  out.layout.dataLengths.push_back(data.size());
  out.bytes += data;
  if (entry.dataDescriptor) {
    AppendDataDescriptor(out, entry, w);
  }
  return w;
}

void AppendCentralRecordOf(Output& out, const ZipBuilderEntry& entry, const WrittenEntry& w) {
  namespace f = zip::central_record_field;
  const ZipCentralRecordFields& ce = entry.central;
  std::uint32_t compressed = static_cast<std::uint32_t>(w.dataLength);
  std::uint32_t uncompressed = static_cast<std::uint32_t>(entry.content.size());
  std::uint32_t offset = static_cast<std::uint32_t>(w.localHeaderOffset);
  std::uint16_t disk = 0;
  std::string extra;
  if (entry.zip64) {
    const ZipZip64Extra& z = *entry.zip64;
    uncompressed = z.uncompressedSize ? zip::kMarker32 : uncompressed;
    compressed = z.compressedSize ? zip::kMarker32 : compressed;
    offset = z.localHeaderOffset ? zip::kMarker32 : offset;
    disk = z.diskStart ? zip::kMarker16 : disk;
    extra = Zip64ExtraBlock(z, true, entry.content.size(), w.dataLength, w.localHeaderOffset);
  }
  extra += entry.centralExtra;
  const std::string name = Or(ce.name, entry.name);
  extra = Or(ce.extra, extra);
  const std::string comment = Or(ce.comment, entry.comment);
  zip::CentralRecord record;
  record.versionMadeBy = Or(ce.versionMadeBy, entry.versionMadeBy);
  record.versionNeeded = Or(ce.versionNeeded, VersionNeededOf(entry));
  record.flags = Or(ce.flags, FlagsOf(entry));
  record.method = Or(ce.method, entry.method);
  record.dosTime = Or(ce.dosTime, entry.dosTime);
  record.dosDate = Or(ce.dosDate, entry.dosDate);
  record.crc32 = Or(ce.crc32, w.crc);
  record.compressedSize = Or(ce.compressedSize, compressed);
  record.uncompressedSize = Or(ce.uncompressedSize, uncompressed);
  record.diskStart = Or(ce.diskStart, disk);
  record.internalAttributes = Or(ce.internalAttributes, entry.internalAttributes);
  record.externalAttributes = Or(ce.externalAttributes, entry.externalAttributes);
  record.localHeaderOffset = Or(ce.localHeaderOffset, offset);
  record.name = name;
  record.extra = extra;
  record.comment = comment;
  const std::size_t start = out.bytes.size();
  out.layout.centralRecordOffsets.push_back(start);
  zip::AppendCentralRecord(out.bytes, record);
  Patch32(out.bytes, start, f::kSignature, ce.signature);
  Patch16(out.bytes, start, f::kNameLength, ce.nameLength);
  Patch16(out.bytes, start, f::kExtraLength, ce.extraLength);
  Patch16(out.bytes, start, f::kCommentLength, ce.commentLength);
}

void AppendZip64EndRecordOf(Output& out, const ZipZip64EndRecordFields& z,
                            const Directory& directory) {
  zip::Zip64EndRecord record;
  // The size field is written as it stands, so an override changes only it.
  record.recordSize = Or(z.recordSize, zip::kZip64EndRecordSize - zip::kZip64EndRecordLeadSize +
                                           std::uint64_t{z.extensibleData.size()});
  record.versionMadeBy = Or(z.versionMadeBy, static_cast<std::uint16_t>((zip::kHostUnix << 8) |
                                                                        zip::kVersionNeededZip64));
  record.versionNeeded = Or(z.versionNeeded, zip::kVersionNeededZip64);
  record.diskNumber = Or(z.diskNumber, std::uint32_t{0});
  record.directoryDisk = Or(z.directoryDisk, std::uint32_t{0});
  record.entriesOnDisk = Or(z.entriesOnDisk, directory.entryCount);
  record.entryCount = Or(z.totalEntries, directory.entryCount);
  record.directorySize = Or(z.directorySize, directory.size);
  record.directoryOffset = Or(z.directoryOffset, directory.offset);
  record.extensibleData = z.extensibleData;
  const std::size_t start = out.bytes.size();
  out.layout.zip64EndRecordOffset = start;
  testing_support::AppendZip64EndRecord(out.bytes, record);
  Patch32(out.bytes, start, zip::zip64_end_record_field::kSignature, z.signature);
}

void AppendZip64LocatorOf(Output& out, const ZipZip64LocatorFields& l) {
  zip::Zip64Locator locator;
  locator.endRecordDisk = Or(l.zip64EndDisk, std::uint32_t{0});
  locator.endRecordOffset =
      Or(l.zip64EndOffset, std::uint64_t{out.layout.zip64EndRecordOffset - out.base});
  locator.totalDisks = Or(l.totalDisks, std::uint32_t{1});
  const std::size_t start = out.bytes.size();
  out.layout.zip64LocatorOffset = start;
  testing_support::AppendZip64Locator(out.bytes, locator);
  Patch32(out.bytes, start, zip::zip64_locator_field::kSignature, l.signature);
}

// With a Zip64 end record the 16- and 32-bit fields hold their markers.
void AppendEndRecordOf(Output& out, const ZipEndRecordFields& e, bool zip64End,
                       const Directory& directory, const std::string& comment) {
  namespace f = zip::end_record_field;
  const std::uint16_t count =
      zip64End ? zip::kMarker16
               : static_cast<std::uint16_t>(std::min<std::uint64_t>(directory.entryCount, 0xFFFF));
  const std::uint32_t size = zip64End ? zip::kMarker32 : static_cast<std::uint32_t>(directory.size);
  const std::uint32_t offset =
      zip64End ? zip::kMarker32 : static_cast<std::uint32_t>(directory.offset);
  zip::EndRecord record;
  record.diskNumber = Or(e.diskNumber, std::uint16_t{0});
  record.directoryDisk = Or(e.directoryDisk, std::uint16_t{0});
  record.entriesOnDisk = Or(e.entriesOnDisk, count);
  record.entryCount = Or(e.totalEntries, count);
  record.directorySize = Or(e.directorySize, size);
  record.directoryOffset = Or(e.directoryOffset, offset);
  record.comment = comment;
  const std::size_t start = out.bytes.size();
  out.layout.endRecordOffset = start;
  zip::AppendEndRecord(out.bytes, record);
  Patch32(out.bytes, start, f::kSignature, e.signature);
  Patch16(out.bytes, start, f::kCommentLength, e.commentLength);
}

// Room for a `width`-byte value at `offset` of `bytes`.
unsigned char* Room(std::string& bytes, std::size_t offset, std::size_t width) {
  if (offset > bytes.size() || width > bytes.size() - offset) {
    throw std::out_of_range("PutLe: the value runs past the end of the bytes");
  }
  return At(bytes, offset);
}

}  // namespace

std::uint16_t DosTime(int hour, int minute, int second) {
  return zip::DosStampFromCivil(zip::CivilTime{1980, 1, 1, hour, minute, second}).time;
}

std::uint16_t DosDate(int year, int month, int day) {
  return zip::DosStampFromCivil(zip::CivilTime{year, month, day, 0, 0, 0}).date;
}

std::string DeflateRaw(const std::string& data, int level) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    std::abort();
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
    std::abort();
  }
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string DeflatePieces(const std::string& data, std::size_t pieceSize, int level,
                          std::vector<std::uint32_t>& lengths, bool dictionary) {
  constexpr std::size_t kWindow = 32 * 1024;
  lengths.clear();
  std::string out;
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min(pieceSize, data.size() - offset);
    const bool last = offset + length == data.size();
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      std::abort();
    }
    if (dictionary && offset > 0) {
      const std::size_t history = std::min(offset, kWindow);
      if (deflateSetDictionary(&stream,
                               reinterpret_cast<const Bytef*>(data.data() + offset - history),
                               static_cast<uInt>(history)) != Z_OK) {
        std::abort();
      }
    }
    std::string piece(deflateBound(&stream, static_cast<uLong>(length)) + 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = reinterpret_cast<Bytef*>(&piece[0]);
    stream.avail_out = static_cast<uInt>(piece.size());
    const int result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (result != (last ? Z_STREAM_END : Z_OK) || stream.avail_in != 0 || stream.avail_out == 0) {
      std::abort();
    }
    piece.resize(stream.total_out);
    deflateEnd(&stream);
    lengths.push_back(static_cast<std::uint32_t>(piece.size()));
    out += piece;
    offset += length;
  } while (offset < data.size());
  return out;
}

namespace {

// The fixed literal codes (RFC 1951, 3.2.6): bytes 0-143 take eight bits from
// 0x30, bytes 144-255 nine bits from 0x190; end of block is seven zero bits.
constexpr unsigned kFixedShortLiteralLimit = 144;
constexpr std::uint32_t kFixedShortLiteralBase = 0x30;
constexpr std::uint32_t kFixedLongLiteralBase = 0x190;
constexpr int kFixedEndOfBlockBits = 7;
constexpr int kBlockHeaderBits = 3;
constexpr std::uint32_t kStoredBlockType = 0;  // in the two bits after the final bit
constexpr std::uint32_t kFixedBlockType = 1;

// Huffman codes go out most significant bit first.
std::uint32_t Reversed(std::uint32_t code, int count) {
  std::uint32_t out = 0;
  for (int i = 0; i < count; ++i) {
    out = (out << 1) | ((code >> i) & 1u);
  }
  return out;
}

}  // namespace

void DeflateBitWriter::Bits(std::uint32_t value, int count) {
  for (int i = 0; i < count; ++i, ++bitCount_) {
    if (bitCount_ % 8 == 0) {
      bytes_.push_back('\0');
    }
    if ((value >> i) & 1u) {
      bytes_.back() = static_cast<char>(bytes_.back() | (1 << (bitCount_ % 8)));
    }
  }
}

void DeflateBitWriter::FixedBlock(const std::string& literals, bool final) {
  Bits(final ? 1u : 0u, 1);
  Bits(kFixedBlockType, 2);
  for (const char c : literals) {
    const unsigned byte = static_cast<unsigned char>(c);
    if (byte < kFixedShortLiteralLimit) {
      Bits(Reversed(kFixedShortLiteralBase + byte, 8), 8);
    } else {
      Bits(Reversed(kFixedLongLiteralBase + byte - kFixedShortLiteralLimit, 9), 9);
    }
  }
  Bits(0, kFixedEndOfBlockBits);
}

void DeflateBitWriter::StoredBlock(const std::string& bytes, bool final, unsigned padding) {
  Bits(final ? 1u : 0u, 1);
  Bits(kStoredBlockType, 2);
  if (BitsInLastByte() != 0) {
    Bits(padding, 8 - BitsInLastByte());
  }
  const auto length = static_cast<std::uint16_t>(bytes.size());
  Bits(length, 16);
  Bits(static_cast<std::uint16_t>(~length), 16);  // NLEN, its complement
  bytes_ += bytes;                                // on a byte boundary now
  bitCount_ += 8 * bytes.size();
}

void DeflateBitWriter::SyncFlush() {
  StoredBlock(std::string(), false);
}

std::string DeflateBitWriter::Bytes(unsigned fill) const {
  std::string out = bytes_;
  if (BitsInLastByte() != 0) {
    const unsigned used = (1u << BitsInLastByte()) - 1;
    out.back() = static_cast<char>((static_cast<unsigned char>(out.back()) & used) |
                                   ((fill << BitsInLastByte()) & ~used & 0xFFu));
  }
  return out;
}

std::string FixedBlockLiteralsEndingAt(int bitsInLastByte, std::size_t minimum) {
  // Header and end of block take 10 bits, each short literal 8, each long
  // one 9: the long ones alone move the end within its byte.
  const int longOnes = ((bitsInLastByte - kBlockHeaderBits - kFixedEndOfBlockBits) % 8 + 8) % 8;
  std::string literals(static_cast<std::size_t>(longOnes), '\xC8');
  while (literals.size() < minimum) {
    literals += "A";
  }
  return literals;
}

bool DecodeClosedWithFinalBlock(const std::string& piece, std::size_t size, std::string& out) {
  const std::string closed = piece + std::string("\x03\x00", 2);
  out.assign(size, '\0');
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) {
    std::abort();
  }
  std::size_t consumed = 0;
  std::size_t produced = 0;
  const bool decoded =
      libdeflate_deflate_decompress_ex(decompressor, closed.data(), closed.size(), &out[0], size,
                                       &consumed, &produced) == LIBDEFLATE_SUCCESS &&
      consumed == closed.size() && produced == size;
  libdeflate_free_decompressor(decompressor);
  return decoded;
}

std::string PieceIndexField(std::uint32_t pieceSize, const std::vector<std::uint32_t>& lengths) {
  zip::PieceIndex index;
  index.pieceSize = pieceSize;
  index.compressedLengths = lengths;
  std::string field;
  if (!zip::AppendPieceIndex(field, index)) {
    std::abort();
  }
  return field;
}

std::uint32_t Crc32(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0),
                                          reinterpret_cast<const Bytef*>(data.data()),
                                          static_cast<uInt>(data.size())));
}

std::string NumberedText(std::size_t size, const std::string& label) {
  constexpr std::size_t kBlock = 1 << 20;
  std::string block;
  for (unsigned i = 0; block.size() < kBlock; ++i) {
    block += "line " + std::to_string(i * 2654435761u % 1000003u) + " " + label + "\n";
  }
  std::string out;
  out.reserve(size + kBlock);
  for (std::size_t n = 0; out.size() < size; ++n) {
    const std::string number = std::to_string(n);
    out += number;
    out.append(block, number.size(), kBlock - number.size());
  }
  out.resize(size);
  return out;
}

std::string NoiseBytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t state = seed;
  for (char& c : out) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state & 0xFF);
  }
  return out;
}

void PutLe16(std::string& bytes, std::size_t offset, std::uint16_t value) {
  zip::StoreLe16(Room(bytes, offset, 2), value);
}

void PutLe32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  zip::StoreLe32(Room(bytes, offset, 4), value);
}

void PutLe64(std::string& bytes, std::size_t offset, std::uint64_t value) {
  zip::StoreLe64(Room(bytes, offset, 8), value);
}

ZipBuilderEntry& ZipBuilder::AddStored(const std::string& name, const std::string& content) {
  entries.emplace_back();
  entries.back().name = name;
  entries.back().content = content;
  entries.back().method = zip::kMethodStored;
  return entries.back();
}

ZipBuilderEntry& ZipBuilder::AddDeflated(const std::string& name, const std::string& content) {
  ZipBuilderEntry& entry = AddStored(name, content);
  entry.method = zip::kMethodDeflate;
  return entry;
}

ZipBuilderEntry& ZipBuilder::AddFolder(const std::string& name) {
  ZipBuilderEntry& entry = AddStored(name, "");
  entry.externalAttributes = (040755u << 16) | zip::kDosAttributeDirectory;
  return entry;
}

std::string ZipBuilder::Build(ZipLayout* layout) const {
  ZipLayout scratch;
  Output out{prefix, layout != nullptr ? *layout : scratch,
             offsetsFromArchiveStart ? prefix.size() : 0};
  out.layout = ZipLayout{};
  std::vector<WrittenEntry> written;
  for (const ZipBuilderEntry& entry : entries) {
    written.push_back(AppendLocalEntry(out, entry));
  }
  out.layout.centralDirectoryOffset = out.bytes.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    AppendCentralRecordOf(out, entries[i], written[i]);
  }
  out.layout.centralDirectorySize = out.bytes.size() - out.layout.centralDirectoryOffset;
  const Directory directory{entries.size(), out.layout.centralDirectorySize,
                            out.layout.centralDirectoryOffset - out.base};
  if (zip64End) {
    AppendZip64EndRecordOf(out, zip64EndRecord, directory);
    AppendZip64LocatorOf(out, zip64Locator);
  }
  AppendEndRecordOf(out, end, zip64End, directory, comment);
  out.bytes += trailer;
  return out.bytes;
}

}  // namespace testing_support
