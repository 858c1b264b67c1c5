// Which archive entry names may be written below the destination folder.
#ifndef STARTER_TEXT_ENTRY_NAME_H
#define STARTER_TEXT_ENTRY_NAME_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// The rules a name is checked against: those every platform needs, or those
/// plus what Windows maps to another place than the name says.
enum class EntryNameRules { kPortable, kWindows };

/// The rules of the platform the starter runs on.
extern const EntryNameRules kPlatformEntryNameRules;

/// True when joining `name` (as stored, '/' between levels) to a folder yields
/// a path inside that folder, under `rules`.
///
/// Always refused: an empty name, a leading '/' or '\' (a root or a UNC
/// prefix), a drive ("C:..."), a '\' anywhere, a ".." component, a NUL byte.
/// Also refused under kWindows: ':' anywhere, control characters and any of
/// <>"|?*, a component that ends in '.' or ' ' (other than "."), reserved
/// device names such as CON, NUL, COM1 or LPT1 (with or without an
/// extension), and text that is not valid UTF-8.
bool IsSafeEntryName(std::string_view name, EntryNameRules rules);

/// The length of the well-formed UTF-8 sequence starting at byte `i` of
/// `text` (1 to 4), or 0 when none starts there: overlong forms, surrogates,
/// values above U+10FFFF and cut-off sequences are ill-formed. `i` must be
/// less than `text.size()`.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

/// True when all of `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

/// The code point of the well-formed sequence of `length` bytes (as
/// Utf8SequenceLength gives it, 1 to 4) starting at byte `i` of `text`.
char32_t DecodeUtf8Sequence(std::string_view text, std::size_t i, std::size_t length);

/// `text` in UTF-16: a four-byte sequence becomes a surrogate pair, and each
/// byte that starts no well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

/// Why Windows cannot create a file or folder under the one path level
/// `component` as it stands, or an empty string when it can: a control
/// character or one of :<>"|?*; a trailing '.' or ' ' (Windows strips them);
/// a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9, COM or
/// LPT with a superscript 1-3), alone or before a '.', ignoring trailing
/// blanks, in any case. "", "." and ".." are left to other checks. The packer
/// warns with the same rule that the starter refuses names by.
std::string WindowsNameProblem(std::string_view component);

/// Why `name` cannot be one plain folder or file name that every platform
/// the starter runs on can create, or an empty string when it can: empty,
/// "." or "..", a '/' or '\', text that is not valid UTF-8, or what
/// WindowsNameProblem finds.
std::string PlainNameProblem(std::string_view name);

/// Why `path` is not a relative, '/'-separated path, or an empty string when
/// it is: empty, a leading or trailing '/', a '\', text that is not valid
/// UTF-8, an empty, "." or ".." level. Its levels are not checked further.
std::string RelativePathProblem(std::string_view path);

/// The levels of the '/'-separated `path` in order, empty ones included
/// ("a//b/" gives "a", "", "b", ""; "" gives one empty level): views into
/// `path`. The one place a path is split.
std::vector<std::string_view> SplitPathLevels(std::string_view path);

/// The form in which the platform's file system compares the one path level
/// `component` (UTF-8) with others: unchanged on POSIX, upper-cased the way
/// the invariant locale does it on Windows (whose volumes ignore case), where
/// text that is not valid UTF-8 or holds a NUL is also left unchanged. Two levels that name
/// the same file or folder have the same form.
std::string FoldPathComponent(std::string_view component);

#endif  // STARTER_TEXT_ENTRY_NAME_H
