#include "pack/entry_header.h"

namespace pack {

zip::LocalHeader LocalHeaderOf(const EntryHeader& header) {
  zip::LocalHeader local;
  local.versionNeeded = header.versionNeeded;
  local.flags = header.flags;
  local.method = header.method;
  local.dosTime = header.stamp.time;
  local.dosDate = header.stamp.date;
  local.crc32 = header.crc32;
  local.compressedSize = header.compressedSize;
  local.uncompressedSize = header.uncompressedSize;
  local.name = header.name;
  return local;
}

zip::CentralRecord CentralRecordOf(const EntryHeader& header) {
  zip::CentralRecord record;
  record.versionMadeBy = header.versionMadeBy;
  record.versionNeeded = header.versionNeeded;
  record.flags = header.flags;
  record.method = header.method;
  record.dosTime = header.stamp.time;
  record.dosDate = header.stamp.date;
  record.crc32 = header.crc32;
  record.compressedSize = header.compressedSize;
  record.uncompressedSize = header.uncompressedSize;
  record.externalAttributes = header.externalAttributes;
  record.localHeaderOffset = header.localHeaderOffset;
  record.name = header.name;
  record.extra = header.centralExtra;
  return record;
}

std::uint32_t UnixExternalAttributes(bool folder, std::uint32_t permissions) {
  const std::uint32_t mode = (folder ? kUnixTypeFolder : kUnixTypeFile) | (permissions & 07777);
  return mode << 16 | (folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive);
}

zip::EndRecord EndRecordOf(std::uint16_t entries, std::uint32_t directorySize,
                           std::uint32_t directoryOffset) {
  zip::EndRecord record;
  record.entriesOnDisk = entries;
  record.entryCount = entries;
  record.directorySize = directorySize;
  record.directoryOffset = directoryOffset;
  return record;
}

}  // namespace pack
