// Windows only: the form of a path that opens whatever its length.
#ifndef STARTER_TEXT_LONG_PATH_H
#define STARTER_TEXT_LONG_PATH_H

#include <string>

/// `path` made full as GetFullPathNameW does ("." and ".." resolved, '/' to
/// '\') and prefixed with \\?\ (a drive path) or \\?\UNC\ (\\server\share),
/// so that it, and it with "\" and a name appended, opens past MAX_PATH as it
/// stands. A \\?\ path is returned unchanged, a \\.\ device path only made
/// full; "" when it cannot be made full (GetLastError tells why).
std::wstring ExtendedLengthPath(const std::wstring& path);

#endif  // STARTER_TEXT_LONG_PATH_H
