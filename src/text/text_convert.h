// Conversions between wide text (UTF-16 on Windows, UTF-32 on POSIX), UTF-8
// and file-system paths. Ill-formed input is not rejected: what cannot be
// converted becomes U+FFFD, as the Windows conversions do without flags.
#ifndef STARTER_TEXT_TEXT_CONVERT_H
#define STARTER_TEXT_TEXT_CONVERT_H

#include <cstddef>
#include <filesystem>
#include <string>

/// The UTF-8 bytes of NUL-terminated wide text ("" for a null pointer).
std::string WideToUtf8(const wchar_t* text);

/// The wide text of `byteCount` bytes of UTF-8 text.
std::wstring Utf8ToWide(const char* text, std::size_t byteCount);

/// Appends the UTF-8 form of `point` (below 0x110000) to `out`; a surrogate
/// is encoded as if it were a character, which a caller may replace first.
void AppendUtf8(std::string& out, char32_t point);

/// The path that names the file the wide text names, and the inverse.
std::filesystem::path WideToPath(const std::wstring& text);
std::wstring PathToWide(const std::filesystem::path& path);

#endif  // STARTER_TEXT_TEXT_CONVERT_H
