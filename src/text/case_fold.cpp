#include "text/case_fold.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "text/entry_name.h"
#include "text/text_convert.h"

namespace {

// The `count` code points from `first` map to themselves plus `delta` (with
// the delta -1 every other one: upper and lower case alternate there).
// Generated from the Unicode data; sorted and not overlapping.
struct FoldRange {
  std::uint16_t first;
  std::uint16_t count;
  std::int32_t delta;
};

constexpr std::int32_t kAlternatingDelta = -1;

constexpr FoldRange kFoldRanges[] = {
    {0x00B5, 1, 743},    {0x00E0, 23, -32},  {0x00F8, 7, -32},     {0x00FF, 1, 121},
    {0x0101, 47, -1},    {0x0133, 5, -1},    {0x013A, 15, -1},     {0x014B, 45, -1},
    {0x017A, 5, -1},     {0x0180, 1, 195},   {0x0183, 3, -1},      {0x0188, 1, -1},
    {0x018C, 1, -1},     {0x0192, 1, -1},    {0x0195, 1, 97},      {0x0199, 1, -1},
    {0x019A, 1, 163},    {0x019E, 1, 130},   {0x01A1, 5, -1},      {0x01A8, 1, -1},
    {0x01AD, 1, -1},     {0x01B0, 1, -1},    {0x01B4, 3, -1},      {0x01B9, 1, -1},
    {0x01BD, 1, -1},     {0x01BF, 1, 56},    {0x01C5, 1, -1},      {0x01C6, 1, -2},
    {0x01C8, 1, -1},     {0x01C9, 1, -2},    {0x01CB, 1, -1},      {0x01CC, 1, -2},
    {0x01CE, 15, -1},    {0x01DD, 1, -79},   {0x01DF, 17, -1},     {0x01F2, 1, -1},
    {0x01F3, 1, -2},     {0x01F5, 1, -1},    {0x01F9, 39, -1},     {0x0223, 17, -1},
    {0x023C, 1, -1},     {0x023F, 2, 10815}, {0x0242, 1, -1},      {0x0247, 9, -1},
    {0x0250, 1, 10783},  {0x0251, 1, 10780}, {0x0252, 1, 10782},   {0x0253, 1, -210},
    {0x0254, 1, -206},   {0x0256, 2, -205},  {0x0259, 1, -202},    {0x025B, 1, -203},
    {0x025C, 1, 42319},  {0x0260, 1, -205},  {0x0261, 1, 42315},   {0x0263, 1, -207},
    {0x0265, 1, 42280},  {0x0266, 1, 42308}, {0x0268, 1, -209},    {0x0269, 1, -211},
    {0x026A, 1, 42308},  {0x026B, 1, 10743}, {0x026C, 1, 42305},   {0x026F, 1, -211},
    {0x0271, 1, 10749},  {0x0272, 1, -213},  {0x0275, 1, -214},    {0x027D, 1, 10727},
    {0x0280, 1, -218},   {0x0282, 1, 42307}, {0x0283, 1, -218},    {0x0287, 1, 42282},
    {0x0288, 1, -218},   {0x0289, 1, -69},   {0x028A, 2, -217},    {0x028C, 1, -71},
    {0x0292, 1, -219},   {0x029D, 1, 42261}, {0x029E, 1, 42258},   {0x0345, 1, 84},
    {0x0371, 3, -1},     {0x0377, 1, -1},    {0x037B, 3, 130},     {0x03AC, 1, -38},
    {0x03AD, 3, -37},    {0x03B1, 17, -32},  {0x03C2, 1, -31},     {0x03C3, 9, -32},
    {0x03CC, 1, -64},    {0x03CD, 2, -63},   {0x03D0, 1, -62},     {0x03D1, 1, -57},
    {0x03D5, 1, -47},    {0x03D6, 1, -54},   {0x03D7, 1, -8},      {0x03D9, 23, -1},
    {0x03F0, 1, -86},    {0x03F1, 1, -80},   {0x03F2, 1, 7},       {0x03F3, 1, -116},
    {0x03F5, 1, -96},    {0x03F8, 1, -1},    {0x03FB, 1, -1},      {0x0430, 32, -32},
    {0x0450, 16, -80},   {0x0461, 33, -1},   {0x048B, 53, -1},     {0x04C2, 13, -1},
    {0x04CF, 1, -15},    {0x04D1, 95, -1},   {0x0561, 38, -48},    {0x10D0, 43, 3008},
    {0x10FD, 3, 3008},   {0x13F8, 6, -8},    {0x1C80, 1, -6254},   {0x1C81, 1, -6253},
    {0x1C82, 1, -6244},  {0x1C83, 2, -6242}, {0x1C85, 1, -6243},   {0x1C86, 1, -6236},
    {0x1C87, 1, -6181},  {0x1C88, 1, 35266}, {0x1D79, 1, 35332},   {0x1D7D, 1, 3814},
    {0x1D8E, 1, 35384},  {0x1E01, 149, -1},  {0x1E9B, 1, -59},     {0x1EA1, 95, -1},
    {0x1F00, 8, 8},      {0x1F10, 6, 8},     {0x1F20, 8, 8},       {0x1F30, 8, 8},
    {0x1F40, 6, 8},      {0x1F51, 1, 8},     {0x1F53, 1, 8},       {0x1F55, 1, 8},
    {0x1F57, 1, 8},      {0x1F60, 8, 8},     {0x1F70, 2, 74},      {0x1F72, 4, 86},
    {0x1F76, 2, 100},    {0x1F78, 2, 128},   {0x1F7A, 2, 112},     {0x1F7C, 2, 126},
    {0x1FB0, 2, 8},      {0x1FBE, 1, -7205}, {0x1FD0, 2, 8},       {0x1FE0, 2, 8},
    {0x1FE5, 1, 7},      {0x214E, 1, -28},   {0x2170, 16, -16},    {0x2184, 1, -1},
    {0x24D0, 26, -26},   {0x2C30, 48, -48},  {0x2C61, 1, -1},      {0x2C65, 1, -10795},
    {0x2C66, 1, -10792}, {0x2C68, 5, -1},    {0x2C73, 1, -1},      {0x2C76, 1, -1},
    {0x2C81, 99, -1},    {0x2CEC, 3, -1},    {0x2CF3, 1, -1},      {0x2D00, 38, -7264},
    {0x2D27, 1, -7264},  {0x2D2D, 1, -7264}, {0xA641, 45, -1},     {0xA681, 27, -1},
    {0xA723, 13, -1},    {0xA733, 61, -1},   {0xA77A, 3, -1},      {0xA77F, 9, -1},
    {0xA78C, 1, -1},     {0xA791, 3, -1},    {0xA794, 1, 48},      {0xA797, 19, -1},
    {0xA7B5, 15, -1},    {0xA7C8, 3, -1},    {0xA7D1, 1, -1},      {0xA7D7, 3, -1},
    {0xA7F6, 1, -1},     {0xAB53, 1, -928},  {0xAB70, 80, -38864}, {0xFF41, 26, -32},
};

}  // namespace

char32_t FoldCodePoint(char32_t c) {
  if (c < 0x80) {
    return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
  }
  const FoldRange* range = std::lower_bound(std::begin(kFoldRanges), std::end(kFoldRanges), c,
                                            [](const FoldRange& candidate, char32_t point) {
                                              return candidate.first + candidate.count <= point;
                                            });
  if (range == std::end(kFoldRanges) || c < range->first ||
      (range->delta == kAlternatingDelta && (c - range->first) % 2 != 0)) {
    return c;
  }
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + range->delta);
}

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out.push_back(text[i]);
    } else {
      AppendUtf8(out, FoldCodePoint(DecodeUtf8Sequence(text, i, length)));
    }
    i += std::max<std::size_t>(length, 1);
  }
  return out;
}
