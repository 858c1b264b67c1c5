#include "pack/entry_names.h"

#include "starter/identity_block.h"
#include "text/case_fold.h"
#include "text/entry_name.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace pack {

namespace {

// An ASCII letter upper-cased; any other byte unchanged.
unsigned char AsciiUpper(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - ('a' - 'A')) : byte;
}

// An entry name without a folder's trailing '/'.
std::string_view WithoutFolderSlash(std::string_view name) {
  return !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
}

}  // namespace

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

int CompareSiblingNames(std::string_view a, std::string_view b) {
  // Compared in place: the walk sorts every folder with this. Bytes compare
  // as unsigned char, as std::string compares them.
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) {
      return AsciiUpper(a[i]) < AsciiUpper(b[i]) ? -1 : 1;
    }
  }
  const int order = a.size() != b.size() ? (a.size() < b.size() ? -1 : 1) : a.compare(b);
  return (order > 0) - (order < 0);
}

bool EntryNameLess(std::string_view a, std::string_view b) {
  const std::vector<std::string_view> pa = SplitPathLevels(WithoutFolderSlash(a));
  const std::vector<std::string_view> pb = SplitPathLevels(WithoutFolderSlash(b));
  if (pa == pb) {
    return a < b;
  }
  return std::lexicographical_compare(
      pa.begin(), pa.end(), pb.begin(), pb.end(),
      [](std::string_view x, std::string_view y) { return CompareSiblingNames(x, y) < 0; });
}

std::vector<CaseCollision> FindCaseCollisions(const std::vector<std::string>& names) {
  const auto parentOf = [](std::string_view name) {
    name = WithoutFolderSlash(name);
    return name.substr(0, name.find_last_of('/') + 1);  // "" at the top
  };
  std::vector<CaseCollision> collisions;
  std::map<std::string, std::size_t> firstByFolded;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto [slot, isFirst] = firstByFolded.emplace(FoldCase(WithoutFolderSlash(names[i])), i);
    // Different parents that fold alike are a collision reported already.
    const std::string& earlier = names[slot->second];
    if (!isFirst && parentOf(earlier) == parentOf(names[i])) {
      collisions.push_back(CaseCollision{earlier, names[i]});
    }
  }
  return collisions;
}

std::string CheckComponentName(std::string_view component) {
  return component.find('\\') != std::string_view::npos ? "holds a backslash"
         : !IsValidUtf8(component)                      ? "is not valid UTF-8"
                                                        : "";
}

std::string CheckAppName(std::string_view name) {
  const std::string problem = PlainNameProblem(name);
  if (problem.empty() && Utf8ToUtf16(name).size() > kIdentityNameCapacity) {
    return "is longer than " + std::to_string(kIdentityNameCapacity) + " UTF-16 code units";
  }
  return problem;
}

std::string CheckExecutablePath(std::string_view path) {
  const std::string problem = RelativePathProblem(path);
  if (!problem.empty()) {
    return problem;
  }
  for (const std::string_view level : SplitPathLevels(path)) {
    const std::string why = PlainNameProblem(level);
    if (!why.empty()) {
      return "has a component that " + why + " ('" + DisplayName(level) + "')";
    }
  }
  // The identity block stores the path with a leading '\'.
  if (Utf8ToUtf16(path).size() + 1 > kIdentityExePathCapacity) {
    return "is longer than " + std::to_string(kIdentityExePathCapacity - 1) + " UTF-16 code units";
  }
  return std::string();
}

std::string DisplayName(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    const bool shown = length > 1 || (length == 1 && c >= 0x20 && c < 0x7F);
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    out += shown ? std::string(text.substr(i, length)) : std::string(escaped);
    i += shown ? length : 1;
  }
  return out;
}

}  // namespace pack
