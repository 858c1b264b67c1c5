#include "text/text_convert.h"

void AppendUtf8(std::string& out, char32_t point) {
  const int continuations = point < 0x80 ? 0 : point < 0x800 ? 1 : point < 0x10000 ? 2 : 3;
  // The lead byte: 0xxxxxxx, 110xxxxx, 1110xxxx or 11110xxx, then 10xxxxxx
  // for each further six bits.
  const char32_t lead = continuations == 0 ? 0 : (0xFF00 >> (continuations + 1)) & 0xFF;
  out += static_cast<char>(lead | (point >> (6 * continuations)));
  for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6) {
    out += static_cast<char>(0x80 | ((point >> shift) & 0x3F));
  }
}
