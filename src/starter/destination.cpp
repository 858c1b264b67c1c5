#include "starter/destination.h"

#include <filesystem>

#include "extract/text_convert.h"
#include "starter/app_identity.h"

std::wstring MakeDestinationPath() {
  std::wstring path = PathToWide(std::filesystem::temp_directory_path());
  const auto preferred = static_cast<wchar_t>(std::filesystem::path::preferred_separator);
  if (path.empty() || (path.back() != preferred && path.back() != L'/')) {
    path += preferred;
  }
  return path + kAppName;
}
