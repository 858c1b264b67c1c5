// Comparing names the way a case-insensitive file system does.
#ifndef STARTER_TEXT_CASE_FOLD_H
#define STARTER_TEXT_CASE_FOLD_H

#include <string>
#include <string_view>

/// The upper-case form of the code point `c` by Unicode 14's simple mappings
/// within the Basic Multilingual Plane (Latin, Greek, Cyrillic, Armenian,
/// Georgian, Cherokee, fullwidth forms and the like); `c` itself otherwise,
/// and for dotless i and long s, which Windows does not equate with I and S.
char32_t FoldCodePoint(char32_t c);

/// `text` with each UTF-8 sequence's code point folded, other bytes kept:
/// names that give the same text are one name to Windows.
std::string FoldCase(std::string_view text);

#endif  // STARTER_TEXT_CASE_FOLD_H
