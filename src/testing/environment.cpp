#include "testing/environment.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace testing_support {

namespace {

std::optional<std::string> Get(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void Set(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // The temporary directory query reads the process environment block, which
  // _putenv_s keeps in step with the C runtime's copy.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
  SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
#else
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

}  // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const std::string& name,
                                                     const std::optional<std::string>& value)
    : name_(name), previous_(Get(name)) {
  Set(name_, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  Set(name_, previous_);
}

ScopedTemporaryDirectory::ScopedTemporaryDirectory(const std::string& folder)
    : tmpdir_("TMPDIR", folder), tmp_("TMP", folder), temp_("TEMP", folder) {}

}  // namespace testing_support
