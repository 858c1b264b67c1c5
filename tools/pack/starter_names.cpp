#include "pack/starter_names.h"

#include <cstddef>

#include "pack/entry_names.h"
#include "starter/identity_block.h"
#include "text/entry_name.h"

namespace pack {

namespace {

// Why one path level cannot be a folder or file name on every platform the
// starter runs on, or "".
std::string ComponentProblem(std::string_view component) {
  if (component.empty()) {
    return "is empty";
  }
  if (component == "." || component == "..") {
    return "is not a folder name";
  }
  if (component.find('/') != std::string_view::npos ||
      component.find('\\') != std::string_view::npos) {
    return "holds a '/' or '\\': it must be a plain folder name";
  }
  if (!IsValidUtf8(component)) {
    return "is not valid UTF-8";
  }
  return WindowsNameProblem(component);
}

}  // namespace

std::string CheckAppName(std::string_view name) {
  const std::string problem = ComponentProblem(name);
  if (!problem.empty()) {
    return problem;
  }
  if (Utf8ToUtf16(name).size() > kIdentityNameCapacity) {
    return "is longer than " + std::to_string(kIdentityNameCapacity) + " UTF-16 code units";
  }
  return std::string();
}

std::string CheckExecutablePath(std::string_view path) {
  const std::string problem = CheckRelativeFilePath(path);
  if (!problem.empty()) {
    return problem;
  }
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      slash = path.size();
    }
    const std::string_view component = path.substr(start, slash - start);
    const std::string why = ComponentProblem(component);
    if (!why.empty()) {
      return "has a level '" + DisplayName(component) + "' that " + why;
    }
    start = slash + 1;
  }
  // The identity block stores the path with a leading '\'.
  if (Utf8ToUtf16(path).size() + 1 > kIdentityExePathCapacity) {
    return "is longer than " + std::to_string(kIdentityExePathCapacity - 1) + " UTF-16 code units";
  }
  return std::string();
}

}  // namespace pack
