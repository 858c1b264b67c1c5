#include "text/text_convert.h"

#include <cstdint>
#include <string_view>

#include "text/entry_name.h"

constexpr char32_t kReplacement = 0xFFFD;

std::string WideToUtf8(const wchar_t* text) {
  std::string result;
  for (const wchar_t* p = text; p != nullptr && *p != L'\0'; ++p) {
    const auto point = static_cast<char32_t>(static_cast<std::uint32_t>(*p));
    const bool character = point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    AppendUtf8(result, character ? point : kReplacement);
  }
  return result;
}

std::wstring Utf8ToWide(const char* text, std::size_t byteCount) {
  std::wstring result;
  const std::string_view bytes =
      text == nullptr ? std::string_view() : std::string_view(text, byteCount);
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = Utf8SequenceLength(bytes, i);
    result +=
        static_cast<wchar_t>(length == 0 ? kReplacement : DecodeUtf8Sequence(bytes, i, length));
    i += length == 0 ? Utf8IllFormedLength(bytes, i) : length;
  }
  return result;
}

std::filesystem::path WideToPath(const std::wstring& text) {
  return std::filesystem::u8path(WideToUtf8(text.c_str()));
}

std::wstring PathToWide(const std::filesystem::path& path) {
  const std::string& native = path.native();
  return Utf8ToWide(native.data(), native.size());
}
