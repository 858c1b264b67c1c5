// Test support: writers of the ZIP records and extra fields that the system
// reads but never writes (Zip64 end records and locators, NTFS times), for
// tests that build archives field by field. Written through zip_format.h's
// field order and little-endian helpers.
#ifndef STARTER_TESTING_ZIP_TEST_RECORDS_H
#define STARTER_TESTING_ZIP_TEST_RECORDS_H

#include <cstdint>
#include <string>
#include <string_view>

#include "zip/zip_format.h"

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
