// Test support: environment variables set for the length of a scope.
#ifndef STARTER_TESTING_ENVIRONMENT_H
#define STARTER_TESTING_ENVIRONMENT_H

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

/// Sets (or, with nullopt, unsets) an environment variable of this process and
/// restores its earlier value on destruction.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

/// Points the system's temporary directory query at `folder` for the length of
/// a scope (TMPDIR on POSIX; TMP and TEMP on Windows). `folder` is used as
/// text, exactly as given.
class ScopedTemporaryDirectory {
 public:
  explicit ScopedTemporaryDirectory(const std::string& folder);

 private:
  ScopedEnvironmentVariable tmpdir_;
  ScopedEnvironmentVariable tmp_;
  ScopedEnvironmentVariable temp_;
};

}  // namespace testing_support

#endif  // STARTER_TESTING_ENVIRONMENT_H
