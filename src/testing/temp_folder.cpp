#include "testing/temp_folder.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace testing_support {

TempFolder::TempFolder(const std::string& prefix, const std::filesystem::path& parent) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto base = parent.empty() ? std::filesystem::temp_directory_path() : parent;
  for (int attempt = 0;; ++attempt) {
    const std::string name =
        prefix + std::to_string(random()) + "-" + std::to_string(counter.fetch_add(1));
    std::filesystem::path candidate = base / std::filesystem::u8path(name);
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
    if (attempt > 100) {
      throw std::filesystem::filesystem_error("TempFolder", candidate, error);
    }
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  // Tests may leave read-only folders behind; make them removable again.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::operator/(const std::string& relative) const {
  return path_ / std::filesystem::u8path(relative);
}

std::string ReadFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace testing_support
