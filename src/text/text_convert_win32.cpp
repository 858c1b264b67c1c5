#include "text/text_convert.h"

#include <windows.h>

#include <climits>

std::string WideToUtf8(const wchar_t* text) {
  // With the length -1 the answer counts the terminating NUL as well.
  const int measured =
      text == nullptr ? 0 : WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (measured <= 1) {
    return std::string();
  }
  std::string result(static_cast<std::size_t>(measured - 1), '\0');
  // The string's storage has room for the terminator behind its last byte.
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), measured, nullptr, nullptr);
  return result;
}

std::wstring Utf8ToWide(const char* text, std::size_t byteCount) {
  if (text == nullptr || byteCount == 0 || byteCount > static_cast<std::size_t>(INT_MAX)) {
    return std::wstring();
  }
  const int count = static_cast<int>(byteCount);
  const int measured = MultiByteToWideChar(CP_UTF8, 0, text, count, nullptr, 0);
  if (measured <= 0) {
    return std::wstring();
  }
  std::wstring result(static_cast<std::size_t>(measured), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, count, result.data(), measured);
  return result;
}

std::filesystem::path WideToPath(const std::wstring& text) {
  return std::filesystem::path(text);
}

std::wstring PathToWide(const std::filesystem::path& path) {
  return path.native();
}
