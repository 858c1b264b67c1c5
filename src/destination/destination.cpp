#include "destination/destination.h"

#include <filesystem>

#include "destination/temporary_directory.h"
#include "text/text_convert.h"

std::wstring MakeDestinationPath(const std::wstring& appName) {
  std::wstring path = PathToWide(TemporaryDirectory());
  const auto preferred = static_cast<wchar_t>(std::filesystem::path::preferred_separator);
  if (path.empty() || (path.back() != preferred && path.back() != L'/')) {
    path += preferred;
  }
  return path + appName;
}
