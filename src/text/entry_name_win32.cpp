#include <windows.h>

#include "text/entry_name.h"

const EntryNameRules kPlatformEntryNameRules = EntryNameRules::kWindows;

std::string FoldPathComponent(std::string_view component) {
  const std::string original(component);
  if (component.empty() || component.size() > 0x7FFFFFFF) {
    return original;
  }
  const int length = static_cast<int>(component.size());
  const int wideLength =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, component.data(), length, nullptr, 0);
  if (wideLength <= 0) {
    return original;
  }
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, component.data(), length, &wide[0],
                      wideLength);
  std::wstring upper(wide.size(), L'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), wideLength, &upper[0],
                    wideLength, nullptr, nullptr, 0) != wideLength) {
    return original;
  }
  const int narrowLength =
      WideCharToMultiByte(CP_UTF8, 0, upper.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (narrowLength <= 0) {
    return original;
  }
  std::string folded(static_cast<std::size_t>(narrowLength), '\0');
  WideCharToMultiByte(CP_UTF8, 0, upper.data(), wideLength, &folded[0], narrowLength, nullptr,
                      nullptr);
  return folded;
}
