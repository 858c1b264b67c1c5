// What the packer adds to the name rules of text/entry_name.h: the names a
// starter is given (its application name and the path of the program it
// runs, checked wherever pack takes them and by the stub writer before it
// fills an identity block), the order of entries, names that differ only in
// case, and a safe way to print a name that may hold arbitrary bytes.
#ifndef PACK_ENTRY_NAMES_H
#define PACK_ENTRY_NAMES_H

#include <string>
#include <string_view>
#include <vector>

namespace pack {

/// True when every byte of `text` is below 0x80.
bool IsAscii(std::string_view text);

/// Orders two sibling names (single path components, no '/'): first by their
/// ASCII upper-case forms compared byte by byte (bytes >= 0x80 unchanged, a
/// proper prefix first), then, when those are equal, by the raw bytes.
/// Returns a negative value, zero (only for identical names) or a positive
/// value.
int CompareSiblingNames(std::string_view a, std::string_view b);

/// The total order of entry names in an archive: depth first, a folder
/// ("dir/") before everything inside it, siblings by CompareSiblingNames.
/// Names are '/'-separated; a trailing '/' marks a folder and is not part of
/// the comparison except as the last tie-breaker (raw bytes of the whole
/// names). True when `a` must come strictly before `b`.
bool EntryNameLess(std::string_view a, std::string_view b);

/// Two entry names that name one file or folder where case is not told apart.
struct CaseCollision {
  std::string first;   // the earlier of the two in the list searched
  std::string second;  // the later one
};

/// Finds the siblings among `names` (entry names, '/'-separated, folders
/// ending in '/') that differ only in case: equal under FoldCase
/// (text/case_fold.h) once a folder's trailing '/' is set aside, so a folder
/// "Lib/" and a file "lib" collide too. Names inside two colliding folders
/// ("Lib/x", "lib/x") are not reported again. In the order of the later name.
std::vector<CaseCollision> FindCaseCollisions(const std::vector<std::string>& names);

/// Checks one path component found on disk. Returns an empty string when it
/// may be used in an entry name, otherwise why not ("holds a backslash",
/// "is not valid UTF-8").
std::string CheckComponentName(std::string_view component);

/// Checks an application name: the destination folder's name and the
/// program's argument. Returns an empty string when it is usable, otherwise
/// why not: what PlainNameProblem (text/entry_name.h) finds, or more than
/// kIdentityNameCapacity UTF-16 code units. Text beyond ASCII is accepted.
std::string CheckAppName(std::string_view name);

/// Checks the path of the program a starter runs, as the archive names it:
/// a path RelativePathProblem accepts whose levels PlainNameProblem accepts,
/// at most kIdentityExePathCapacity UTF-16 code units once it is written
/// with a leading '\'. Returns "" or why not.
std::string CheckExecutablePath(std::string_view path);

/// `text` made safe for a terminal: printable ASCII and valid multi-byte UTF-8
/// as is; control characters, DEL and bytes that are not valid UTF-8 as
/// "\xNN"; a backslash itself stays a single backslash.
std::string DisplayName(std::string_view text);

}  // namespace pack

#endif  // PACK_ENTRY_NAMES_H
