#include <windows.h>

#include <climits>

#include "text/entry_name.h"
#include "text/text_convert.h"

const EntryNameRules kPlatformEntryNameRules = EntryNameRules::kWindows;

std::string FoldPathComponent(std::string_view component) {
  // WideToUtf8 reads up to a NUL, so a component holding one stays as it is.
  if (!IsValidUtf8(component) || component.find('\0') != std::string_view::npos) {
    return std::string(component);
  }
  const std::wstring wide = Utf8ToWide(component.data(), component.size());
  std::wstring upper(wide.size(), L'\0');
  const int length = static_cast<int>(wide.size());
  if (wide.empty() || LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), length,
                                    upper.data(), length, nullptr, nullptr, 0) != length) {
    return std::string(component);
  }
  return WideToUtf8(upper.c_str());
}
