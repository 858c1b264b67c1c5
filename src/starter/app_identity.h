// The application a starter carries: its name and where its executable lies
// in the unpacked tree. Both are read from the image's identity block, which
// the build fills for each starter executable (its defaults are in
// cmake/StarterDefaults.cmake), or the packer for a starter made from a stub
// (see identity_block.h).
#ifndef STARTER_STARTER_APP_IDENTITY_H
#define STARTER_STARTER_APP_IDENTITY_H

#include <string>

#include "starter/identity_block.h"

/// The image's identity block, in its read-only data: filled, except in a
/// stub that no packer has filled yet (which then holds the defaults).
extern const IdentityBlock kIdentityBlock;

/// The application's name: the destination folder's name inside the temporary
/// directory, and the child's only argument.
extern const std::wstring kAppName;

/// The child's executable relative to the destination folder. It begins with a
/// backslash and is appended to the destination path without a separator of
/// its own.
extern const std::wstring kExeRelativePath;

#endif  // STARTER_STARTER_APP_IDENTITY_H
