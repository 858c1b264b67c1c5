// Conversions between wide text, UTF-8 text and file-system paths.
//
// Wide text is UTF-16 on Windows and UTF-32 on POSIX (the width of wchar_t).
// Neither direction rejects ill-formed input: what cannot be converted becomes
// U+FFFD, as the Windows conversions do when called without flags.
#ifndef STARTER_TEXT_TEXT_CONVERT_H
#define STARTER_TEXT_TEXT_CONVERT_H

#include <cstddef>
#include <filesystem>
#include <string>

/// NUL-terminated wide text in, its UTF-8 bytes out (no NUL inside). A null
/// pointer gives an empty string.
std::string WideToUtf8(const wchar_t* text);

/// `byteCount` bytes of UTF-8 text in, wide text out. An empty text gives an
/// empty string.
std::wstring Utf8ToWide(const char* text, std::size_t byteCount);

/// Appends the UTF-8 form of `point` (below 0x110000) to `out`. A surrogate
/// is encoded as if it were a character, which is not valid UTF-8: a caller
/// that must not pass one on replaces it first.
void AppendUtf8(std::string& out, char32_t point);

/// The path that names the file the wide text names.
std::filesystem::path WideToPath(const std::wstring& text);

/// The wide text of a path (the inverse of WideToPath).
std::wstring PathToWide(const std::filesystem::path& path);

#endif  // STARTER_TEXT_TEXT_CONVERT_H
