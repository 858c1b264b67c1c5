#include "destination/destination.h"

#include <filesystem>
#include <stdexcept>

#include "text/text_convert.h"

void RefuseToUnpack(const std::filesystem::path& path, const std::string& why) {
  throw std::runtime_error("Refusing to unpack into " + path.u8string() + ": " + why);
}

std::wstring MakeDestinationPath(const std::wstring& appName) {
  std::wstring path = PathToWide(TemporaryDirectory());
  const auto preferred = static_cast<wchar_t>(std::filesystem::path::preferred_separator);
  if (path.empty() || (path.back() != preferred && path.back() != L'/')) {
    path += preferred;
  }
  return path + appName;
}
