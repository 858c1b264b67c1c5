#include "starter/child_process.h"

#include <cwchar>

#include "starter/app_identity.h"
#include "text/text_convert.h"

std::wstring BuildChildCommandLine(const std::wstring& destination) {
  return L"\"" + destination + kExeRelativePath + L"\" " + kAppName;
}

std::unique_ptr<wchar_t[]> MakeWritableCommandLine(const std::wstring& commandLine) {
  const std::size_t room = commandLine.size() + 20;
  std::unique_ptr<wchar_t[]> copy(new wchar_t[room]());
  commandLine.copy(copy.get(), commandLine.size());
  return copy;
}

bool ProgramBelowDestination(const std::wstring& destination, const std::wstring& program,
                             std::string& relative) {
  const std::size_t start = destination.size() + 1;
  if (program.size() <= start || program.compare(0, destination.size(), destination) != 0 ||
      (program[destination.size()] != L'\\' && program[destination.size()] != L'/')) {
    return false;
  }
  std::wstring below = program.substr(start);
  for (wchar_t& c : below) {
    if (c == L'\\') {
      c = L'/';
    }
  }
  relative = WideToUtf8(below.c_str());
  return true;
}

std::wstring FormatLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError) {
  wchar_t code[16];
  std::swprintf(code, sizeof code / sizeof code[0], L"%x", static_cast<unsigned>(creationError));
  return L"Couldn't start:\n" + commandLine + L"\nCreateProcess() returned " + code + L".";
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
  std::vector<std::wstring> arguments;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();
  while (true) {
    while (i < n && (commandLine[i] == L' ' || commandLine[i] == L'\t')) {
      ++i;
    }
    if (i >= n) {
      break;
    }
    std::wstring argument;
    if (arguments.empty()) {
      // The program name knows no escapes: a quoted one runs to the next
      // quote, an unquoted one to the next blank or tab.
      if (commandLine[i] == L'"') {
        const std::size_t close = commandLine.find(L'"', i + 1);
        const std::size_t end = close == std::wstring::npos ? n : close;
        argument = commandLine.substr(i + 1, end - i - 1);
        i = close == std::wstring::npos ? n : close + 1;
      } else {
        while (i < n && commandLine[i] != L' ' && commandLine[i] != L'\t') {
          argument += commandLine[i++];
        }
      }
      arguments.push_back(argument);
      continue;
    }
    bool quoted = false;
    while (i < n) {
      const wchar_t c = commandLine[i];
      if (!quoted && (c == L' ' || c == L'\t')) {
        break;
      }
      if (c == L'\\') {
        std::size_t backslashes = 0;
        while (i < n && commandLine[i] == L'\\') {
          ++backslashes;
          ++i;
        }
        if (i < n && commandLine[i] == L'"') {
          // 2n backslashes and a quote: n backslashes, the quote toggles;
          // 2n+1: n backslashes and a literal quote.
          argument.append(backslashes / 2, L'\\');
          if (backslashes % 2 == 1) {
            argument += L'"';
            ++i;
          }
        } else {
          argument.append(backslashes, L'\\');
        }
        continue;
      }
      if (c == L'"') {
        // Inside quotes, a doubled quote stands for one literal quote.
        if (quoted && i + 1 < n && commandLine[i + 1] == L'"') {
          argument += L'"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      argument += c;
      ++i;
    }
    arguments.push_back(argument);
  }
  return arguments;
}
