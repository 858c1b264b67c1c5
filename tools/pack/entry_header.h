// The packer's fixed form of one entry's headers: which values its local
// header, central record and the archive's end record carry. The records and
// their encoding come from zip/zip_format.h.
#ifndef PACK_ENTRY_HEADER_H
#define PACK_ENTRY_HEADER_H

#include <cstdint>
#include <string>

#include "zip/zip_format.h"

namespace pack {

/// The values of one entry's headers. The local header and the central record
/// are built from the same values, so they always agree.
struct EntryHeader {
  std::string name;
  std::uint16_t versionNeeded = zip::kVersionNeededStored;
  std::uint16_t flags = 0;
  std::uint16_t method = zip::kMethodStored;
  zip::DosStamp stamp;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint32_t externalAttributes = zip::kDosAttributeArchive;
  std::uint32_t localHeaderOffset = 0;  // used by the central record only
  std::string centralExtra;             // the central record's extra field (a piece index)
};

/// The local header for `header`: no extra field. Its name views
/// `header.name`, so it is valid while `header` is unchanged.
zip::LocalHeader LocalHeaderOf(const EntryHeader& header);

/// The central-directory record for `header`: made by
/// zip::kVersionMadeByMsDos63, `header.centralExtra` as its extra field, no
/// comment, disk 0, no internal attributes. Its name and extra field view
/// `header`, as above.
zip::CentralRecord CentralRecordOf(const EntryHeader& header);

/// The end-of-central-directory record, without comment, of a single-disk
/// archive of `entries` entries.
zip::EndRecord EndRecordOf(std::uint16_t entries, std::uint32_t directorySize,
                           std::uint32_t directoryOffset);

}  // namespace pack

#endif  // PACK_ENTRY_HEADER_H
