#include "zip/zip_format.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace zip {
namespace {

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leapYear = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leapYear ? 29 : kDays[month - 1];
}

std::string_view ViewAt(const unsigned char* p, std::uint64_t length) {
  return std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
}

constexpr std::uint64_t kSignatureSize = 4;

// A name, extra field or comment: its 16-bit length in the fixed part.
struct LengthOf {
  std::string_view& view;
};

template <typename Visitor, typename... Fields>
void VisitEach(Visitor& visitor, Fields&&... fields) {
  (visitor(fields), ...);
}

// Each record's fields after the signature in stored order (variable parts
// follow in their lengths' order): readers and writers walk the same list.
template <typename Visitor>
void WalkFields(LocalHeader& h, Visitor& v) {
  VisitEach(v, h.versionNeeded, h.flags, h.method, h.dosTime, h.dosDate, h.crc32, h.compressedSize,
            h.uncompressedSize, LengthOf{h.name}, LengthOf{h.extra});
}

template <typename Visitor>
void WalkFields(CentralRecord& r, Visitor& v) {
  VisitEach(v, r.versionMadeBy, r.versionNeeded, r.flags, r.method, r.dosTime, r.dosDate, r.crc32,
            r.compressedSize, r.uncompressedSize, LengthOf{r.name}, LengthOf{r.extra},
            LengthOf{r.comment}, r.diskStart, r.internalAttributes, r.externalAttributes,
            r.localHeaderOffset);
}

template <typename Visitor>
void WalkFields(EndRecord& r, Visitor& v) {
  VisitEach(v, r.diskNumber, r.directoryDisk, r.entriesOnDisk, r.entryCount, r.directorySize,
            r.directoryOffset, LengthOf{r.comment});
}

template <typename Visitor>
void WalkFields(Zip64EndRecord& r, Visitor& v) {
  VisitEach(v, r.recordSize, r.versionMadeBy, r.versionNeeded, r.diskNumber, r.directoryDisk,
            r.entriesOnDisk, r.entryCount, r.directorySize, r.directoryOffset);
}

template <typename Visitor>
void WalkFields(Zip64Locator& r, Visitor& v) {
  VisitEach(v, r.endRecordDisk, r.endRecordOffset, r.totalDisks);
}

// Loads the fixed fields; the views are set once all are known to fit.
class FieldReader {
 public:
  explicit FieldReader(const unsigned char* fields) : at_(fields) {}

  void operator()(std::uint16_t& value) { value = LoadLe16(Advance(2)); }
  void operator()(std::uint32_t& value) { value = LoadLe32(Advance(4)); }
  void operator()(std::uint64_t& value) { value = LoadLe64(Advance(8)); }
  void operator()(LengthOf length) {
    views_[count_] = &length.view;
    lengths_[count_++] = LoadLe16(Advance(2));
  }

  std::uint64_t VariableLength() const { return lengths_[0] + lengths_[1] + lengths_[2]; }

  void SetViews(const unsigned char* variable) {
    for (std::size_t i = 0; i < count_; ++i) {
      *views_[i] = ViewAt(variable, lengths_[i]);
      variable += lengths_[i];
    }
  }

 private:
  const unsigned char* Advance(std::size_t size) {
    const unsigned char* field = at_;
    at_ += size;
    return field;
  }

  const unsigned char* at_;
  std::string_view* views_[3] = {};
  std::uint64_t lengths_[3] = {};
  std::size_t count_ = 0;
};

// Appends the fixed fields, then the views' bytes.
class FieldWriter {
 public:
  explicit FieldWriter(std::string& out) : out_(out) {}

  void operator()(std::uint16_t value) { AppendLe16(out_, value); }
  void operator()(std::uint32_t value) { AppendLe32(out_, value); }
  void operator()(LengthOf length) {
    AppendLe16(out_, static_cast<std::uint16_t>(length.view.size()));
    views_[count_++] = length.view;
  }

  void AppendViews() {
    for (std::size_t i = 0; i < count_; ++i) {
      out_.append(views_[i].data(), views_[i].size());
    }
  }

 private:
  std::string& out_;
  std::string_view views_[3];
  std::size_t count_ = 0;
};

// Parses into a copy, so that a record that does not fit leaves `record`.
template <typename Record>
bool ParseRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                 std::uint64_t fixedSize, std::uint32_t signature, Record& record) {
  if (!RangeFits(offset, fixedSize, limit) || LoadLe32(data + offset) != signature) {
    return false;
  }
  Record parsed = record;
  FieldReader reader(data + offset + kSignatureSize);
  WalkFields(parsed, reader);
  if (!RangeFits(offset + fixedSize, reader.VariableLength(), limit)) {
    return false;
  }
  reader.SetViews(data + offset + fixedSize);
  record = parsed;
  return true;
}

// The walk takes a record it could change; the writer only reads the copy.
template <typename Record>
void AppendRecord(std::string& out, std::uint32_t signature, Record record) {
  AppendLe32(out, signature);
  FieldWriter writer(out);
  WalkFields(record, writer);
  writer.AppendViews();
}

}  // namespace

void AppendLe16(std::string& out, std::uint16_t value) {
  unsigned char bytes[2];
  StoreLe16(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void AppendLe32(std::string& out, std::uint32_t value) {
  unsigned char bytes[4];
  StoreLe32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void AppendLe64(std::string& out, std::uint64_t value) {
  unsigned char bytes[8];
  StoreLe64(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

DosStamp DosStampFromCivil(const CivilTime& civil) {
  CivilTime c = civil;
  if (c.year < 1980) {
    c = CivilTime{1980, 1, 1, 0, 0, 0};
  } else if (c.year > 2107) {
    c = CivilTime{2107, 12, 31, 23, 59, 58};
  }
  c.month = std::clamp(c.month, 1, 12);
  c.day = std::clamp(c.day, 1, DaysInMonth(c.year, c.month));
  c.hour = std::clamp(c.hour, 0, 23);
  c.minute = std::clamp(c.minute, 0, 59);
  // A leap second (60) still has to fit the 0..58 range of two-second steps.
  c.second = std::clamp(c.second, 0, 59);
  return DosStamp{static_cast<std::uint16_t>(((c.year - 1980) << 9) | (c.month << 5) | c.day),
                  static_cast<std::uint16_t>((c.hour << 11) | (c.minute << 5) | (c.second / 2))};
}

CivilTime CivilFromDosStamp(DosStamp stamp) {
  return CivilTime{1980 + (stamp.date >> 9), (stamp.date >> 5) & 0x0F, stamp.date & 0x1F,
                   stamp.time >> 11,         (stamp.time >> 5) & 0x3F, (stamp.time & 0x1F) * 2};
}

bool IsValidDosStamp(DosStamp stamp) {
  const CivilTime c = CivilFromDosStamp(stamp);
  return c.month >= 1 && c.month <= 12 && c.day >= 1 && c.day <= DaysInMonth(c.year, c.month) &&
         c.hour < 24 && c.minute < 60 && c.second < 60;
}

std::uint64_t RecordLength(const LocalHeader& header) {
  return kLocalHeaderSize + header.name.size() + header.extra.size();
}

std::uint64_t RecordLength(const CentralRecord& record) {
  return kCentralRecordSize + record.name.size() + record.extra.size() + record.comment.size();
}

std::uint64_t RecordLength(const EndRecord& record) {
  return kEndRecordSize + record.comment.size();
}

bool ParseLocalHeader(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                      LocalHeader& header) {
  return ParseRecord(data, limit, offset, kLocalHeaderSize, kLocalHeaderSignature, header);
}

bool ParseCentralRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                        CentralRecord& record) {
  return ParseRecord(data, limit, offset, kCentralRecordSize, kCentralRecordSignature, record);
}

bool ParseEndRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                    EndRecord& record) {
  return ParseRecord(data, limit, offset, kEndRecordSize, kEndRecordSignature, record);
}

bool ParseZip64EndRecord(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                         Zip64EndRecord& record) {
  Zip64EndRecord parsed;
  if (!ParseRecord(data, limit, offset, kZip64EndRecordSize, kZip64EndRecordSignature, parsed)) {
    return false;
  }
  if (parsed.recordSize < kZip64EndRecordSize - kZip64EndRecordLeadSize ||
      !RangeFits(offset + kZip64EndRecordLeadSize, parsed.recordSize, limit)) {
    return false;
  }
  parsed.extensibleData = ViewAt(data + offset + kZip64EndRecordSize,
                                 parsed.recordSize + kZip64EndRecordLeadSize - kZip64EndRecordSize);
  record = parsed;
  return true;
}

bool ParseZip64Locator(const unsigned char* data, std::uint64_t limit, std::uint64_t offset,
                       Zip64Locator& locator) {
  return ParseRecord(data, limit, offset, kZip64LocatorSize, kZip64LocatorSignature, locator);
}

void AppendLocalHeader(std::string& out, const LocalHeader& header) {
  AppendRecord(out, kLocalHeaderSignature, header);
}

void AppendCentralRecord(std::string& out, const CentralRecord& record) {
  AppendRecord(out, kCentralRecordSignature, record);
}

void AppendEndRecord(std::string& out, const EndRecord& record) {
  AppendRecord(out, kEndRecordSignature, record);
}

bool FindExtraField(std::string_view extra, std::uint16_t id, std::string_view& body) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(extra.data());
  std::uint64_t pos = 0;
  while (extra.size() - pos >= kExtraHeaderSize) {
    const std::uint16_t fieldId = LoadLe16(bytes + pos);
    const std::uint64_t length = LoadLe16(bytes + pos + 2);
    const std::uint64_t start = pos + kExtraHeaderSize;
    if (length > extra.size() - start) {
      return false;
    }
    if (fieldId == id) {
      body = extra.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
      return true;
    }
    pos = start + length;
  }
  return false;
}

void AppendExtraFieldHeader(std::string& out, std::uint16_t id, std::uint16_t dataLength) {
  AppendLe16(out, id);
  AppendLe16(out, dataLength);
}

bool ResolveZip64(const CentralRecord& record, EntryLocation& location) {
  location = EntryLocation{record.compressedSize, record.uncompressedSize, record.localHeaderOffset,
                           record.diskStart};
  std::string_view body;
  bool found = false;
  std::size_t used = 0;
  // Replaces a `marked` value by the Zip64 field's next one of its width.
  auto resolve = [&](auto& value, bool marked) {
    using Value = std::remove_reference_t<decltype(value)>;
    if (!marked) {
      return true;
    }
    found = found || FindExtraField(record.extra, kExtraIdZip64, body);
    if (!found || body.size() - used < sizeof(Value)) {
      return false;
    }
    const auto* at = reinterpret_cast<const unsigned char*>(body.data()) + used;
    value = static_cast<Value>(sizeof(Value) == 8 ? LoadLe64(at) : LoadLe32(at));
    used += sizeof(Value);
    return true;
  };
  return resolve(location.uncompressedSize, record.uncompressedSize == kMarker32) &&
         resolve(location.compressedSize, record.compressedSize == kMarker32) &&
         resolve(location.localHeaderOffset, record.localHeaderOffset == kMarker32) &&
         resolve(location.diskStart, record.diskStart == kMarker16);
}

bool ParsePieceIndex(std::string_view body, PieceIndex& index) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
  // The count in 64 bits: near 2^32 it cannot wrap the expected size.
  if (body.size() < kPieceIndexFixedSize || bytes[0] != kPieceIndexVersion ||
      body.size() - kPieceIndexFixedSize != 4 * std::uint64_t{LoadLe32(bytes + 5)}) {
    return false;
  }
  std::vector<std::uint32_t> lengths((body.size() - kPieceIndexFixedSize) / 4);
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    lengths[i] = LoadLe32(bytes + kPieceIndexFixedSize + 4 * i);
  }
  index.pieceSize = LoadLe32(bytes + 1);
  index.compressedLengths = std::move(lengths);
  return true;
}

bool AppendPieceIndex(std::string& out, const PieceIndex& index) {
  const std::uint64_t count = index.compressedLengths.size();
  const std::uint64_t dataLength = kPieceIndexFixedSize + 4 * count;
  if (count > kMaxIndexedPieces ||
      !RangeFits(out.size(), kExtraHeaderSize + dataLength, kMaxFieldLength)) {
    return false;
  }
  AppendExtraFieldHeader(out, kExtraIdPieceIndex, static_cast<std::uint16_t>(dataLength));
  out.push_back(static_cast<char>(kPieceIndexVersion));
  AppendLe32(out, index.pieceSize);
  AppendLe32(out, static_cast<std::uint32_t>(count));
  for (const std::uint32_t length : index.compressedLengths) {
    AppendLe32(out, length);
  }
  return true;
}

}  // namespace zip
