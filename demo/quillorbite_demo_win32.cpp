#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <string>

#include "quillorbite_demo.h"

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) {
    return std::string();
  }
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                        nullptr, nullptr);
  }
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) {
    return std::wstring();
  }
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
  }
  return out;
}

// A console would show UTF-8 bytes in its own code page, garbling every name
// outside ASCII, so a console gets the text through the wide call; a pipe or
// a file gets UTF-8, as the starter writes its own messages.
void Write(HANDLE handle, std::FILE* stream, const std::string& text) {
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

// The ANSI argv holds the program's path in the ANSI code page, which loses
// or mangles any character outside it (a temporary folder named in another
// script); the wide command line keeps every one.
int main() {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr || count < 1) {
    Write(GetStdHandle(STD_ERROR_HANDLE), stderr, "quillorbite demo: no command line\n");
    return 1;
  }
  const std::filesystem::path self(words[0]);
  const std::optional<std::string> argument =
      count > 1 ? std::optional<std::string>(Utf8(words[1])) : std::nullopt;
  LocalFree(words);
  try {
    Write(GetStdHandle(STD_OUTPUT_HANDLE), stdout, DemoReport(self, argument));
  } catch (const std::exception& failure) {
    Write(GetStdHandle(STD_ERROR_HANDLE), stderr,
          std::string("quillorbite demo: ") + failure.what() + "\n");
    return 1;
  }
  return 0;
}
