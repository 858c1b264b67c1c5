// The form of an entry made on a Unix host, as the packer writes it for a
// native starter and the lister checks it. The records and their encoding
// come from zip/zip_format.h.
#ifndef PACK_ENTRY_HEADER_H
#define PACK_ENTRY_HEADER_H

#include <cstdint>

#include "zip/zip_format.h"

namespace pack {

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
constexpr std::uint32_t UnixExternalAttributes(bool folder, std::uint32_t permissions) {
  const std::uint32_t mode = (folder ? kUnixTypeFolder : kUnixTypeFile) | (permissions & 07777);
  return mode << 16 | (folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive);
}

}  // namespace pack

#endif  // PACK_ENTRY_HEADER_H
