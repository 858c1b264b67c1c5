// A stand-in application for runs that share one unpacked tree. Packed at the
// application's executable path with a manifest of every file of its tree, it
// checks, again and again for as long as it runs, that each file is there,
// whole: the size and FNV-1a 64 hash the manifest gives. Its environment:
//   TREE_CHECK_REPORT    the file to write the verdict to; "<it>.started"
//                        (holding "pid=<process id>") is written first
//   TREE_CHECK_FOR_MS    how long to keep checking (default 1000)
//   TREE_CHECK_WAIT_FOR  a file to wait for (at most two minutes), checking
//                        meanwhile, so that a test can hold it running
//   TREE_CHECK_ABSENT    a path in the tree ('/'-separated) that must not be
//                        there: what an older tree held and this one does not
// The report's lines: "checks=<full passes over the tree>", then
// "verdict=whole" or "verdict=broken <path>: <what>" for the first fault.
// The manifest, <tree>/manifest.txt, holds a line "<size> <hash in hex> <path>"
// per file, the path '/'-separated from the tree's top; the tree's top is four
// levels above the program (quillorbite/Binaries/Win64/<program>).
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

constexpr int kProgramDepth = 4;
constexpr std::chrono::milliseconds kPause{100};
constexpr std::chrono::seconds kLongestHold{120};

struct Expected {
  std::uint64_t size = 0;
  std::uint64_t hash = 0;
  std::string path;
};

fs::path OwnPath(char** argv) {
#ifdef _WIN32
  (void)argv;
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  fs::path path(words[0]);
  LocalFree(words);
  return path;
#else
  return fs::path(argv[0]);
#endif
}

long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::uint64_t Fnv1a64(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return hash;
}

bool ReadWhole(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::vector<Expected> ReadManifest(const fs::path& tree) {
  std::vector<Expected> files;
  std::ifstream in(tree / "manifest.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Expected expected;
    fields >> expected.size >> std::hex >> expected.hash >> std::dec;
    std::getline(fields >> std::ws, expected.path);
    files.push_back(expected);
  }
  return files;
}

// Empty when every file is whole; otherwise what is wrong with the first
// that is not.
std::string CheckTree(const fs::path& tree, const std::vector<Expected>& files,
                      const std::string& absent) {
  if (!absent.empty() && fs::exists(tree / fs::u8path(absent))) {
    return absent + ": there, left by an older tree";
  }
  for (const Expected& expected : files) {
    std::string bytes;
    if (!ReadWhole(tree / fs::u8path(expected.path), bytes)) {
      return expected.path + ": missing";
    }
    if (bytes.size() != expected.size) {
      return expected.path + ": " + std::to_string(bytes.size()) + " bytes, not " +
             std::to_string(expected.size);
    }
    if (Fnv1a64(bytes) != expected.hash) {
      return expected.path + ": other content";
    }
  }
  return "";
}

void WriteText(const std::string& file, const std::string& text) {
  std::ofstream out(fs::u8path(file), std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace

int main(int, char** argv) {
  const std::string report = Environment("TREE_CHECK_REPORT");
  const std::string waitFor = Environment("TREE_CHECK_WAIT_FOR");
  const std::string forText = Environment("TREE_CHECK_FOR_MS");
  const std::string absent = Environment("TREE_CHECK_ABSENT");
  const std::chrono::milliseconds checkFor(forText.empty() ? 1000 : std::atoi(forText.c_str()));
  if (!report.empty()) {
    WriteText(report + ".started", "pid=" + std::to_string(ProcessId()) + "\n");
  }

  fs::path tree = fs::absolute(OwnPath(argv));
  for (int level = 0; level < kProgramDepth; ++level) {
    tree = tree.parent_path();
  }
  const std::vector<Expected> files = ReadManifest(tree);
  std::string fault = files.empty() ? "manifest.txt: missing or empty" : "";

  const auto start = std::chrono::steady_clock::now();
  long checks = 0;
  while (fault.empty()) {
    fault = CheckTree(tree, files, absent);
    ++checks;
    const auto now = std::chrono::steady_clock::now();
    const bool held =
        !waitFor.empty() && !fs::exists(fs::u8path(waitFor)) && now - start < kLongestHold;
    if (now - start >= checkFor && !held) {
      break;
    }
    std::this_thread::sleep_for(kPause);
  }
  if (!report.empty()) {
    WriteText(report, "checks=" + std::to_string(checks) + "\nverdict=" +
                          (fault.empty() ? std::string("whole") : "broken " + fault) + "\n");
  }
  return fault.empty() ? 0 : 1;
}
