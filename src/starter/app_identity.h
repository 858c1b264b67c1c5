// The application a starter carries: its name and where its executable lies
// in the unpacked tree. Each starter executable defines these at build time;
// the build's defaults are set once, in the top-level CMakeLists.txt.
#ifndef STARTER_STARTER_APP_IDENTITY_H
#define STARTER_STARTER_APP_IDENTITY_H

#include <string>

/// The application's name: the destination folder's name inside the temporary
/// directory, and the child's only argument.
extern const std::wstring kAppName;

/// The child's executable relative to the destination folder. It begins with a
/// backslash and is appended to the destination path without a separator of
/// its own.
extern const std::wstring kExeRelativePath;

#endif  // STARTER_STARTER_APP_IDENTITY_H
