#include "testing/zip_test_records.h"

namespace testing_support {
namespace {

constexpr std::uint32_t kNtfsReserved = 0;
constexpr std::uint16_t kNtfsTimesTag = 1;
constexpr std::uint16_t kNtfsTimesSize = 24;
constexpr std::size_t kNtfsAttributeHeaderSize = 4;

}  // namespace

void AppendZip64EndRecord(std::string& out, const zip::Zip64EndRecord& record) {
  zip::AppendLe32(out, zip::kZip64EndRecordSignature);
  zip::AppendLe64(out, record.recordSize);
  zip::AppendLe16(out, record.versionMadeBy);
  zip::AppendLe16(out, record.versionNeeded);
  zip::AppendLe32(out, record.diskNumber);
  zip::AppendLe32(out, record.directoryDisk);
  zip::AppendLe64(out, record.entriesOnDisk);
  zip::AppendLe64(out, record.entryCount);
  zip::AppendLe64(out, record.directorySize);
  zip::AppendLe64(out, record.directoryOffset);
  out.append(record.extensibleData.data(), record.extensibleData.size());
}

void AppendZip64Locator(std::string& out, const zip::Zip64Locator& locator) {
  zip::AppendLe32(out, zip::kZip64LocatorSignature);
  zip::AppendLe32(out, locator.endRecordDisk);
  zip::AppendLe64(out, locator.endRecordOffset);
  zip::AppendLe32(out, locator.totalDisks);
}

void AppendNtfsExtraField(std::string& out, const NtfsTimes& times) {
  zip::AppendExtraFieldHeader(out, kExtraIdNtfs,
                              static_cast<std::uint16_t>(kNtfsExtraSize - zip::kExtraHeaderSize));
  zip::AppendLe32(out, kNtfsReserved);
  zip::AppendLe16(out, kNtfsTimesTag);
  zip::AppendLe16(out, kNtfsTimesSize);
  zip::AppendLe64(out, times.modification);
  zip::AppendLe64(out, times.access);
  zip::AppendLe64(out, times.creation);
}

bool ParseNtfsExtraField(std::string_view body, NtfsTimes& times) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
  std::size_t pos = sizeof kNtfsReserved;
  while (pos <= body.size() && body.size() - pos >= kNtfsAttributeHeaderSize) {
    const std::uint16_t tag = zip::LoadLe16(bytes + pos);
    const std::size_t size = zip::LoadLe16(bytes + pos + 2);
    const std::size_t start = pos + kNtfsAttributeHeaderSize;
    if (size > body.size() - start) {
      return false;
    }
    if (tag == kNtfsTimesTag && size == kNtfsTimesSize) {
      times.modification = zip::LoadLe64(bytes + start);
      times.access = zip::LoadLe64(bytes + start + 8);
      times.creation = zip::LoadLe64(bytes + start + 16);
      return true;
    }
    pos = start + size;
  }
  return false;
}

}  // namespace testing_support
