// Windows only: the form of a path that opens whatever its length.
#ifndef STARTER_TEXT_LONG_PATH_H
#define STARTER_TEXT_LONG_PATH_H

#include <string>

/// `path` made full and normalised (as GetFullPathNameW does: "." and ".."
/// resolved, '/' turned into '\'), then prefixed with \\?\ for a drive path
/// or \\?\UNC\ for a \\server\share path, so that it opens past MAX_PATH.
/// Paths below it are formed by appending "\" and a name, which is then taken
/// as it stands. A path already in the \\?\ form is returned unchanged, a
/// \\.\ device path is only made full. An empty string when the path cannot
/// be made full (GetLastError tells why).
std::wstring ExtendedLengthPath(const std::wstring& path);

#endif  // STARTER_TEXT_LONG_PATH_H
