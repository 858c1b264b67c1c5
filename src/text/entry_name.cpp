#include "text/entry_name.h"

#include <algorithm>
#include <cctype>
#include <string>

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    return 1;
  }
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  // The second byte's range is narrower after four leads: E0 and F0 would
  // start overlong forms, ED surrogates, F4 values above U+10FFFF.
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
    return 0;
  }
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
      return 0;
    }
  }
  return length;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      return false;
    }
    i += length;
  }
  return true;
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
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      units.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t point = DecodeUtf8Sequence(text, i, length);
    if (point >= 0x10000) {
      point -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(point));
    }
    i += length;
  }
  return units;
}

bool IsSafeEntryName(std::string_view name, EntryNameRules rules) {
  if (name.empty() || name.front() == '/' || name.front() == '\\') {
    return false;
  }
  if (name.find('\\') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
    return false;
  }
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
    return false;
  }
  if (rules == EntryNameRules::kWindows && !IsValidUtf8(name)) {
    return false;
  }
  for (const std::string_view component : SplitPathLevels(name)) {
    if (component == "..") {
      return false;
    }
    if (rules == EntryNameRules::kWindows && !WindowsNameProblem(component).empty()) {
      return false;
    }
  }
  return true;
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
  while (!base.empty() && base.back() == ' ') {
    base.pop_back();
  }
  for (char& c : base) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const bool comOrLpt = base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0;
  const bool device = base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" ||
                      base == "CONIN$" || base == "CONOUT$" ||
                      (comOrLpt && base.size() == 4 && base[3] >= '0' && base[3] <= '9') ||
                      (comOrLpt && base.size() == 5 && base[3] == '\xC2' &&
                       (base[4] == '\xB9' || base[4] == '\xB2' || base[4] == '\xB3'));
  return device ? "is a Windows device name" : std::string();
}

std::string PlainNameProblem(std::string_view name) {
  if (name.empty()) {
    return "is empty";
  }
  if (name == "." || name == "..") {
    return "is '.' or '..', not a folder name";
  }
  if (name.find_first_of("/\\") != std::string_view::npos) {
    return "holds a '/' or '\\': it must be a plain folder name";
  }
  if (!IsValidUtf8(name)) {
    return "is not valid UTF-8";
  }
  return WindowsNameProblem(name);
}

std::string RelativePathProblem(std::string_view path) {
  if (path.empty()) {
    return "is empty";
  }
  if (path.front() == '/') {
    return "is not relative";
  }
  if (path.back() == '/') {
    return "ends in '/'";
  }
  if (path.find('\\') != std::string_view::npos) {
    return "holds a backslash (use '/')";
  }
  if (!IsValidUtf8(path)) {
    return "is not valid UTF-8";
  }
  for (const std::string_view level : SplitPathLevels(path)) {
    if (level.empty() || level == "." || level == "..") {
      return "has an empty, '.' or '..' component";
    }
  }
  return std::string();
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
