// The names a starter is given: its application name and the path of the
// program it runs. One rule set, used wherever pack takes either name (packing
// an archive, making a starter, list, check-names) and by the stub writer
// before it fills an identity block.
#ifndef PACK_STARTER_NAMES_H
#define PACK_STARTER_NAMES_H

#include <string>
#include <string_view>

namespace pack {

/// Checks an application name: the destination folder's name and the
/// program's argument. Returns an empty string when it is usable, otherwise
/// why not: empty, "." or "..", a '/' or '\' (it must be one plain path
/// level), invalid UTF-8, a name Windows cannot create (WindowsNameProblem
/// of text/entry_name.h: control characters, any of :<>"|?*, a trailing '.'
/// or ' ', a device name such as CON, NUL, COM1 or LPT9 with or without an
/// extension, in any case), or more than kIdentityNameCapacity UTF-16 code
/// units. Text beyond ASCII is accepted.
std::string CheckAppName(std::string_view name);

/// Checks the path of the program a starter runs, as the archive names it:
/// relative, '/'-separated levels each of which passes CheckAppName's rules
/// but the length (no empty, "." or ".." level, no '\', no leading or
/// trailing '/'), and at most kIdentityExePathCapacity UTF-16 code units once
/// it is written with a leading '\'. Returns "" or why not.
std::string CheckExecutablePath(std::string_view path);

}  // namespace pack

#endif  // PACK_STARTER_NAMES_H
