// Writes the seed archives of the ZIP reader fuzzer into the folder named on
// the command line, creating it when missing. Each seed shows the fuzzer one
// structure it would take long to find alone.
//
// Usage: make_seeds FOLDER
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "testing/sample_archives.h"
#include "testing/temp_folder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argc > 0 ? argv[0] : "make_seeds");
    return 2;
  }
  const std::filesystem::path folder = std::filesystem::u8path(argv[1]);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", argv[1], error.message().c_str());
    return 1;
  }
  int written = 0;
  for (const auto& [name, bytes] : testing_support::FuzzSeedArchives()) {
    if (!testing_support::WriteFileBytes(folder / name, bytes)) {
      std::fprintf(stderr, "cannot write %s\n", (folder / name).u8string().c_str());
      return 1;
    }
    ++written;
  }
  std::printf("%d seeds in %s\n", written, folder.u8string().c_str());
  return 0;
}
