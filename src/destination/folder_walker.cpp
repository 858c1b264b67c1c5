#include "destination/folder_walker.h"

#include "text/entry_name.h"

namespace fs = std::filesystem;

std::vector<std::string> FolderWalker::Components(const std::string& name) {
  std::vector<std::string> parts;
  for (const std::string_view part : SplitPathLevels(name)) {
    if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
  }
  return parts;
}

namespace {

// `folder` joined with the first `count` of `parts`.
fs::path Below(const fs::path& folder, const std::vector<std::string>& parts, std::size_t count) {
  fs::path path = folder;
  for (std::size_t i = 0; i < count; ++i) {
    path /= fs::u8path(parts[i]);
  }
  return path;
}

}  // namespace

FolderWalker::Step FolderWalker::EnterParent(const std::vector<std::string>& parts,
                                             std::error_code& error) {
  const std::size_t count = parts.size() - 1;
  for (std::size_t i = Restart(parts, count); i < count; ++i) {
    const Step step = Enter(parts[i], error);
    if (step != Step::kEntered) {
      return step;
    }
  }
  return Step::kEntered;
}

bool FolderWalker::EnterParentOfFile(const std::string& name, std::string& last,
                                     std::intptr_t& file, std::error_code& error) {
  file = -1;
  const std::vector<std::string> parts = Components(name);
  if (parts.empty()) {
    error = FolderItself();
    return false;
  }
  last = parts.back();
  return EnterParent(parts, error) == Step::kEntered;
}

bool FolderWalker::CreateFolder(const std::string& name) {
  const std::vector<std::string> parts = Components(name);
  if (parts.empty()) {
    return true;  // the walker's own folder
  }
  std::error_code error;
  Step step = EnterParent(parts, error);
  if (step == Step::kEntered) {
    step = MakeLast(parts.back(), error);
  }
  if (step == Step::kEntered || step == Step::kLink) {
    return step == Step::kEntered;
  }
  throw fs::filesystem_error("create_directory", Below(path_, parts, parts.size()), error);
}

bool FolderWalker::CreateParents(const std::string& name) {
  const std::vector<std::string> parts = Components(name);
  const std::size_t count = parts.empty() ? 0 : parts.size() - 1;
  for (std::size_t i = Restart(parts, count); i < count; ++i) {
    std::error_code error;
    Step step = Enter(parts[i], error);
    const char* operation = "exists";
    if (step == Step::kMissing) {
      // Made here or by someone else meanwhile: entered the same way.
      operation = "create_directories";
      step = Make(parts[i], error) ? Enter(parts[i], error) : Step::kFailed;
    }
    if (step == Step::kLink) {
      return false;
    }
    if (step != Step::kEntered) {
      throw fs::filesystem_error(step == Step::kNotFolder ? "create_directories" : operation,
                                 Below(path_, parts, i + 1), error);
    }
  }
  return true;
}

bool FolderWalker::CreateFileForWriting(const std::string& name, std::uint32_t posixMode,
                                        std::intptr_t& file, std::error_code& error) {
  std::string last;
  return EnterParentOfFile(name, last, file, error) && CreateFileHere(last, posixMode, file, error);
}

bool FolderWalker::OpenExisting(const std::string& name, std::intptr_t& file,
                                std::error_code& error) {
  std::string last;
  return EnterParentOfFile(name, last, file, error) && OpenHere(last, file, error);
}
