// fuzz_replay: the fuzz target's entry function without libFuzzer, run over
// every seed archive and every file below the folders named on the command
// line (the corpus a fuzzing run saved; a missing folder is passed over), so
// the test builds replay what the fuzzer found. A broken promise stops the
// process with a trap, as under libFuzzer. With --write-seeds it writes the
// seed archives into FOLDER (made when missing) for libFuzzer to start from.
//
// Usage: fuzz_replay [CORPUS_FOLDER...]
//        fuzz_replay --write-seeds FOLDER
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "testing/sample_archives.h"
#include "testing/temp_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Replay(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Replays every regular file below `folder`, in name order; the count of
// files, or -1 when one cannot be read.
int ReplayFolder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error)) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const std::filesystem::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in && !in.eof()) {
      std::fprintf(stderr, "cannot read %s\n", file.u8string().c_str());
      return -1;
    }
    Replay(bytes);
  }
  return static_cast<int>(files.size());
}

int WriteSeeds(const char* folderName) {
  const std::filesystem::path folder = std::filesystem::u8path(folderName);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", folderName, error.message().c_str());
    return 1;
  }
  const auto seeds = testing_support::FuzzSeedArchives();
  for (const auto& [name, bytes] : seeds) {
    if (!testing_support::WriteFileBytes(folder / name, bytes)) {
      std::fprintf(stderr, "cannot write %s\n", (folder / name).u8string().c_str());
      return 1;
    }
  }
  std::printf("%zu seeds in %s\n", seeds.size(), folder.u8string().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--write-seeds") == 0) {
    if (argc != 3) {
      std::fprintf(stderr, "usage: %s --write-seeds FOLDER\n", argv[0]);
      return 2;
    }
    return WriteSeeds(argv[2]);
  }
  const auto seeds = testing_support::FuzzSeedArchives();
  for (const auto& seed : seeds) {
    Replay(seed.second);
  }
  std::printf("%zu seeds replayed\n", seeds.size());
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path folder = std::filesystem::u8path(argv[i]);
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
      std::printf("no corpus in %s\n", argv[i]);
      continue;
    }
    const int replayed = ReplayFolder(folder);
    if (replayed < 0) {
      return 1;
    }
    std::printf("%d inputs of %s replayed\n", replayed, argv[i]);
  }
  return 0;
}
