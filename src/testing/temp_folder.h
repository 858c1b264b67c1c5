// Test support: a fresh, empty folder that is removed with everything in it
// when the object goes out of scope.
#ifndef STARTER_TESTING_TEMP_FOLDER_H
#define STARTER_TESTING_TEMP_FOLDER_H

#include <filesystem>
#include <string>

namespace testing_support {

class TempFolder {
 public:
  /// Creates a new folder below `parent` (empty: the system's temporary
  /// directory), its name starting with `prefix`. Throws
  /// std::filesystem::filesystem_error when it cannot be created.
  explicit TempFolder(const std::string& prefix = "starter-test-",
                      const std::filesystem::path& parent = std::filesystem::path());
  /// Removes the folder and its contents; errors are ignored.
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  /// The folder's path.
  const std::filesystem::path& path() const { return path_; }
  /// The folder's path joined with `relative` ('/'-separated UTF-8).
  std::filesystem::path operator/(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

/// Reads a whole file as bytes; an empty string when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& file);

/// Writes `bytes` to `file`, replacing it. Returns false on failure.
bool WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

}  // namespace testing_support

#endif  // STARTER_TESTING_TEMP_FOLDER_H
