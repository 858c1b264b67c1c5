// What the packer adds to the name rules of text/entry_name.h: the names a
// starter is given (checked by pack and by the stub writer), the order of
// entries, names that differ only in case, and printing arbitrary names.
#ifndef PACK_ENTRY_NAMES_H
#define PACK_ENTRY_NAMES_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pack {

/// True when every byte of `text` is below 0x80.
bool IsAscii(std::string_view text);

/// Orders two sibling names (no '/'): by their ASCII upper-case forms byte by
/// byte (a proper prefix first), then by the raw bytes. Returns <0, 0 (only
/// for identical names) or >0.
int CompareSiblingNames(std::string_view a, std::string_view b);

/// The order of entry names in an archive: depth first, a folder ("dir/")
/// before its contents, siblings by CompareSiblingNames, the trailing '/'
/// only the last tie-breaker. True when `a` comes strictly before `b`.
bool EntryNameLess(std::string_view a, std::string_view b);

/// Two entry names that name one file or folder where case is not told apart:
/// the earlier of the two in the list searched, then the later.
using CaseCollision = std::pair<std::string, std::string>;

/// The siblings among `names` (folders ending in '/') equal under FoldCase
/// (text/case_fold.h) with a folder's '/' set aside, so "Lib/" and "lib"
/// collide; names inside two colliding folders are not reported again. In the
/// order of the later name.
std::vector<CaseCollision> FindCaseCollisions(const std::vector<std::string>& names);

/// Why one path component found on disk cannot be used in an entry name
/// ("holds a backslash", "is not valid UTF-8"), or "".
std::string CheckComponentName(std::string_view component);

/// Why `name` cannot be an application name (the destination folder and the
/// program's argument), or "": what PlainNameProblem (text/entry_name.h)
/// finds, or more than kIdentityNameCapacity UTF-16 code units.
std::string CheckAppName(std::string_view name);

/// Why `path` cannot be the program a starter runs, or "": what
/// RelativePathProblem finds or PlainNameProblem finds in a level, or more
/// than kIdentityExePathCapacity UTF-16 code units with a leading '\'.
std::string CheckExecutablePath(std::string_view path);

/// `text` safe for a terminal: printable ASCII and valid UTF-8 as is; control
/// characters, DEL and invalid bytes as "\xNN" (a backslash stays single).
std::string DisplayName(std::string_view text);

}  // namespace pack

#endif  // PACK_ENTRY_NAMES_H
