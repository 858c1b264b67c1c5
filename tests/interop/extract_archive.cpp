// Test tool: unpacks a ZIP archive file into a folder through the starter's
// own extraction driver, so archives written by other tools can be compared
// with what other unpackers make of them.
//
// Usage: extract_archive ARCHIVE DESTINATION [WORKERS]
// WORKERS: the extraction's worker threads (default: one per core). Prints the progress log on
// standard output; exits 1 when the extraction throws, 2 on a usage error.
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "extract/extract.h"
#include "text/text_convert.h"

int main(int argc, char** argv) {
  unsigned workers = 0;
  if (argc == 4) {
    try {
      workers = static_cast<unsigned>(std::stoul(argv[3]));
    } catch (const std::exception&) {
      argc = 0;
    }
  }
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: extract_archive ARCHIVE DESTINATION [WORKERS]\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string destinationText = argv[2];
  const std::wstring destination = Utf8ToWide(destinationText.data(), destinationText.size());
  try {
    const wchar_t* log =
        ExtractPayload(archive.data(), archive.size(), destination.c_str(), workers);
    std::cout << WideToUtf8(log) << std::endl;
  } catch (const std::exception& error) {
    std::cerr << error.what() << std::endl;
    return 1;
  }
  return 0;
}
