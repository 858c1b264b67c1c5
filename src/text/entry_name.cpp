#include "text/entry_name.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// How many bytes from `i` on begin a well-formed sequence, with the length in
// `length` that sequence would have (0 after a byte that leads none).
std::size_t WellFormedPrefix(std::string_view text, std::size_t i, std::size_t& length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  length = lead < 0x80                    ? 1
           : lead >= 0xC2 && lead <= 0xDF ? 2
           : lead >= 0xE0 && lead <= 0xEF ? 3
           : lead >= 0xF0 && lead <= 0xF4 ? 4
                                          : 0;
  // The second byte's range is narrower after four leads: E0 and F0 would
  // start overlong forms, ED surrogates, F4 values above U+10FFFF.
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  std::size_t prefix = length == 0 ? 0 : 1;
  while (prefix < length && i + prefix < text.size() &&
         byte(i + prefix) >= (prefix == 1 ? low : 0x80) &&
         byte(i + prefix) <= (prefix == 1 ? high : 0xBF)) {
    ++prefix;
  }
  return prefix;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  std::size_t length = 0;
  return WellFormedPrefix(text, i, length) == length ? length : 0;
}

std::size_t Utf8IllFormedLength(std::string_view text, std::size_t i) {
  std::size_t length = 0;
  return std::max<std::size_t>(WellFormedPrefix(text, i, length), 1);
}

bool IsValidUtf8(std::string_view text) {
  std::size_t length = 1;
  for (std::size_t i = 0; i < text.size() && length != 0; i += length) {
    length = Utf8SequenceLength(text, i);
  }
  return length != 0;
}

char32_t DecodeUtf8Sequence(std::string_view text, std::size_t i, std::size_t length) {
  // The lead byte keeps 7 bits alone, and 5, 4 or 3 before 1, 2 or 3 more.
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  char32_t point = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  }
  return point;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string units;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    char32_t point = length == 0 ? kReplacement : DecodeUtf8Sequence(text, i, length);
    if (point >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      point = 0xDC00 + (point & 0x3FF);
    }
    units.push_back(static_cast<char16_t>(point));
    i += std::max<std::size_t>(length, 1);
  }
  return units;
}

bool IsSafeEntryName(std::string_view name, EntryNameRules rules) {
  const bool windows = rules == EntryNameRules::kWindows;
  const bool drive =
      name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]));
  if (name.empty() || name.front() == '/' || drive ||
      name.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos ||
      (windows && !IsValidUtf8(name))) {
    return false;
  }
  const std::vector<std::string_view> levels = SplitPathLevels(name);
  return std::none_of(levels.begin(), levels.end(), [&](std::string_view level) {
    return level == ".." || (windows && !WindowsNameProblem(level).empty());
  });
}

std::string WindowsNameProblem(std::string_view component) {
  if (component.empty() || component == "." || component == "..") {
    return std::string();
  }
  for (const char c : component) {
    if (static_cast<unsigned char>(c) < 0x20) {
      return "holds a control character";
    }
    if (std::string_view(":<>\"|?*").find(c) != std::string_view::npos) {
      return std::string("holds '") + c + "'";
    }
  }
  if (component.back() == '.' || component.back() == ' ') {
    return "ends in '.' or ' '";
  }
  // Windows opens the device, not a file, for these names, whatever follows
  // the first dot and whatever blanks trail the base name.
  std::string base(component.substr(0, component.find('.')));
  base.erase(base.find_last_not_of(' ') + 1);
  // The device names are ASCII: only ASCII letters need upper-casing.
  std::transform(base.begin(), base.end(), base.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  const bool comOrLpt = base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0;
  const bool device = base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" ||
                      base == "CONIN$" || base == "CONOUT$" ||
                      (comOrLpt && base.size() == 4 && base[3] >= '0' && base[3] <= '9') ||
                      (comOrLpt && base.size() == 5 && base[3] == '\xC2' &&
                       (base[4] == '\xB9' || base[4] == '\xB2' || base[4] == '\xB3'));
  return device ? "is a Windows device name" : std::string();
}

std::string PlainNameProblem(std::string_view name) {
  const bool separator = name.find_first_of("/\\") != std::string_view::npos;
  return name.empty()                  ? "is empty"
         : name == "." || name == ".." ? "is '.' or '..', not a folder name"
         : separator                   ? "holds a '/' or '\\': it must be a plain folder name"
         : !IsValidUtf8(name)          ? "is not valid UTF-8"
                                       : WindowsNameProblem(name);
}

std::string RelativePathProblem(std::string_view path) {
  const std::vector<std::string_view> levels = SplitPathLevels(path);
  const bool badLevel = std::any_of(levels.begin(), levels.end(), [](std::string_view level) {
    return level.empty() || level == "." || level == "..";
  });
  return path.empty()                                ? "is empty"
         : path.front() == '/'                       ? "is not relative"
         : path.back() == '/'                        ? "ends in '/'"
         : path.find('\\') != std::string_view::npos ? "holds a backslash (use '/')"
         : !IsValidUtf8(path)                        ? "is not valid UTF-8"
         : badLevel                                  ? "has an empty, '.' or '..' component"
                                                     : "";
}

std::vector<std::string_view> SplitPathLevels(std::string_view path) {
  std::vector<std::string_view> levels;
  std::size_t start = 0;
  for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', start)) {
    levels.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  levels.push_back(path.substr(start));
  return levels;
}
