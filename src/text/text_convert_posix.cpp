#include "text/text_convert.h"

#include <cstdint>
#include <string_view>

#include "text/entry_name.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// The bytes any well-formed sequence may go on with after its second.
constexpr char kContinuation = '\x80';
constexpr std::size_t kLongestSequence = 4;

// How many bytes of the ill-formed sequence at `i` one U+FFFD replaces: its
// maximal subpart, the longest start of some well-formed sequence, or else
// the one byte, the way the Windows conversion counts them. A start is
// tried by completing it with continuation bytes.
std::size_t IllFormedLength(std::string_view text, std::size_t i) {
  std::size_t length = 1;
  while (length + 1 < kLongestSequence && i + length < text.size()) {
    std::string completed(text.substr(i, length + 1));
    completed.resize(kLongestSequence, kContinuation);
    if (Utf8SequenceLength(completed, 0) <= length + 1) {
      break;
    }
    ++length;
  }
  return length;
}

}  // namespace

std::string WideToUtf8(const wchar_t* text) {
  std::string result;
  if (text == nullptr) {
    return result;
  }
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    char32_t point = static_cast<char32_t>(static_cast<std::uint32_t>(*p));
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      point = kReplacement;
    }
    AppendUtf8(result, point);
  }
  return result;
}

std::wstring Utf8ToWide(const char* text, std::size_t byteCount) {
  std::wstring result;
  if (text == nullptr) {
    return result;
  }
  const std::string_view bytes(text, byteCount);
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0) {
      result += static_cast<wchar_t>(kReplacement);
      i += IllFormedLength(bytes, i);
      continue;
    }
    result += static_cast<wchar_t>(DecodeUtf8Sequence(bytes, i, length));
    i += length;
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
