// Test support: the records' field offsets, and writers of the ZIP records
// and extra fields that the system reads but never writes (Zip64 end records
// and locators, NTFS times), for tests that build archives field by field.
// Written through zip_format.h's field order and little-endian helpers.
#ifndef STARTER_TESTING_ZIP_TEST_RECORDS_H
#define STARTER_TESTING_ZIP_TEST_RECORDS_H

#include <cstdint>
#include <string>
#include <string_view>

#include "zip/zip_format.h"

namespace zip {

// The records' field offsets, for tests that read or patch one field in
// place. The format module itself reads and writes each record through one
// list of its fields, and these offsets check that list.

/// Byte offsets of the fields of a local file header.
namespace local_header_field {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kVersionNeeded = 4;
constexpr std::size_t kFlags = 6;
constexpr std::size_t kMethod = 8;
constexpr std::size_t kDosTime = 10;
constexpr std::size_t kDosDate = 12;
constexpr std::size_t kCrc32 = 14;
constexpr std::size_t kCompressedSize = 18;
constexpr std::size_t kUncompressedSize = 22;
constexpr std::size_t kNameLength = 26;
constexpr std::size_t kExtraLength = 28;
}  // namespace local_header_field

/// Byte offsets of the fields of a central-directory record.
namespace central_record_field {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kVersionMadeBy = 4;
constexpr std::size_t kVersionNeeded = 6;
constexpr std::size_t kFlags = 8;
constexpr std::size_t kMethod = 10;
constexpr std::size_t kDosTime = 12;
constexpr std::size_t kDosDate = 14;
constexpr std::size_t kCrc32 = 16;
constexpr std::size_t kCompressedSize = 20;
constexpr std::size_t kUncompressedSize = 24;
constexpr std::size_t kNameLength = 28;
constexpr std::size_t kExtraLength = 30;
constexpr std::size_t kCommentLength = 32;
constexpr std::size_t kDiskStart = 34;
constexpr std::size_t kInternalAttributes = 36;
constexpr std::size_t kExternalAttributes = 38;
constexpr std::size_t kLocalHeaderOffset = 42;
}  // namespace central_record_field

/// Byte offsets of the fields of the end-of-central-directory record.
namespace end_record_field {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kDiskNumber = 4;
constexpr std::size_t kDirectoryDisk = 6;
constexpr std::size_t kEntriesOnDisk = 8;
constexpr std::size_t kEntryCount = 10;
constexpr std::size_t kDirectorySize = 12;
constexpr std::size_t kDirectoryOffset = 16;
constexpr std::size_t kCommentLength = 20;
}  // namespace end_record_field

/// Byte offsets of the fields of the Zip64 end-of-central-directory record.
namespace zip64_end_record_field {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kRecordSize = 4;
constexpr std::size_t kVersionMadeBy = 12;
constexpr std::size_t kVersionNeeded = 14;
constexpr std::size_t kDiskNumber = 16;
constexpr std::size_t kDirectoryDisk = 20;
constexpr std::size_t kEntriesOnDisk = 24;
constexpr std::size_t kEntryCount = 32;
constexpr std::size_t kDirectorySize = 40;
constexpr std::size_t kDirectoryOffset = 48;
}  // namespace zip64_end_record_field

/// Byte offsets of the fields of the Zip64 end-of-central-directory locator.
namespace zip64_locator_field {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kEndRecordDisk = 4;
constexpr std::size_t kEndRecordOffset = 8;
constexpr std::size_t kTotalDisks = 16;
}  // namespace zip64_locator_field

}  // namespace zip

namespace testing_support {

/// Append the record to `out`, each field as it stands (the Zip64 end
/// record's size too).
void AppendZip64EndRecord(std::string& out, const zip::Zip64EndRecord& record);
void AppendZip64Locator(std::string& out, const zip::Zip64Locator& locator);

/// The NTFS extra field's header ID.
constexpr std::uint16_t kExtraIdNtfs = 0x000A;
/// An NTFS extra field with one time attribute: header, 4 reserved bytes,
/// attribute tag 1 and size 24, then three FILETIME values.
constexpr std::uint64_t kNtfsExtraSize = 36;

/// File times of the NTFS extra field, as Windows FILETIME values (100 ns
/// units since 1601-01-01 UTC).
struct NtfsTimes {
  std::uint64_t modification = 0;
  std::uint64_t access = 0;
  std::uint64_t creation = 0;
};

/// Appends a kNtfsExtraSize-byte NTFS extra field with `times` to `out`.
void AppendNtfsExtraField(std::string& out, const NtfsTimes& times);

/// Reads the times of an NTFS extra field's data (`body` as
/// zip::FindExtraField gives it): the first attribute with tag 1 and size
/// 24. Returns false when there is none, leaving `times` as it was.
bool ParseNtfsExtraField(std::string_view body, NtfsTimes& times);

}  // namespace testing_support

#endif  // STARTER_TESTING_ZIP_TEST_RECORDS_H
