#include "pack/entry_names.h"

#include "starter/identity_block.h"
#include "text/case_fold.h"
#include "text/entry_name.h"

#include <cstddef>
#include <cstdio>
#include <map>
#include <vector>

namespace pack {

namespace {

unsigned char AsciiUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// An entry name without a folder's trailing '/'.
std::string_view WithoutFolderSlash(std::string_view name) {
  return !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
}

std::vector<std::string_view> SplitComponents(std::string_view name) {
  return SplitPathLevels(WithoutFolderSlash(name));
}

}  // namespace

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

std::vector<CaseCollision> FindCaseCollisions(const std::vector<std::string>& names) {
  const auto parentOf = [](const std::string& name) {
    std::vector<std::string_view> levels = SplitComponents(name);
    levels.pop_back();
    return levels;
  };
  std::vector<CaseCollision> collisions;
  std::map<std::string, std::size_t> firstByFolded;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const auto inserted = firstByFolded.emplace(FoldCase(WithoutFolderSlash(name)), i);
    if (inserted.second) {
      continue;
    }
    const std::size_t earlier = inserted.first->second;
    // Different parents that fold alike are a collision reported already.
    if (parentOf(names[earlier]) == parentOf(name)) {
      collisions.push_back(CaseCollision{names[earlier], names[i]});
    }
  }
  return collisions;
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
  for (const std::string_view level : SplitComponents(path)) {
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
