// What tells the starter's archive from another one's, for runs that share
// the destination.
#ifndef STARTER_STARTER_ARCHIVE_IDENTITY_H
#define STARTER_STARTER_ARCHIVE_IDENTITY_H

#include <cstdint>

#include "destination/destination.h"

/// The archive's length and the CRC-32 of its central directory, as the ZIP
/// reader locates it in the `length` bytes at `archive`. An archive that does
/// not open gets the CRC-32 of nothing (0): the extraction refuses it anyway.
ArchiveIdentity IdentifyArchive(const unsigned char* archive, std::uint64_t length);

#endif  // STARTER_STARTER_ARCHIVE_IDENTITY_H
