// Which archive entry names may be written below the destination folder, and the UTF-8 and path
// rules they rest on.
#ifndef STARTER_TEXT_ENTRY_NAME_H
#define STARTER_TEXT_ENTRY_NAME_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// The rules a name is checked against: those every platform needs, or those plus what Windows maps
/// to another place than the name says; and the rules of the platform the starter runs on.
enum class EntryNameRules { kPortable, kWindows };
extern const EntryNameRules kPlatformEntryNameRules;

/// True when joining `name` (as stored, '/' between levels) to a folder yields a path inside that
/// folder. Always refused: an empty name, a leading '/' or '\' (a root or a UNC prefix), a drive
/// ("C:..."), a '\' anywhere, a ".." level, a NUL byte. Also refused under kWindows: text that is
/// not valid UTF-8 and a level WindowsNameProblem finds fault with.
bool IsSafeEntryName(std::string_view name, EntryNameRules rules);

/// The length (1 to 4) of the well-formed UTF-8 sequence at byte `i` (below the size) of `text`, or
/// 0 when none starts there: overlong forms, surrogates, values above U+10FFFF and cut-off
/// sequences are ill-formed.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

/// How many bytes from `i` one U+FFFD replaces where Utf8SequenceLength finds no sequence, the way
/// the Windows conversion counts them: the longest start of a well-formed sequence (its maximal
/// subpart), or else the one byte.
std::size_t Utf8IllFormedLength(std::string_view text, std::size_t i);

bool IsValidUtf8(std::string_view text);

/// The code point of the well-formed sequence of `length` bytes at `i`.
char32_t DecodeUtf8Sequence(std::string_view text, std::size_t i, std::size_t length);

/// `text` in UTF-16: a four-byte sequence becomes a surrogate pair, and each byte that starts no
/// well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

/// Why Windows cannot create the one path level `component` as it stands, or "" when it can (and
/// for "", "." and ".."): a control character or one of :<>"|?*; a trailing '.' or ' ' (Windows
/// strips them); a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM or LPT with 0-9 or a
/// superscript 1-3), alone or before a '.', ignoring trailing blanks, in any case. The packer warns
/// by the rule the starter refuses names by.
std::string WindowsNameProblem(std::string_view component);

/// Why `name` is no plain folder or file name every platform can create (as WindowsNameProblem, or
/// empty, "." or "..", a '/' or '\', not UTF-8), or "".
std::string PlainNameProblem(std::string_view name);

/// Why `path` is no relative, '/'-separated path of UTF-8 levels other than "", "." and "..", or ""
/// when it is. Its levels are not checked further.
std::string RelativePathProblem(std::string_view path);

/// The levels of the '/'-separated `path`, empty ones included ("a//b/" gives "a", "", "b", ""; ""
/// gives one empty level), as views into `path`. The one place a path is split.
std::vector<std::string_view> SplitPathLevels(std::string_view path);

/// The form in which the platform's file system compares the one path level `component` (UTF-8):
/// unchanged on POSIX; on Windows (whose volumes ignore case) upper-cased as the invariant locale
/// does it, unless it is not valid UTF-8 or holds a NUL. Levels naming the same file have the same
/// form.
std::string FoldPathComponent(std::string_view component);

#endif  // STARTER_TEXT_ENTRY_NAME_H
