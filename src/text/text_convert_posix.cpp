#include "text/text_convert.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t code) {
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    code = kReplacement;
  }
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::string WideToUtf8(const wchar_t* text) {
  std::string result;
  if (text == nullptr) {
    return result;
  }
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    AppendUtf8(result, static_cast<char32_t>(static_cast<std::uint32_t>(*p)));
  }
  return result;
}

std::wstring Utf8ToWide(const char* text, std::size_t byteCount) {
  std::wstring result;
  if (text == nullptr) {
    return result;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < byteCount) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      result += static_cast<wchar_t>(lead);
      ++i;
      continue;
    }
    // An ill-formed sequence is replaced by one U+FFFD per maximal subpart,
    // the way the Windows conversion treats it.
    std::size_t length = 0;
    char32_t code = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
      if (lead == 0xE0)
        low = 0xA0;
      if (lead == 0xED)
        high = 0x9F;  // no UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
      if (lead == 0xF0)
        low = 0x90;
      if (lead == 0xF4)
        high = 0x8F;  // nothing above U+10FFFF
    } else {
      result += static_cast<wchar_t>(kReplacement);
      ++i;
      continue;
    }
    std::size_t taken = 1;
    bool complete = true;
    for (; taken < length; ++taken) {
      if (i + taken >= byteCount) {
        complete = false;
        break;
      }
      const unsigned char next = bytes[i + taken];
      const unsigned char lowest = taken == 1 ? low : 0x80;
      const unsigned char highest = taken == 1 ? high : 0xBF;
      if (next < lowest || next > highest) {
        complete = false;
        break;
      }
      code = (code << 6) | (next & 0x3F);
    }
    result += static_cast<wchar_t>(complete ? code : kReplacement);
    i += taken;
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
