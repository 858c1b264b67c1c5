// fuzz_replay: the fuzz target's entry function without libFuzzer, run over
// every seed archive and then every file below each CORPUS_FOLDER (what a
// fuzzing run saved; a missing folder is passed over), so that the test
// builds replay what the fuzzer found; a broken promise traps, as under
// libFuzzer. With --write-seeds it writes the seeds into FOLDER (made when
// missing) for libFuzzer to start from.
//
// Usage: fuzz_replay [CORPUS_FOLDER...]
//        fuzz_replay --write-seeds FOLDER
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "testing/sample_archives.h"
#include "testing/temp_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

void Replay(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Replays every regular file below the folder `name`, in name order; false
// when one cannot be read.
bool ReplayFolder(const char* name) {
  const fs::path folder = fs::u8path(name);
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    std::printf("no corpus in %s\n", name);
    return true;
  }
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error)) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    const std::string bytes = testing_support::ReadFileBytes(file);
    if (bytes.size() != fs::file_size(file, error)) {
      std::fprintf(stderr, "cannot read %s\n", file.u8string().c_str());
      return false;
    }
    Replay(bytes);
  }
  std::printf("%zu inputs of %s replayed\n", files.size(), name);
  return true;
}

int WriteSeeds(const char* name) {
  const fs::path folder = fs::u8path(name);
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", name, error.message().c_str());
    return 1;
  }
  const auto seeds = testing_support::FuzzSeedArchives();
  for (const auto& [file, bytes] : seeds) {
    if (!testing_support::WriteFileBytes(folder / file, bytes)) {
      std::fprintf(stderr, "cannot write %s\n", (folder / file).u8string().c_str());
      return 1;
    }
  }
  std::printf("%zu seeds in %s\n", seeds.size(), name);
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
    if (!ReplayFolder(argv[i])) {
      return 1;
    }
  }
  return 0;
}
