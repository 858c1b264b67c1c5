#include "zip/zip_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "testing/zip_test_records.h"

namespace {

const unsigned char* Bytes(const std::string& block) {
  return reinterpret_cast<const unsigned char*>(block.data());
}

// True when `view` lies inside `block` at `offset`: a parsed view must point
// into the parsed bytes, not at a copy.
bool ViewsBlockAt(std::string_view view, const std::string& block, std::size_t offset) {
  return view.data() == block.data() + offset;
}

// ---------------------------------------------------------------------------
// Little-endian values and ranges

TEST(ZipFormatLittleEndian, StoresAndLoadsExtremeValues) {
  for (const std::uint16_t value : {std::uint16_t{0}, std::uint16_t{1}, std::uint16_t{0x00FF},
                                    std::uint16_t{0x8000}, std::uint16_t{0xFFFF}}) {
    unsigned char bytes[2];
    zip::StoreLe16(bytes, value);
    EXPECT_EQ(zip::LoadLe16(bytes), value);
  }
  for (const std::uint32_t value : {0u, 1u, 0x000000FFu, 0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    unsigned char bytes[4];
    zip::StoreLe32(bytes, value);
    EXPECT_EQ(zip::LoadLe32(bytes), value);
  }
  for (const std::uint64_t value :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0xFFFFFFFFu}, std::uint64_t{1} << 32,
        std::uint64_t{1} << 63, std::numeric_limits<std::uint64_t>::max()}) {
    unsigned char bytes[8];
    zip::StoreLe64(bytes, value);
    EXPECT_EQ(zip::LoadLe64(bytes), value);
  }
}

TEST(ZipFormatLittleEndian, PutsTheLeastSignificantByteFirst) {
  std::string out;
  zip::AppendLe16(out, 0x0102);
  zip::AppendLe32(out, 0x03040506u);
  zip::AppendLe64(out, 0x0708090A0B0C0D0Eull);
  EXPECT_EQ(out, std::string("\x02\x01"
                             "\x06\x05\x04\x03"
                             "\x0E\x0D\x0C\x0B\x0A\x09\x08\x07",
                             14));
  unsigned char stored[8];
  zip::StoreLe64(stored, 0x0708090A0B0C0D0Eull);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored), 8), out.substr(6));
  // High bytes with the top bit set load without sign extension.
  const unsigned char high[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80};
  EXPECT_EQ(zip::LoadLe16(high), 0xFFFFu);
  EXPECT_EQ(zip::LoadLe32(high), 0xFFFFFFFFu);
  EXPECT_EQ(zip::LoadLe64(high), 0x80FFFFFFFFFFFFFFull);
}

TEST(ZipFormatLittleEndian, RangeFitsAtTheEdgesWithoutWrapping) {
  EXPECT_TRUE(zip::RangeFits(0, 10, 10));
  EXPECT_FALSE(zip::RangeFits(0, 11, 10));
  EXPECT_TRUE(zip::RangeFits(10, 0, 10));
  EXPECT_FALSE(zip::RangeFits(11, 0, 10));
  EXPECT_TRUE(zip::RangeFits(4, 6, 10));
  EXPECT_FALSE(zip::RangeFits(4, 7, 10));
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  // offset + length would wrap to a small number.
  EXPECT_FALSE(zip::RangeFits(2, max, 10));
  EXPECT_FALSE(zip::RangeFits(max, 2, 10));
  EXPECT_TRUE(zip::RangeFits(max - 1, 1, max));
  EXPECT_FALSE(zip::RangeFits(max - 1, 2, max));
}

// ---------------------------------------------------------------------------
// Records: round trips

zip::LocalHeader SampleLocalHeader() {
  zip::LocalHeader header;
  header.versionNeeded = 0x0102;
  header.flags = 0x0304;
  header.method = 0x0506;
  header.dosTime = 0x0708;
  header.dosDate = 0x090A;
  header.crc32 = 0x0B0C0D0Eu;
  header.compressedSize = 0x10111213u;
  header.uncompressedSize = 0x14151617u;
  header.name = "dir/name.txt";
  header.extra = std::string_view("\x01\x00\x02\x00zz", 6);
  return header;
}

zip::CentralRecord SampleCentralRecord() {
  zip::CentralRecord record;
  record.versionMadeBy = 0x0102;
  record.versionNeeded = 0x0304;
  record.flags = 0x0506;
  record.method = 0x0708;
  record.dosTime = 0x090A;
  record.dosDate = 0x0B0C;
  record.crc32 = 0x0D0E0F10u;
  record.compressedSize = 0x11121314u;
  record.uncompressedSize = 0x15161718u;
  record.diskStart = 0x191A;
  record.internalAttributes = 0x1B1C;
  record.externalAttributes = 0x1D1E1F20u;
  record.localHeaderOffset = 0x21222324u;
  record.name = "central name";
  record.extra = "EXTRA";
  record.comment = "a comment";
  return record;
}

zip::EndRecord SampleEndRecord() {
  zip::EndRecord record;
  record.diskNumber = 0x0102;
  record.directoryDisk = 0x0304;
  record.entriesOnDisk = 0x0506;
  record.entryCount = 0x0708;
  record.directorySize = 0x090A0B0Cu;
  record.directoryOffset = 0x0D0E0F10u;
  record.comment = "archive comment";
  return record;
}

zip::Zip64EndRecord SampleZip64EndRecord() {
  zip::Zip64EndRecord record;
  record.extensibleData = "extensible";
  record.recordSize =
      zip::kZip64EndRecordSize - zip::kZip64EndRecordLeadSize + record.extensibleData.size();
  record.versionMadeBy = 0x0102;
  record.versionNeeded = 0x0304;
  record.diskNumber = 0x05060708u;
  record.directoryDisk = 0x090A0B0Cu;
  record.entriesOnDisk = 0x1112131415161718ull;
  record.entryCount = 0x2122232425262728ull;
  record.directorySize = 0x3132333435363738ull;
  record.directoryOffset = 0x4142434445464748ull;
  return record;
}

TEST(ZipFormatRecords, LocalHeaderRoundTrips) {
  const zip::LocalHeader written = SampleLocalHeader();
  const std::string prefix = "xyz";
  std::string block = prefix;
  zip::AppendLocalHeader(block, written);
  ASSERT_EQ(block.size(), prefix.size() + zip::RecordLength(written));
  EXPECT_EQ(zip::LoadLe32(Bytes(block) + prefix.size()), zip::kLocalHeaderSignature);

  zip::LocalHeader read;
  ASSERT_TRUE(zip::ParseLocalHeader(Bytes(block), block.size(), prefix.size(), read));
  EXPECT_EQ(read.versionNeeded, written.versionNeeded);
  EXPECT_EQ(read.flags, written.flags);
  EXPECT_EQ(read.method, written.method);
  EXPECT_EQ(read.dosTime, written.dosTime);
  EXPECT_EQ(read.dosDate, written.dosDate);
  EXPECT_EQ(read.crc32, written.crc32);
  EXPECT_EQ(read.compressedSize, written.compressedSize);
  EXPECT_EQ(read.uncompressedSize, written.uncompressedSize);
  EXPECT_EQ(read.name, written.name);
  EXPECT_EQ(read.extra, written.extra);
  const std::size_t variable = prefix.size() + zip::kLocalHeaderSize;
  EXPECT_TRUE(ViewsBlockAt(read.name, block, variable));
  EXPECT_TRUE(ViewsBlockAt(read.extra, block, variable + written.name.size()));
}

TEST(ZipFormatRecords, CentralRecordRoundTrips) {
  const zip::CentralRecord written = SampleCentralRecord();
  std::string block = "ab";
  zip::AppendCentralRecord(block, written);
  ASSERT_EQ(block.size(), 2 + zip::RecordLength(written));
  EXPECT_EQ(zip::LoadLe32(Bytes(block) + 2), zip::kCentralRecordSignature);

  zip::CentralRecord read;
  ASSERT_TRUE(zip::ParseCentralRecord(Bytes(block), block.size(), 2, read));
  EXPECT_EQ(read.versionMadeBy, written.versionMadeBy);
  EXPECT_EQ(read.versionNeeded, written.versionNeeded);
  EXPECT_EQ(read.flags, written.flags);
  EXPECT_EQ(read.method, written.method);
  EXPECT_EQ(read.dosTime, written.dosTime);
  EXPECT_EQ(read.dosDate, written.dosDate);
  EXPECT_EQ(read.crc32, written.crc32);
  EXPECT_EQ(read.compressedSize, written.compressedSize);
  EXPECT_EQ(read.uncompressedSize, written.uncompressedSize);
  EXPECT_EQ(read.diskStart, written.diskStart);
  EXPECT_EQ(read.internalAttributes, written.internalAttributes);
  EXPECT_EQ(read.externalAttributes, written.externalAttributes);
  EXPECT_EQ(read.localHeaderOffset, written.localHeaderOffset);
  EXPECT_EQ(read.name, written.name);
  EXPECT_EQ(read.extra, written.extra);
  EXPECT_EQ(read.comment, written.comment);
  const std::size_t variable = 2 + zip::kCentralRecordSize;
  EXPECT_TRUE(ViewsBlockAt(read.name, block, variable));
  EXPECT_TRUE(ViewsBlockAt(read.extra, block, variable + written.name.size()));
  EXPECT_TRUE(
      ViewsBlockAt(read.comment, block, variable + written.name.size() + written.extra.size()));
}

TEST(ZipFormatRecords, EndRecordRoundTrips) {
  const zip::EndRecord written = SampleEndRecord();
  std::string block = "data in front";
  const std::size_t offset = block.size();
  zip::AppendEndRecord(block, written);
  ASSERT_EQ(block.size(), offset + zip::RecordLength(written));
  EXPECT_EQ(zip::LoadLe32(Bytes(block) + offset), zip::kEndRecordSignature);

  zip::EndRecord read;
  ASSERT_TRUE(zip::ParseEndRecord(Bytes(block), block.size(), offset, read));
  EXPECT_EQ(read.diskNumber, written.diskNumber);
  EXPECT_EQ(read.directoryDisk, written.directoryDisk);
  EXPECT_EQ(read.entriesOnDisk, written.entriesOnDisk);
  EXPECT_EQ(read.entryCount, written.entryCount);
  EXPECT_EQ(read.directorySize, written.directorySize);
  EXPECT_EQ(read.directoryOffset, written.directoryOffset);
  EXPECT_EQ(read.comment, written.comment);
  EXPECT_TRUE(ViewsBlockAt(read.comment, block, offset + zip::kEndRecordSize));
}

TEST(ZipFormatRecords, Zip64EndRecordRoundTrips) {
  const zip::Zip64EndRecord written = SampleZip64EndRecord();
  std::string block = "#";
  testing_support::AppendZip64EndRecord(block, written);
  ASSERT_EQ(block.size(), 1 + zip::kZip64EndRecordSize + written.extensibleData.size());
  EXPECT_EQ(zip::LoadLe32(Bytes(block) + 1), zip::kZip64EndRecordSignature);

  zip::Zip64EndRecord read;
  ASSERT_TRUE(zip::ParseZip64EndRecord(Bytes(block), block.size(), 1, read));
  EXPECT_EQ(read.recordSize, written.recordSize);
  EXPECT_EQ(read.versionMadeBy, written.versionMadeBy);
  EXPECT_EQ(read.versionNeeded, written.versionNeeded);
  EXPECT_EQ(read.diskNumber, written.diskNumber);
  EXPECT_EQ(read.directoryDisk, written.directoryDisk);
  EXPECT_EQ(read.entriesOnDisk, written.entriesOnDisk);
  EXPECT_EQ(read.entryCount, written.entryCount);
  EXPECT_EQ(read.directorySize, written.directorySize);
  EXPECT_EQ(read.directoryOffset, written.directoryOffset);
  EXPECT_EQ(read.extensibleData, written.extensibleData);
  EXPECT_TRUE(ViewsBlockAt(read.extensibleData, block, 1 + zip::kZip64EndRecordSize));
}

TEST(ZipFormatRecords, Zip64LocatorRoundTrips) {
  zip::Zip64Locator written;
  written.endRecordDisk = 0x01020304u;
  written.endRecordOffset = 0x1112131415161718ull;
  written.totalDisks = 0x21222324u;
  std::string block = "..";
  testing_support::AppendZip64Locator(block, written);
  ASSERT_EQ(block.size(), 2 + zip::kZip64LocatorSize);
  EXPECT_EQ(zip::LoadLe32(Bytes(block) + 2), zip::kZip64LocatorSignature);

  zip::Zip64Locator read;
  ASSERT_TRUE(zip::ParseZip64Locator(Bytes(block), block.size(), 2, read));
  EXPECT_EQ(read.endRecordDisk, written.endRecordDisk);
  EXPECT_EQ(read.endRecordOffset, written.endRecordOffset);
  EXPECT_EQ(read.totalDisks, written.totalDisks);
}

TEST(ZipFormatRecords, FieldsLieAtTheirNamedOffsets) {
  std::string local;
  zip::AppendLocalHeader(local, SampleLocalHeader());
  EXPECT_EQ(zip::LoadLe32(Bytes(local) + zip::local_header_field::kCrc32), 0x0B0C0D0Eu);
  EXPECT_EQ(zip::LoadLe16(Bytes(local) + zip::local_header_field::kExtraLength), 6u);

  std::string central;
  zip::AppendCentralRecord(central, SampleCentralRecord());
  EXPECT_EQ(zip::LoadLe16(Bytes(central) + zip::central_record_field::kDiskStart), 0x191Au);
  EXPECT_EQ(zip::LoadLe32(Bytes(central) + zip::central_record_field::kLocalHeaderOffset),
            0x21222324u);
  EXPECT_EQ(zip::LoadLe16(Bytes(central) + zip::central_record_field::kCommentLength), 9u);

  std::string end;
  zip::AppendEndRecord(end, SampleEndRecord());
  EXPECT_EQ(zip::LoadLe32(Bytes(end) + zip::end_record_field::kDirectoryOffset), 0x0D0E0F10u);

  std::string zip64End;
  testing_support::AppendZip64EndRecord(zip64End, SampleZip64EndRecord());
  EXPECT_EQ(zip::LoadLe64(Bytes(zip64End) + zip::zip64_end_record_field::kEntryCount),
            0x2122232425262728ull);

  zip::Zip64Locator locator;
  locator.endRecordOffset = 0x55;
  std::string locatorBytes;
  testing_support::AppendZip64Locator(locatorBytes, locator);
  EXPECT_EQ(zip::LoadLe64(Bytes(locatorBytes) + zip::zip64_locator_field::kEndRecordOffset), 0x55u);
}

// ---------------------------------------------------------------------------
// Records: what parsing refuses

// `parse` accepts the record of `length` bytes at `offset` in `block` exactly
// when the limit reaches its last byte, and refuses offsets past the limit.
template <typename Record, typename Parse>
void ExpectFitsExactly(const std::string& block, std::size_t offset, std::uint64_t length,
                       Parse parse) {
  Record record;
  EXPECT_TRUE(parse(Bytes(block), offset + length, offset, record)) << "limit at the end";
  EXPECT_TRUE(parse(Bytes(block), block.size(), offset, record)) << "whole block";
  EXPECT_FALSE(parse(Bytes(block), offset + length - 1, offset, record)) << "one byte short";
  EXPECT_FALSE(parse(Bytes(block), offset, offset, record)) << "limit at the start";
  EXPECT_FALSE(parse(Bytes(block), 0, offset, record)) << "limit 0";
  EXPECT_FALSE(parse(Bytes(block), block.size(), block.size(), record)) << "offset at the end";
  EXPECT_FALSE(parse(Bytes(block), block.size(), std::numeric_limits<std::uint64_t>::max(), record))
      << "offset far past the end";
}

TEST(ZipFormatParse, LocalHeaderMustFitTheLimit) {
  // Without variable parts the fixed part alone decides.
  std::string fixedOnly = "??";
  zip::AppendLocalHeader(fixedOnly, zip::LocalHeader());
  fixedOnly += "after";
  ExpectFitsExactly<zip::LocalHeader>(fixedOnly, 2, zip::kLocalHeaderSize, zip::ParseLocalHeader);
  // With a name and an extra field, the limit must reach past both.
  std::string full = "??";
  zip::AppendLocalHeader(full, SampleLocalHeader());
  full += "after";
  ExpectFitsExactly<zip::LocalHeader>(full, 2, zip::RecordLength(SampleLocalHeader()),
                                      zip::ParseLocalHeader);
}

TEST(ZipFormatParse, CentralRecordMustFitTheLimit) {
  std::string fixedOnly = "?";
  zip::AppendCentralRecord(fixedOnly, zip::CentralRecord());
  fixedOnly += "after";
  ExpectFitsExactly<zip::CentralRecord>(fixedOnly, 1, zip::kCentralRecordSize,
                                        zip::ParseCentralRecord);
  std::string full = "?";
  zip::AppendCentralRecord(full, SampleCentralRecord());
  full += "after";
  ExpectFitsExactly<zip::CentralRecord>(full, 1, zip::RecordLength(SampleCentralRecord()),
                                        zip::ParseCentralRecord);
  // The comment alone running one byte past the limit is enough to refuse.
  zip::CentralRecord record;
  EXPECT_FALSE(zip::ParseCentralRecord(
      Bytes(full), 1 + zip::RecordLength(SampleCentralRecord()) - 1, 1, record));
}

TEST(ZipFormatParse, EndRecordMustFitTheLimit) {
  std::string fixedOnly;
  zip::AppendEndRecord(fixedOnly, zip::EndRecord());
  fixedOnly += "after";
  ExpectFitsExactly<zip::EndRecord>(fixedOnly, 0, zip::kEndRecordSize, zip::ParseEndRecord);
  std::string full = "in front";
  zip::AppendEndRecord(full, SampleEndRecord());
  full += "after";
  ExpectFitsExactly<zip::EndRecord>(full, 8, zip::RecordLength(SampleEndRecord()),
                                    zip::ParseEndRecord);
}

TEST(ZipFormatParse, Zip64RecordsMustFitTheLimit) {
  zip::Zip64EndRecord bare = SampleZip64EndRecord();
  bare.extensibleData = std::string_view();
  bare.recordSize = zip::kZip64EndRecordSize - zip::kZip64EndRecordLeadSize;
  std::string fixedOnly = "...";
  testing_support::AppendZip64EndRecord(fixedOnly, bare);
  fixedOnly += "after";
  ExpectFitsExactly<zip::Zip64EndRecord>(fixedOnly, 3, zip::kZip64EndRecordSize,
                                         zip::ParseZip64EndRecord);
  std::string full = "...";
  testing_support::AppendZip64EndRecord(full, SampleZip64EndRecord());
  full += "after";
  ExpectFitsExactly<zip::Zip64EndRecord>(
      full, 3, zip::kZip64EndRecordSize + SampleZip64EndRecord().extensibleData.size(),
      zip::ParseZip64EndRecord);

  std::string locator = "....";
  testing_support::AppendZip64Locator(locator, zip::Zip64Locator());
  locator += "after";
  ExpectFitsExactly<zip::Zip64Locator>(locator, 4, zip::kZip64LocatorSize, zip::ParseZip64Locator);
}

TEST(ZipFormatParse, RefusesAWrongSignatureAndLeavesTheRecordAsItWas) {
  std::string local;
  zip::AppendLocalHeader(local, SampleLocalHeader());
  std::string central;
  zip::AppendCentralRecord(central, SampleCentralRecord());
  std::string end;
  zip::AppendEndRecord(end, SampleEndRecord());
  std::string zip64End;
  testing_support::AppendZip64EndRecord(zip64End, SampleZip64EndRecord());
  std::string locator;
  testing_support::AppendZip64Locator(locator, zip::Zip64Locator());
  // Each signature one off.
  for (std::string* block : {&local, &central, &end, &zip64End, &locator}) {
    zip::StoreLe32(reinterpret_cast<unsigned char*>(&(*block)[0]),
                   zip::LoadLe32(Bytes(*block)) + 1);
  }
  zip::LocalHeader localRecord;
  localRecord.method = 77;
  EXPECT_FALSE(zip::ParseLocalHeader(Bytes(local), local.size(), 0, localRecord));
  EXPECT_EQ(localRecord.method, 77);
  zip::CentralRecord centralRecord;
  centralRecord.method = 77;
  EXPECT_FALSE(zip::ParseCentralRecord(Bytes(central), central.size(), 0, centralRecord));
  EXPECT_EQ(centralRecord.method, 77);
  zip::EndRecord endRecord;
  endRecord.entryCount = 77;
  EXPECT_FALSE(zip::ParseEndRecord(Bytes(end), end.size(), 0, endRecord));
  EXPECT_EQ(endRecord.entryCount, 77);
  zip::Zip64EndRecord zip64EndRecord;
  zip64EndRecord.entryCount = 77;
  EXPECT_FALSE(zip::ParseZip64EndRecord(Bytes(zip64End), zip64End.size(), 0, zip64EndRecord));
  EXPECT_EQ(zip64EndRecord.entryCount, 77u);
  zip::Zip64Locator locatorRecord;
  locatorRecord.totalDisks = 77;
  EXPECT_FALSE(zip::ParseZip64Locator(Bytes(locator), locator.size(), 0, locatorRecord));
  EXPECT_EQ(locatorRecord.totalDisks, 77u);

  // A central record is not a local header, nor the other way round.
  std::string goodCentral;
  zip::AppendCentralRecord(goodCentral, SampleCentralRecord());
  EXPECT_FALSE(zip::ParseLocalHeader(Bytes(goodCentral), goodCentral.size(), 0, localRecord));
  std::string goodLocal;
  zip::AppendLocalHeader(goodLocal, SampleLocalHeader());
  goodLocal.append(64, '\0');
  EXPECT_FALSE(zip::ParseCentralRecord(Bytes(goodLocal), goodLocal.size(), 0, centralRecord));
}

// A Zip64 end record whose size field says `recordSize`, followed by `tail`
// bytes (the block ends there).
std::string Zip64EndRecordWithSize(std::uint64_t recordSize, std::size_t tail) {
  zip::Zip64EndRecord record = SampleZip64EndRecord();
  record.extensibleData = std::string_view();
  record.recordSize = recordSize;
  std::string block;
  testing_support::AppendZip64EndRecord(block, record);
  block.append(tail, 'x');
  return block;
}

TEST(ZipFormatParse, Zip64EndRecordSizeCoversAtLeastTheFixedFields) {
  const std::uint64_t fixedFields = zip::kZip64EndRecordSize - zip::kZip64EndRecordLeadSize;
  ASSERT_EQ(fixedFields, 44u);
  zip::Zip64EndRecord record;
  const std::string exact = Zip64EndRecordWithSize(44, 0);
  ASSERT_TRUE(zip::ParseZip64EndRecord(Bytes(exact), exact.size(), 0, record));
  EXPECT_TRUE(record.extensibleData.empty());
  for (const std::uint64_t tooSmall : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{43}}) {
    const std::string block = Zip64EndRecordWithSize(tooSmall, 0);
    EXPECT_FALSE(zip::ParseZip64EndRecord(Bytes(block), block.size(), 0, record)) << tooSmall;
  }
}

TEST(ZipFormatParse, Zip64EndRecordSizeMustStayWithinTheLimit) {
  zip::Zip64EndRecord record;
  // Five bytes of extensible data, exactly up to the limit.
  const std::string block = Zip64EndRecordWithSize(44 + 5, 5);
  ASSERT_TRUE(zip::ParseZip64EndRecord(Bytes(block), block.size(), 0, record));
  EXPECT_EQ(record.extensibleData, "xxxxx");
  EXPECT_TRUE(ViewsBlockAt(record.extensibleData, block, zip::kZip64EndRecordSize));
  // One byte more than the block holds.
  const std::string over = Zip64EndRecordWithSize(44 + 6, 5);
  EXPECT_FALSE(zip::ParseZip64EndRecord(Bytes(over), over.size(), 0, record));
  // The same record with the limit one byte short of its data.
  EXPECT_FALSE(zip::ParseZip64EndRecord(Bytes(block), block.size() - 1, 0, record));
}

TEST(ZipFormatParse, Zip64EndRecordSizeNearTwoToThe64DoesNotWrap) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  zip::Zip64EndRecord record;
  // Sizes that, plus the 12 leading bytes or plus the offset, wrap to a small
  // number that would seem to fit.
  for (const std::uint64_t huge : {max, max - 11, max - 12, max - 55, std::uint64_t{1} << 63}) {
    const std::string block = Zip64EndRecordWithSize(huge, 100);
    EXPECT_FALSE(zip::ParseZip64EndRecord(Bytes(block), block.size(), 0, record)) << huge;
  }
}

// ---------------------------------------------------------------------------
// Extra fields

std::string ExtraField(std::uint16_t id, const std::string& body) {
  std::string out;
  zip::AppendExtraFieldHeader(out, id, static_cast<std::uint16_t>(body.size()));
  return out + body;
}

TEST(ZipFormatExtraFields, FindsAFieldThatIsNotFirst) {
  const std::string extra = ExtraField(0x5455, "timestamp") +
                            ExtraField(zip::kExtraIdZip64, "8bytes!!") + ExtraField(0x7875, "unix");
  std::string_view body;
  ASSERT_TRUE(zip::FindExtraField(extra, zip::kExtraIdZip64, body));
  EXPECT_EQ(body, "8bytes!!");
  EXPECT_EQ(body.data(), extra.data() + zip::kExtraHeaderSize + 9 + zip::kExtraHeaderSize);
  ASSERT_TRUE(zip::FindExtraField(extra, 0x7875, body));
  EXPECT_EQ(body, "unix");
  ASSERT_TRUE(zip::FindExtraField(extra, 0x5455, body));
  EXPECT_EQ(body, "timestamp");
}

TEST(ZipFormatExtraFields, FindsAnEmptyFieldAndTheFirstOfTwo) {
  const std::string extra =
      ExtraField(0x0101, "") + ExtraField(0x0202, "first") + ExtraField(0x0202, "second");
  std::string_view body = "unchanged";
  ASSERT_TRUE(zip::FindExtraField(extra, 0x0101, body));
  EXPECT_TRUE(body.empty());
  ASSERT_TRUE(zip::FindExtraField(extra, 0x0202, body));
  EXPECT_EQ(body, "first");
}

TEST(ZipFormatExtraFields, APaddedTailHoldsNoField) {
  const std::string field = ExtraField(testing_support::kExtraIdNtfs, "body");
  std::string_view body = "unchanged";
  // Padding shorter than a field header, after a real field.
  for (const std::size_t padding : {1u, 2u, 3u}) {
    const std::string extra = field + std::string(padding, '\0');
    ASSERT_TRUE(zip::FindExtraField(extra, testing_support::kExtraIdNtfs, body)) << padding;
    EXPECT_EQ(body, "body");
    body = "unchanged";
    EXPECT_FALSE(zip::FindExtraField(extra, 0x0000, body)) << padding;
    EXPECT_EQ(body, "unchanged");
  }
  // Four zero bytes read as an empty field with ID 0; it is found as such.
  const std::string zeros = field + std::string(4, '\0');
  ASSERT_TRUE(zip::FindExtraField(zeros, 0x0000, body));
  EXPECT_TRUE(body.empty());
}

TEST(ZipFormatExtraFields, AHeaderRunningPastTheEndEndsTheWalk) {
  // The second header claims one byte more than is left.
  std::string extra = ExtraField(0x0101, "abc");
  zip::AppendExtraFieldHeader(extra, zip::kExtraIdZip64, 9);
  extra += "12345678";
  std::string_view body = "unchanged";
  EXPECT_FALSE(zip::FindExtraField(extra, zip::kExtraIdZip64, body));
  EXPECT_EQ(body, "unchanged");
  // The field before it is still found.
  ASSERT_TRUE(zip::FindExtraField(extra, 0x0101, body));
  EXPECT_EQ(body, "abc");
  // Exactly long enough is a field.
  extra.push_back('9');
  ASSERT_TRUE(zip::FindExtraField(extra, zip::kExtraIdZip64, body));
  EXPECT_EQ(body, "123456789");
  // Nothing at all, or a lone header fragment.
  EXPECT_FALSE(zip::FindExtraField(std::string_view(), 0x0101, body));
  EXPECT_FALSE(zip::FindExtraField(std::string_view("\x01\x01\x00", 3), 0x0101, body));
}

// A central record with the markers chosen by the bits of `marks` (1: the
// uncompressed size, 2: compressed size, 4: offset, 8: disk), its other
// fields holding small values.
zip::CentralRecord MarkedRecord(unsigned marks) {
  zip::CentralRecord record;
  record.uncompressedSize = (marks & 1) != 0 ? zip::kMarker32 : 11;
  record.compressedSize = (marks & 2) != 0 ? zip::kMarker32 : 22;
  record.localHeaderOffset = (marks & 4) != 0 ? zip::kMarker32 : 33;
  record.diskStart = (marks & 8) != 0 ? zip::kMarker16 : 0;
  return record;
}

constexpr std::uint64_t kBigUncompressed = 0x1000000000000001ull;
constexpr std::uint64_t kBigCompressed = 0x2000000000000002ull;
constexpr std::uint64_t kBigOffset = 0x3000000000000003ull;
constexpr std::uint32_t kBigDisk = 0x40000004u;

// The Zip64 field's data for `marks`, in the format's order.
std::string Zip64Body(unsigned marks) {
  std::string body;
  if ((marks & 1) != 0) {
    zip::AppendLe64(body, kBigUncompressed);
  }
  if ((marks & 2) != 0) {
    zip::AppendLe64(body, kBigCompressed);
  }
  if ((marks & 4) != 0) {
    zip::AppendLe64(body, kBigOffset);
  }
  if ((marks & 8) != 0) {
    zip::AppendLe32(body, kBigDisk);
  }
  return body;
}

TEST(ZipFormatZip64, ResolvesEachCombinationOfMarkersInTheFixedOrder) {
  for (unsigned marks = 0; marks < 16; ++marks) {
    zip::CentralRecord record = MarkedRecord(marks);
    const std::string extra =
        ExtraField(0x5455, "ts") + ExtraField(zip::kExtraIdZip64, Zip64Body(marks));
    record.extra = extra;
    zip::EntryLocation location;
    ASSERT_TRUE(zip::ResolveZip64(record, location)) << marks;
    EXPECT_EQ(location.uncompressedSize, (marks & 1) != 0 ? kBigUncompressed : 11u) << marks;
    EXPECT_EQ(location.compressedSize, (marks & 2) != 0 ? kBigCompressed : 22u) << marks;
    EXPECT_EQ(location.localHeaderOffset, (marks & 4) != 0 ? kBigOffset : 33u) << marks;
    EXPECT_EQ(location.diskStart, (marks & 8) != 0 ? kBigDisk : 0u) << marks;
  }
}

TEST(ZipFormatZip64, RefusesAFieldTooShortForTheMarkedValues) {
  for (unsigned marks = 1; marks < 16; ++marks) {
    std::string body = Zip64Body(marks);
    body.pop_back();
    const std::string extra = ExtraField(zip::kExtraIdZip64, body);
    zip::CentralRecord record = MarkedRecord(marks);
    record.extra = extra;
    zip::EntryLocation location;
    EXPECT_FALSE(zip::ResolveZip64(record, location)) << marks;
  }
}

TEST(ZipFormatZip64, RefusesMarkersWithoutAZip64Field) {
  const std::string otherField = ExtraField(testing_support::kExtraIdNtfs, Zip64Body(15));
  for (unsigned marks = 1; marks < 16; ++marks) {
    zip::CentralRecord record = MarkedRecord(marks);
    zip::EntryLocation location;
    EXPECT_FALSE(zip::ResolveZip64(record, location)) << marks;
    record.extra = otherField;
    EXPECT_FALSE(zip::ResolveZip64(record, location)) << marks;
  }
}

TEST(ZipFormatZip64, WithoutMarkersTheExtraFieldIsNotLookedAt) {
  // A malformed Zip64 field that would be refused were it needed.
  const std::string extra = ExtraField(zip::kExtraIdZip64, "x");
  zip::CentralRecord record = MarkedRecord(0);
  record.extra = extra;
  zip::EntryLocation location;
  ASSERT_TRUE(zip::ResolveZip64(record, location));
  EXPECT_EQ(location.uncompressedSize, 11u);
  EXPECT_EQ(location.compressedSize, 22u);
  EXPECT_EQ(location.localHeaderOffset, 33u);
  EXPECT_EQ(location.diskStart, 0u);
}

TEST(ZipFormatZip64, ExtraValuesBeyondTheMarkedOnesAreIgnored) {
  // Only the offset is marked; the field holds it first, then more bytes.
  const std::string extra = ExtraField(zip::kExtraIdZip64, Zip64Body(4) + "trailing");
  zip::CentralRecord record = MarkedRecord(4);
  record.extra = extra;
  zip::EntryLocation location;
  ASSERT_TRUE(zip::ResolveZip64(record, location));
  EXPECT_EQ(location.localHeaderOffset, kBigOffset);
  EXPECT_EQ(location.uncompressedSize, 11u);
}

TEST(ZipFormatNtfs, TimesRoundTripThroughTheExtraField) {
  testing_support::NtfsTimes written;
  written.modification = 0x01D7000000000001ull;
  written.access = std::numeric_limits<std::uint64_t>::max();
  written.creation = 0;
  std::string extra = ExtraField(0x5455, "ts");
  testing_support::AppendNtfsExtraField(extra, written);
  ASSERT_EQ(extra.size(), zip::kExtraHeaderSize + 2 + testing_support::kNtfsExtraSize);
  std::string_view body;
  ASSERT_TRUE(zip::FindExtraField(extra, testing_support::kExtraIdNtfs, body));
  EXPECT_EQ(body.size(), testing_support::kNtfsExtraSize - zip::kExtraHeaderSize);
  testing_support::NtfsTimes read;
  ASSERT_TRUE(testing_support::ParseNtfsExtraField(body, read));
  EXPECT_EQ(read.modification, written.modification);
  EXPECT_EQ(read.access, written.access);
  EXPECT_EQ(read.creation, written.creation);
}

// A piece index's data, field by field.
std::string PieceIndexBody(std::uint8_t version, std::uint32_t pieceSize, std::uint32_t count,
                           const std::vector<std::uint32_t>& lengths) {
  std::string body(1, static_cast<char>(version));
  zip::AppendLe32(body, pieceSize);
  zip::AppendLe32(body, count);
  for (const std::uint32_t length : lengths) {
    zip::AppendLe32(body, length);
  }
  return body;
}

TEST(ZipFormatPieceIndex, RoundTripsThroughTheExtraField) {
  zip::PieceIndex written;
  written.pieceSize = 1u << 20;
  written.compressedLengths = {7, 0xFFFFFFFFu, 1000};
  std::string extra = ExtraField(testing_support::kExtraIdNtfs, "before");
  ASSERT_TRUE(zip::AppendPieceIndex(extra, written));
  std::string_view body;
  ASSERT_TRUE(zip::FindExtraField(extra, zip::kExtraIdPieceIndex, body));
  EXPECT_EQ(body, PieceIndexBody(1, 1u << 20, 3, {7, 0xFFFFFFFFu, 1000}));
  zip::PieceIndex read;
  ASSERT_TRUE(zip::ParsePieceIndex(body, read));
  EXPECT_EQ(read.pieceSize, written.pieceSize);
  EXPECT_EQ(read.compressedLengths, written.compressedLengths);
}

TEST(ZipFormatPieceIndex, RefusesAnotherVersionOrACountThatDisagreesWithTheLength) {
  const zip::PieceIndex untouched{5, {1, 2}};
  for (const std::string& body : {
           PieceIndexBody(2, 64, 1, {10}),                // unknown version
           PieceIndexBody(0, 64, 1, {10}),                // unknown version
           PieceIndexBody(1, 64, 2, {10}),                // one length missing
           PieceIndexBody(1, 64, 1, {10, 20}),            // one length too many
           PieceIndexBody(1, 64, 0xFFFFFFFFu, {10}),      // count near 2^32
           PieceIndexBody(1, 64, 0x40000000u, {}),        // 4 * count wraps 32 bits
           PieceIndexBody(1, 64, 1, {10}).substr(0, 12),  // truncated length
           PieceIndexBody(1, 64, 0, {}).substr(0, 8),     // truncated count
           std::string(),                                 // nothing
       }) {
    zip::PieceIndex index = untouched;
    EXPECT_FALSE(zip::ParsePieceIndex(body, index)) << body.size();
    EXPECT_EQ(index.pieceSize, 5u);
    EXPECT_EQ(index.compressedLengths, untouched.compressedLengths);
  }
}

TEST(ZipFormatPieceIndex, AppendsNothingWhenTheAreaWouldPass64KiB) {
  zip::PieceIndex largest;
  largest.pieceSize = 1;
  largest.compressedLengths.assign(zip::kMaxIndexedPieces, 1);
  std::string extra;
  ASSERT_TRUE(zip::AppendPieceIndex(extra, largest));
  EXPECT_LE(extra.size(), zip::kMaxFieldLength);
  EXPECT_GT(extra.size() + 4, zip::kMaxFieldLength);  // one more length would not fit

  std::string crowded(8, 'x');  // other fields already in the area
  EXPECT_FALSE(zip::AppendPieceIndex(crowded, largest));
  EXPECT_EQ(crowded, std::string(8, 'x'));

  zip::PieceIndex tooMany = largest;
  tooMany.compressedLengths.push_back(1);
  std::string empty;
  EXPECT_FALSE(zip::AppendPieceIndex(empty, tooMany));
  EXPECT_TRUE(empty.empty());
}

// An NTFS field's data: 4 reserved bytes, then the attributes given.
std::string NtfsBody(const std::string& attributes) {
  return std::string(4, '\0') + attributes;
}

std::string NtfsAttribute(std::uint16_t tag, const std::string& data) {
  std::string out;
  zip::AppendLe16(out, tag);
  zip::AppendLe16(out, static_cast<std::uint16_t>(data.size()));
  return out + data;
}

TEST(ZipFormatNtfs, FindsTheTimesAttributeAfterAnother) {
  std::string times;
  zip::AppendLe64(times, 1);
  zip::AppendLe64(times, 2);
  zip::AppendLe64(times, 3);
  const std::string body = NtfsBody(NtfsAttribute(2, "other") + NtfsAttribute(1, times));
  testing_support::NtfsTimes read;
  ASSERT_TRUE(testing_support::ParseNtfsExtraField(body, read));
  EXPECT_EQ(read.modification, 1u);
  EXPECT_EQ(read.access, 2u);
  EXPECT_EQ(read.creation, 3u);
}

TEST(ZipFormatNtfs, RefusesAMissingWrongSizedOrTruncatedTimesAttribute) {
  testing_support::NtfsTimes read;
  read.modification = 77;
  EXPECT_FALSE(testing_support::ParseNtfsExtraField(std::string_view(), read));
  EXPECT_FALSE(testing_support::ParseNtfsExtraField(NtfsBody(""), read));
  EXPECT_FALSE(
      testing_support::ParseNtfsExtraField(NtfsBody(NtfsAttribute(2, std::string(24, 'x'))), read));
  // Tag 1 with 16 bytes is not the times attribute.
  EXPECT_FALSE(
      testing_support::ParseNtfsExtraField(NtfsBody(NtfsAttribute(1, std::string(16, 'x'))), read));
  // Tag 1, size 24, but only 23 bytes follow.
  std::string truncated = NtfsBody(NtfsAttribute(1, std::string(24, 'x')));
  truncated.pop_back();
  EXPECT_FALSE(testing_support::ParseNtfsExtraField(truncated, read));
  // Shorter than the reserved bytes.
  EXPECT_FALSE(testing_support::ParseNtfsExtraField(std::string_view("\0\0", 2), read));
  EXPECT_EQ(read.modification, 77u);
}

// ---------------------------------------------------------------------------
// MS-DOS date and time

TEST(ZipFormatDosStamp, EncodesWithTwoSecondResolution) {
  const zip::DosStamp stamp = zip::DosStampFromCivil(zip::CivilTime{2024, 2, 29, 23, 59, 59});
  EXPECT_EQ(stamp.date, ((2024 - 1980) << 9) | (2 << 5) | 29);
  EXPECT_EQ(stamp.time, (23 << 11) | (59 << 5) | 29);
  const zip::CivilTime back = zip::CivilFromDosStamp(stamp);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.second, 58);
  EXPECT_TRUE(zip::IsValidDosStamp(stamp));
}

TEST(ZipFormatDosStamp, ClampsToTheRepresentableRange) {
  const zip::DosStamp early = zip::DosStampFromCivil(zip::CivilTime{1979, 12, 31, 23, 59, 59});
  EXPECT_EQ(early.date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(early.time, 0);
  const zip::DosStamp late = zip::DosStampFromCivil(zip::CivilTime{2108, 1, 1, 0, 0, 0});
  EXPECT_EQ(late.date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(late.time, (23 << 11) | (59 << 5) | 29);
  const zip::DosStamp leap = zip::DosStampFromCivil(zip::CivilTime{2016, 12, 31, 23, 59, 60});
  EXPECT_EQ(leap.time & 0x1F, 29);
}

TEST(ZipFormatDosStamp, RecognisesInvalidStamps) {
  EXPECT_FALSE(zip::IsValidDosStamp(zip::DosStamp{0, 0}));  // month 0
  EXPECT_FALSE(zip::IsValidDosStamp(
      zip::DosStamp{static_cast<std::uint16_t>((41 << 9) | (2 << 5) | 29), 0}));  // 2021-02-29
  EXPECT_FALSE(zip::IsValidDosStamp(
      zip::DosStamp{static_cast<std::uint16_t>((41 << 9) | (1 << 5) | 1), 24 << 11}));
}

}  // namespace
