#include "destination/folder_walker.h"

std::vector<std::string> FolderWalker::Components(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) {
      end = name.size();
    }
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  return parts;
}

std::filesystem::path FolderWalker::Below(const std::filesystem::path& folder,
                                          const std::vector<std::string>& parts,
                                          std::size_t count) {
  std::filesystem::path path = folder;
  for (std::size_t i = 0; i < count; ++i) {
    path /= std::filesystem::u8path(parts[i]);
  }
  return path;
}
