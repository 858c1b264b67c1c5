#include "pack/entry_header.h"

#include <gtest/gtest.h>

#include <string>

#include "zip/zip_format.h"

namespace {

pack::EntryHeader DeflatedFile() {
  pack::EntryHeader header;
  header.name = "dir/file";
  header.versionNeeded = zip::kVersionNeededDeflate;
  header.method = zip::kMethodDeflate;
  header.flags = 0;
  header.stamp = zip::DosStamp{0x1234, 0x5678};
  header.crc32 = 0xA1B2C3D4;
  header.compressedSize = 7;
  header.uncompressedSize = 9;
  header.externalAttributes = zip::kDosAttributeArchive;
  header.localHeaderOffset = 0x01020304;
  return header;
}

TEST(PackEntryHeader, CentralRecordCarriesTheVersionMadeByOfTheHeader) {
  namespace f = zip::central_record_field;
  pack::EntryHeader header = DeflatedFile();
  std::string central;
  zip::AppendCentralRecord(central, pack::CentralRecordOf(header));
  EXPECT_EQ(
      zip::LoadLe16(reinterpret_cast<const unsigned char*>(central.data()) + f::kVersionMadeBy),
      0x003F);
  header.versionMadeBy = pack::kVersionMadeByUnix63;
  header.externalAttributes = pack::UnixExternalAttributes(false, 0755);
  central.clear();
  zip::AppendCentralRecord(central, pack::CentralRecordOf(header));
  const auto* c = reinterpret_cast<const unsigned char*>(central.data());
  EXPECT_EQ(zip::LoadLe16(c + f::kVersionMadeBy), 0x033F);
  EXPECT_EQ(zip::LoadLe32(c + f::kExternalAttributes), 0x81ED0020u);
}

TEST(PackEntryHeader, UnixAttributesPutTheModeAboveTheMsDosAttributes) {
  EXPECT_EQ(pack::UnixExternalAttributes(false, 0644), (0100644u << 16) | 0x20u);
  EXPECT_EQ(pack::UnixExternalAttributes(true, 0755), (040755u << 16) | 0x10u);
  EXPECT_EQ(pack::UnixExternalAttributes(false, 04755), (0104755u << 16) | 0x20u);
  // Bits beyond the permissions cannot pose as another file type.
  EXPECT_EQ(pack::UnixExternalAttributes(false, 0170644), (0100644u << 16) | 0x20u);
}

TEST(PackEntryHeader, LocalHeaderCarriesTheEntryAndNoExtraField) {
  namespace f = zip::local_header_field;
  const pack::EntryHeader header = DeflatedFile();
  std::string local;
  zip::AppendLocalHeader(local, pack::LocalHeaderOf(header));
  ASSERT_EQ(local.size(), 30u + 8u);
  const auto* l = reinterpret_cast<const unsigned char*>(local.data());
  EXPECT_EQ(zip::LoadLe32(l + f::kSignature), zip::kLocalHeaderSignature);
  EXPECT_EQ(zip::LoadLe16(l + f::kVersionNeeded), 20);
  EXPECT_EQ(zip::LoadLe16(l + f::kMethod), 8);
  EXPECT_EQ(zip::LoadLe16(l + f::kDosTime), 0x5678);
  EXPECT_EQ(zip::LoadLe16(l + f::kDosDate), 0x1234);
  EXPECT_EQ(zip::LoadLe32(l + f::kCrc32), 0xA1B2C3D4u);
  EXPECT_EQ(zip::LoadLe32(l + f::kCompressedSize), 7u);
  EXPECT_EQ(zip::LoadLe32(l + f::kUncompressedSize), 9u);
  EXPECT_EQ(zip::LoadLe16(l + f::kNameLength), 8);
  EXPECT_EQ(zip::LoadLe16(l + f::kExtraLength), 0);
  EXPECT_EQ(local.substr(30), "dir/file");
}

TEST(PackEntryHeader, CentralRecordIsMadeByMsDosWithoutExtraFieldOrComment) {
  namespace f = zip::central_record_field;
  const pack::EntryHeader header = DeflatedFile();
  std::string central;
  zip::AppendCentralRecord(central, pack::CentralRecordOf(header));
  ASSERT_EQ(central.size(), 46u + 8u);
  const auto* c = reinterpret_cast<const unsigned char*>(central.data());
  EXPECT_EQ(zip::LoadLe32(c + f::kSignature), zip::kCentralRecordSignature);
  EXPECT_EQ(zip::LoadLe16(c + f::kVersionMadeBy), 0x003F);
  EXPECT_EQ(zip::LoadLe16(c + f::kExtraLength), 0);
  EXPECT_EQ(zip::LoadLe16(c + f::kCommentLength), 0);
  EXPECT_EQ(zip::LoadLe16(c + f::kDiskStart), 0);
  EXPECT_EQ(zip::LoadLe16(c + f::kInternalAttributes), 0);
  EXPECT_EQ(zip::LoadLe32(c + f::kExternalAttributes), 0x20u);
  EXPECT_EQ(zip::LoadLe32(c + f::kLocalHeaderOffset), 0x01020304u);
  EXPECT_EQ(central.substr(46), "dir/file");
}

TEST(PackEntryHeader, LocalHeaderAndCentralRecordAgree) {
  const pack::EntryHeader header = DeflatedFile();
  const zip::LocalHeader local = pack::LocalHeaderOf(header);
  const zip::CentralRecord central = pack::CentralRecordOf(header);
  EXPECT_EQ(local.versionNeeded, central.versionNeeded);
  EXPECT_EQ(local.flags, central.flags);
  EXPECT_EQ(local.method, central.method);
  EXPECT_EQ(local.dosTime, central.dosTime);
  EXPECT_EQ(local.dosDate, central.dosDate);
  EXPECT_EQ(local.crc32, central.crc32);
  EXPECT_EQ(local.compressedSize, central.compressedSize);
  EXPECT_EQ(local.uncompressedSize, central.uncompressedSize);
  EXPECT_EQ(local.name, central.name);
}

TEST(PackEntryHeader, EndRecordCountsTheEntriesOfOneDiskWithoutComment) {
  namespace f = zip::end_record_field;
  std::string end;
  zip::AppendEndRecord(end, pack::EndRecordOf(3, 100, 200));
  ASSERT_EQ(end.size(), 22u);
  const auto* e = reinterpret_cast<const unsigned char*>(end.data());
  EXPECT_EQ(zip::LoadLe32(e + f::kSignature), zip::kEndRecordSignature);
  EXPECT_EQ(zip::LoadLe16(e + f::kDiskNumber), 0);
  EXPECT_EQ(zip::LoadLe16(e + f::kDirectoryDisk), 0);
  EXPECT_EQ(zip::LoadLe16(e + f::kEntriesOnDisk), 3);
  EXPECT_EQ(zip::LoadLe16(e + f::kEntryCount), 3);
  EXPECT_EQ(zip::LoadLe32(e + f::kDirectorySize), 100u);
  EXPECT_EQ(zip::LoadLe32(e + f::kDirectoryOffset), 200u);
  EXPECT_EQ(zip::LoadLe16(e + f::kCommentLength), 0);
}

}  // namespace
