#include "testing/zip_builder.h"

#include <zlib.h>

#include <cstdlib>

namespace testing_support {
namespace {

constexpr std::uint32_t kMarker32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMarker16 = 0xFFFFu;

void Append16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void Append32(std::string& out, std::uint32_t value) {
  Append16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  Append16(out, static_cast<std::uint16_t>(value >> 16));
}

void Append64(std::string& out, std::uint64_t value) {
  Append32(out, static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
  Append32(out, static_cast<std::uint32_t>(value >> 32));
}

template <typename T>
T Or(const std::optional<T>& override, T computed) {
  return override ? *override : computed;
}

// Everything about one entry that the central record needs after its local
// header and data have been written.
struct WrittenEntry {
  std::uint64_t localHeaderOffset;  // as recorded (prefix-adjusted)
  std::uint64_t dataLength;
  std::uint32_t crc;
};

std::string Zip64ExtraBlock(const ZipZip64Extra& zip64, bool central, std::uint64_t uncompressed,
                            std::uint64_t compressed, std::uint64_t offset) {
  std::string values;
  if (zip64.uncompressedSize) {
    Append64(values, Or(zip64.uncompressedValue, uncompressed));
  }
  if (zip64.compressedSize) {
    Append64(values, Or(zip64.compressedValue, compressed));
  }
  if (central && zip64.localHeaderOffset) {
    Append64(values, Or(zip64.offsetValue, offset));
  }
  if (central && zip64.diskStart) {
    Append32(values, Or(zip64.diskValue, std::uint32_t{0}));
  }
  std::string block;
  Append16(block, Or(zip64.headerId, std::uint16_t{0x0001}));
  Append16(block, Or(zip64.dataSize, static_cast<std::uint16_t>(values.size())));
  return block + values;
}

}  // namespace

std::uint16_t DosTime(int hour, int minute, int second) {
  return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

std::uint16_t DosDate(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
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

std::uint32_t Crc32(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0),
                                          reinterpret_cast<const Bytef*>(data.data()),
                                          static_cast<uInt>(data.size())));
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
  bytes.at(offset) = static_cast<char>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

void PutLe32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  PutLe16(bytes, offset, static_cast<std::uint16_t>(value & 0xFFFF));
  PutLe16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

void PutLe64(std::string& bytes, std::size_t offset, std::uint64_t value) {
  PutLe32(bytes, offset, static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
  PutLe32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

ZipBuilderEntry& ZipBuilder::AddStored(const std::string& name, const std::string& content) {
  entries.emplace_back();
  entries.back().name = name;
  entries.back().content = content;
  entries.back().method = 0;
  return entries.back();
}

ZipBuilderEntry& ZipBuilder::AddDeflated(const std::string& name, const std::string& content) {
  ZipBuilderEntry& entry = AddStored(name, content);
  entry.method = 8;
  return entry;
}

ZipBuilderEntry& ZipBuilder::AddFolder(const std::string& name) {
  ZipBuilderEntry& entry = AddStored(name, "");
  entry.externalAttributes = (040755u << 16) | 0x10;
  return entry;
}

std::string ZipBuilder::Build(ZipLayout* layout) const {
  ZipLayout scratch;
  ZipLayout& where = layout != nullptr ? *layout : scratch;
  where = ZipLayout{};
  std::string out = prefix;
  // Recorded offsets count from the block's start unless asked otherwise.
  const std::uint64_t base = offsetsFromArchiveStart ? prefix.size() : 0;

  std::vector<WrittenEntry> written;
  for (const ZipBuilderEntry& entry : entries) {
    const std::string data =
        entry.data
            ? *entry.data
            : (entry.method == 8 ? DeflateRaw(entry.content, entry.deflateLevel) : entry.content);
    const std::uint32_t crc = Crc32(entry.content);
    const std::uint16_t flags =
        static_cast<std::uint16_t>(entry.flags | (entry.dataDescriptor ? 0x0008 : 0));
    const std::uint16_t versionNeeded = entry.zip64 ? std::uint16_t{45} : entry.versionNeeded;
    const std::uint64_t offset = out.size() - base;
    where.localHeaderOffsets.push_back(out.size());

    const bool localZip64 = entry.zip64 && entry.zip64->inLocalHeader;
    std::string extra;
    if (localZip64) {
      extra = Zip64ExtraBlock(*entry.zip64, false, entry.content.size(), data.size(), offset);
    }
    extra += entry.localExtra;
    const ZipLocalHeaderFields& lo = entry.local;
    const std::string name = Or(lo.name, entry.name);
    extra = Or(lo.extra, extra);
    std::uint32_t localCrc = crc;
    std::uint32_t localCompressed = static_cast<std::uint32_t>(data.size());
    std::uint32_t localUncompressed = static_cast<std::uint32_t>(entry.content.size());
    if (localZip64 && entry.zip64->compressedSize) {
      localCompressed = kMarker32;
    }
    if (localZip64 && entry.zip64->uncompressedSize) {
      localUncompressed = kMarker32;
    }
    if (entry.dataDescriptor) {
      localCrc = 0;
      localCompressed = localZip64 ? localCompressed : 0;
      localUncompressed = localZip64 ? localUncompressed : 0;
    }
    Append32(out, Or(lo.signature, std::uint32_t{0x04034b50}));
    Append16(out, Or(lo.versionNeeded, versionNeeded));
    Append16(out, Or(lo.flags, flags));
    Append16(out, Or(lo.method, entry.method));
    Append16(out, Or(lo.dosTime, entry.dosTime));
    Append16(out, Or(lo.dosDate, entry.dosDate));
    Append32(out, Or(lo.crc32, localCrc));
    Append32(out, Or(lo.compressedSize, localCompressed));
    Append32(out, Or(lo.uncompressedSize, localUncompressed));
    Append16(out, Or(lo.nameLength, static_cast<std::uint16_t>(name.size())));
    Append16(out, Or(lo.extraLength, static_cast<std::uint16_t>(extra.size())));
    out += name;
    out += extra;

    where.dataOffsets.push_back(out.size());
    where.dataLengths.push_back(data.size());
    out += data;

    if (entry.dataDescriptor) {
      const ZipDataDescriptorFields& dd = entry.descriptor;
      if (dd.withSignature) {
        Append32(out, Or(dd.signature, std::uint32_t{0x08074b50}));
      }
      Append32(out, Or(dd.crc32, crc));
      const std::uint64_t compressed = Or(dd.compressedSize, std::uint64_t{data.size()});
      const std::uint64_t uncompressed =
          Or(dd.uncompressedSize, std::uint64_t{entry.content.size()});
      if (entry.zip64) {
        Append64(out, compressed);
        Append64(out, uncompressed);
      } else {
        Append32(out, static_cast<std::uint32_t>(compressed));
        Append32(out, static_cast<std::uint32_t>(uncompressed));
      }
    }
    written.push_back(WrittenEntry{offset, data.size(), crc});
  }

  where.centralDirectoryOffset = out.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ZipBuilderEntry& entry = entries[i];
    const WrittenEntry& w = written[i];
    const ZipCentralRecordFields& ce = entry.central;
    where.centralRecordOffsets.push_back(out.size());
    const std::uint16_t flags =
        static_cast<std::uint16_t>(entry.flags | (entry.dataDescriptor ? 0x0008 : 0));
    const std::uint16_t versionNeeded = entry.zip64 ? std::uint16_t{45} : entry.versionNeeded;
    std::uint32_t compressed = static_cast<std::uint32_t>(w.dataLength);
    std::uint32_t uncompressed = static_cast<std::uint32_t>(entry.content.size());
    std::uint32_t offset = static_cast<std::uint32_t>(w.localHeaderOffset);
    std::uint16_t disk = 0;
    std::string extra;
    if (entry.zip64) {
      const ZipZip64Extra& z = *entry.zip64;
      uncompressed = z.uncompressedSize ? kMarker32 : uncompressed;
      compressed = z.compressedSize ? kMarker32 : compressed;
      offset = z.localHeaderOffset ? kMarker32 : offset;
      disk = z.diskStart ? kMarker16 : disk;
      extra = Zip64ExtraBlock(z, true, entry.content.size(), w.dataLength, w.localHeaderOffset);
    }
    extra += entry.centralExtra;
    const std::string name = Or(ce.name, entry.name);
    extra = Or(ce.extra, extra);
    const std::string comment = Or(ce.comment, entry.comment);
    Append32(out, Or(ce.signature, std::uint32_t{0x02014b50}));
    Append16(out, Or(ce.versionMadeBy, entry.versionMadeBy));
    Append16(out, Or(ce.versionNeeded, versionNeeded));
    Append16(out, Or(ce.flags, flags));
    Append16(out, Or(ce.method, entry.method));
    Append16(out, Or(ce.dosTime, entry.dosTime));
    Append16(out, Or(ce.dosDate, entry.dosDate));
    Append32(out, Or(ce.crc32, w.crc));
    Append32(out, Or(ce.compressedSize, compressed));
    Append32(out, Or(ce.uncompressedSize, uncompressed));
    Append16(out, Or(ce.nameLength, static_cast<std::uint16_t>(name.size())));
    Append16(out, Or(ce.extraLength, static_cast<std::uint16_t>(extra.size())));
    Append16(out, Or(ce.commentLength, static_cast<std::uint16_t>(comment.size())));
    Append16(out, Or(ce.diskStart, disk));
    Append16(out, Or(ce.internalAttributes, entry.internalAttributes));
    Append32(out, Or(ce.externalAttributes, entry.externalAttributes));
    Append32(out, Or(ce.localHeaderOffset, offset));
    out += name;
    out += extra;
    out += comment;
  }
  where.centralDirectorySize = out.size() - where.centralDirectoryOffset;
  const std::uint64_t directoryOffset = where.centralDirectoryOffset - base;
  const std::uint64_t directorySize = where.centralDirectorySize;
  const std::uint64_t count = entries.size();

  if (zip64End) {
    const ZipZip64EndRecordFields& z = zip64EndRecord;
    where.zip64EndRecordOffset = out.size();
    Append32(out, Or(z.signature, std::uint32_t{0x06064b50}));
    Append64(out, Or(z.recordSize, std::uint64_t{44 + z.extensibleData.size()}));
    Append16(out, Or(z.versionMadeBy, std::uint16_t{0x032D}));
    Append16(out, Or(z.versionNeeded, std::uint16_t{45}));
    Append32(out, Or(z.diskNumber, std::uint32_t{0}));
    Append32(out, Or(z.directoryDisk, std::uint32_t{0}));
    Append64(out, Or(z.entriesOnDisk, count));
    Append64(out, Or(z.totalEntries, count));
    Append64(out, Or(z.directorySize, directorySize));
    Append64(out, Or(z.directoryOffset, directoryOffset));
    out += z.extensibleData;

    const ZipZip64LocatorFields& l = zip64Locator;
    where.zip64LocatorOffset = out.size();
    Append32(out, Or(l.signature, std::uint32_t{0x07064b50}));
    Append32(out, Or(l.zip64EndDisk, std::uint32_t{0}));
    Append64(out, Or(l.zip64EndOffset, std::uint64_t{where.zip64EndRecordOffset - base}));
    Append32(out, Or(l.totalDisks, std::uint32_t{1}));
  }

  where.endRecordOffset = out.size();
  const std::uint16_t count16 =
      zip64End ? kMarker16 : static_cast<std::uint16_t>(count > 0xFFFF ? 0xFFFF : count);
  const std::uint32_t size32 = zip64End ? kMarker32 : static_cast<std::uint32_t>(directorySize);
  const std::uint32_t offset32 = zip64End ? kMarker32 : static_cast<std::uint32_t>(directoryOffset);
  Append32(out, Or(end.signature, std::uint32_t{0x06054b50}));
  Append16(out, Or(end.diskNumber, std::uint16_t{0}));
  Append16(out, Or(end.directoryDisk, std::uint16_t{0}));
  Append16(out, Or(end.entriesOnDisk, count16));
  Append16(out, Or(end.totalEntries, count16));
  Append32(out, Or(end.directorySize, size32));
  Append32(out, Or(end.directoryOffset, offset32));
  Append16(out, Or(end.commentLength, static_cast<std::uint16_t>(comment.size())));
  out += comment;
  out += trailer;
  return out;
}

}  // namespace testing_support
