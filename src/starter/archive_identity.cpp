#include "starter/archive_identity.h"

#include <zlib.h>

#include <algorithm>

#include "zip/zip_reader.h"

ArchiveIdentity IdentifyArchive(const unsigned char* archive, std::uint64_t length) {
  ArchiveIdentity identity;
  identity.length = length;
  zip::ZipArchive reader;
  if (!zip::ZipOpenMemory(reader, archive, length)) {
    zip::ZipTakeLastError(reader);
    return identity;
  }
  // The reader has checked that the directory lies inside the block.
  const unsigned char* directory = archive + reader.centralDirectoryOffset;
  std::uint64_t remaining = reader.centralDirectorySize;
  uLong crc = crc32(0L, Z_NULL, 0);
  while (remaining > 0) {
    const uInt chunk = static_cast<uInt>(std::min<std::uint64_t>(remaining, 1u << 30));
    crc = crc32(crc, directory, chunk);
    directory += chunk;
    remaining -= chunk;
  }
  identity.directoryCrc32 = static_cast<std::uint32_t>(crc);
  zip::ZipClose(reader);
  return identity;
}
