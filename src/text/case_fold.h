// Comparing names the way a case-insensitive file system does.
#ifndef STARTER_TEXT_CASE_FOLD_H
#define STARTER_TEXT_CASE_FOLD_H

#include <string>
#include <string_view>

/// The upper-case form of the code point `c` when it is a letter of the Basic
/// Multilingual Plane with a one-to-one upper-case mapping (Unicode 14 simple
/// mappings: ASCII, Latin, Greek, Cyrillic, Armenian, Georgian, Glagolitic,
/// Coptic, Cherokee, fullwidth forms and the like); `c` itself otherwise,
/// and for the two letters whose upper-case form is ASCII (dotless i, long
/// s), which Windows does not equate with I and S.
char32_t FoldCodePoint(char32_t c);

/// `text` with every UTF-8 sequence replaced by that of its FoldCodePoint;
/// bytes that start no valid sequence are kept as they are. Two names for
/// which it gives the same text are one name to Windows.
std::string FoldCase(std::string_view text);

#endif  // STARTER_TEXT_CASE_FOLD_H
