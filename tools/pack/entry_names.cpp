#include "pack/entry_names.h"

#include <cstddef>
#include <cstdio>
#include <vector>

namespace pack {

namespace {

// Validation and display share this, so they agree on what is UTF-8.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) {
      low = 0xA0;  // overlong below U+0800
    } else if (lead == 0xED) {
      high = 0x9F;  // surrogates
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) {
      low = 0x90;  // overlong below U+10000
    } else if (lead == 0xF4) {
      high = 0x8F;  // above U+10FFFF
    }
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  if (byte(i + 1) < low || byte(i + 1) > high) {
    return 0;
  }
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
      return 0;
    }
  }
  return length;
}

unsigned char AsciiUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

std::vector<std::string_view> SplitComponents(std::string_view name) {
  std::vector<std::string_view> parts;
  if (!name.empty() && name.back() == '/') {
    name.remove_suffix(1);
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = name.find('/', start);
    if (slash == std::string_view::npos) {
      parts.push_back(name.substr(start));
      return parts;
    }
    parts.push_back(name.substr(start, slash - start));
    start = slash + 1;
  }
}

}  // namespace

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

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

int CompareSiblingNames(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char ua = AsciiUpper(static_cast<unsigned char>(a[i]));
    const unsigned char ub = AsciiUpper(static_cast<unsigned char>(b[i]));
    if (ua != ub) {
      return ua < ub ? -1 : 1;
    }
  }
  if (a.size() != b.size()) {
    return a.size() < b.size() ? -1 : 1;
  }
  const int raw = a.compare(b);
  return raw < 0 ? -1 : (raw > 0 ? 1 : 0);
}

bool EntryNameLess(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> pa = SplitComponents(a);
  const std::vector<std::string_view> pb = SplitComponents(b);
  const std::size_t common = pa.size() < pb.size() ? pa.size() : pb.size();
  for (std::size_t i = 0; i < common; ++i) {
    const int order = CompareSiblingNames(pa[i], pb[i]);
    if (order != 0) {
      return order < 0;
    }
  }
  if (pa.size() != pb.size()) {
    return pa.size() < pb.size();
  }
  return a < b;
}

std::string CheckComponentName(std::string_view component) {
  if (component.find('\\') != std::string_view::npos) {
    return "holds a backslash";
  }
  if (!IsValidUtf8(component)) {
    return "is not valid UTF-8";
  }
  return std::string();
}

std::string CheckRelativeFilePath(std::string_view path) {
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
  for (const std::string_view part : SplitComponents(path)) {
    if (part.empty() || part == "." || part == "..") {
      return "has an empty, '.' or '..' component";
    }
  }
  return std::string();
}

std::string DisplayName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    if (length == 1 && c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
    ++i;
  }
  return out;
}

}  // namespace pack
