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
  std::uint16_t versionMadeBy = zip::kVersionMadeByMsDos63;
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

/// The central-directory record for `header`: `header.centralExtra` as its
/// extra field, no comment, disk 0, no internal attributes. Its name and
/// extra field view `header`, as above.
zip::CentralRecord CentralRecordOf(const EntryHeader& header);

/// "Version made by" 6.3 on a Unix host: the external attributes carry a
/// Unix mode in their high 16 bits.
constexpr std::uint16_t kVersionMadeByUnix63 =
    (zip::kHostUnix << 8) | (zip::kVersionMadeByMsDos63 & 0xFF);

/// The Unix file type bits of a mode (S_IFREG, S_IFDIR), as the high half of
/// the external attributes holds them.
constexpr std::uint32_t kUnixTypeFile = 0100000;
constexpr std::uint32_t kUnixTypeFolder = 0040000;

/// The external attributes of an entry made on a Unix host: the mode (the
/// type of a folder or a file and `permissions`, 07777 at most) above the
/// MS-DOS attributes the MS-DOS form gives the entry.
std::uint32_t UnixExternalAttributes(bool folder, std::uint32_t permissions);

/// The end-of-central-directory record, without comment, of a single-disk
/// archive of `entries` entries.
zip::EndRecord EndRecordOf(std::uint16_t entries, std::uint32_t directorySize,
                           std::uint32_t directoryOffset);

}  // namespace pack

#endif  // PACK_ENTRY_HEADER_H
