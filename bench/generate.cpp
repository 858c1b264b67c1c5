// bench_gen: writes a synthetic application tree shaped like the delivered
// payload, for the benchmark.
//
// Usage: bench_gen --out DIR [--seed N] [--scale S] [--exe-head FILE]
//
// DIR must not exist yet. At scale S every file size of kEntries is multiplied
// by S, except for files below kFixedSizeBelow. The same seed, scale and head
// give the same bytes, and every file and folder gets one fixed modification
// time, so packing the tree twice gives the same archive. The executable starts
// with the bytes of --exe-head (a real program). Prints one line: folders,
// files and bytes written.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

enum class Kind {
  kExecutable,  // the head program, then code-like data
  kCode,        // machine-code-like: deflates to about 38%
  kText,        // words, lines and settings: deflates to about 30%
  kPacked,      // already compressed: does not deflate at all
  kPak,         // compressed blocks with padding: deflate hardly shrinks it
};

// A file of the tree (its folders are made for it) and its size at scale 1.
struct Entry {
  const char* path;
  Kind kind;
  std::uint64_t size;
};

constexpr std::uint64_t kFixedSizeBelow = 4096;

// The delivered payload's shape: 31 folders and 22 files, 407,197,171 bytes.
const Entry kEntries[] = {
    {"Engine/Binaries/ThirdParty/Symbols/symbols.dll", Kind::kCode, 1487216},
    {"Engine/Binaries/ThirdParty/Vendor/CrashReport/Win64/CrashReportClient.x64.dll", Kind::kCode,
     1926752},
    {"Engine/Binaries/ThirdParty/Sound/Win64/Shared/libsound_64.dll", Kind::kCode, 31232},
    {"Engine/Binaries/ThirdParty/Decode/Win64/Shared/libdecode_64.dll", Kind::kCode, 1137152},
    {"Engine/Binaries/ThirdParty/Decode/Win64/Shared/libdecodefile_64.dll", Kind::kCode, 38400},
    {"Engine/Binaries/ThirdParty/Windows/Media/x64/SpatialAudio1.dll", Kind::kCode, 55048},
    {"Engine/Binaries/ThirdParty/Windows/Media/x64/shadercompile.dll", Kind::kCode, 4173928},
    {"Engine/Binaries/ThirdParty/Windows/AudioOut2/x64/audioout2runtime.dll", Kind::kCode, 544840},
    {"Engine/Content/UiDebug/Fonts/Fallback.txt", Kind::kText, 1128},
    {"Engine/Content/UiDebug/Fonts/Fallback.ttf", Kind::kCode, 5038288},
    {"Engine/Extras/Redist/en-us/RuntimeSetup_x64.exe", Kind::kPacked, 33493289},
    {"quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe", Kind::kExecutable, 132632064},
    {"quillorbite/Binaries/Win64/store_api64.dll", Kind::kCode, 298384},
    {"quillorbite/Binaries/Win64/store_appid.txt", Kind::kText, 3},
    {"quillorbite/Binaries/Win64/jobs12.dll", Kind::kCode, 422184},
    {"quillorbite/Content/Movies/Intro.bin", Kind::kPacked, 9431552},
    {"quillorbite/Content/Paks/global.blob", Kind::kPacked, 3915776},
    {"quillorbite/Content/Paks/global.indx", Kind::kText, 1842217},
    {"quillorbite/Content/Paks/quillorbite-Windows.pak", Kind::kPak, 204761264},
    {"quillorbite/Content/Paks/quillorbite-Windows.blob", Kind::kPacked, 2434276},
    {"quillorbite/Content/Paks/quillorbite-Windows.indx", Kind::kCode, 2286940},
    {"quillorbite/Content/Splash/Splash.bmp", Kind::kCode, 1245238},
};

// 2024-05-01 12:00:00 UTC.
constexpr std::int64_t kModifiedTime = 1714564800;

// xorshift64*, seeded through splitmix64: fast, and good enough to fool deflate.
struct Rng {
  std::uint64_t state;

  explicit Rng(std::uint64_t seed) {
    seed += 0x9E3779B97F4A7C15ULL;
    seed = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9ULL;
    seed = (seed ^ (seed >> 27)) * 0x94D049BB133111EBULL;
    state = (seed ^ (seed >> 31)) | 1;
  }

  std::uint64_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }

  // A value in [0, n) biased towards 0: a few words and instructions make up
  // most of the bytes of code and text.
  std::uint32_t Skewed(std::uint32_t n) {
    const double u = static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
    return static_cast<std::uint32_t>(u * u * u * n);
  }
};

std::uint64_t HashText(const char* text) {
  std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (; *text != '\0'; ++text) {
    hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211ULL;
  }
  return hash;
}

// `count` strings from `make`, drawn in order: a model's fixed vocabulary.
template <typename Make>
std::vector<std::string> Vocabulary(std::size_t count, Make make) {
  std::vector<std::string> items(count);
  std::for_each(items.begin(), items.end(), make);
  return items;
}

// Machine-code-like bytes: instruction-like phrases, the frequent ones most
// often, between random immediates and addresses, with padding between
// functions. kLiteralShare (out of 256 tokens) sets how far it deflates.
struct CodeModel {
  static constexpr std::uint32_t kPhrases = 1600;
  static constexpr unsigned kLiteralShare = 40;
  Rng& rng;
  std::vector<std::string> phrases = Vocabulary(kPhrases, [this](std::string& phrase) {
    static const unsigned char kCommon[] = {0x48, 0x89, 0x8B, 0x4C, 0x41, 0x0F, 0x83, 0xE8,
                                            0xFF, 0x85, 0xC0, 0x74, 0x75, 0x24, 0x44, 0x8D,
                                            0x45, 0x33, 0xC3, 0x49, 0x01, 0x00, 0x10, 0xEB};
    const std::size_t length = 3 + rng.Next() % 18;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint64_t r = rng.Next();
      phrase.push_back(static_cast<char>((r & 1) != 0 ? kCommon[(r >> 8) % sizeof kCommon]
                                                      : static_cast<unsigned char>(r >> 16)));
    }
  });

  void Emit(std::string& out) {
    const std::uint64_t r = rng.Next();
    const unsigned select = r & 0xFF;
    if (select < kLiteralShare) {
      const std::uint64_t bytes = rng.Next();
      out.append(reinterpret_cast<const char*>(&bytes), 1 + ((r >> 8) & 3));
    } else if (select == 0xFF && ((r >> 8) & 3) == 0) {
      // The end of a function and the padding up to the next.
      out += '\xC3';
      out.append((r >> 12) & 15, '\xCC');
    } else {
      out += phrases[rng.Skewed(kPhrases)];
    }
  }
};

// Text-like bytes: settings lines and sentences of made-up words.
struct TextModel {
  static constexpr std::uint32_t kWords = 600;
  Rng& rng;
  std::vector<std::string> words = Vocabulary(kWords, [this](std::string& word) {
    static const char kConsonants[] = "bcdfghklmnprstvwxz";
    static const char kVowels[] = "aeiouy";
    const std::size_t syllables = 1 + rng.Next() % 4;
    for (std::size_t i = 0; i < syllables; ++i) {
      const std::uint64_t r = rng.Next();
      word.push_back(kConsonants[r % (sizeof kConsonants - 1)]);
      word.push_back(kVowels[(r >> 8) % (sizeof kVowels - 1)]);
      if (((r >> 16) & 3) == 0) {
        word.push_back(kConsonants[(r >> 24) % (sizeof kConsonants - 1)]);
      }
    }
  });

  const std::string& Word() { return words[rng.Skewed(kWords)]; }

  void Emit(std::string& out) {
    const std::uint64_t r = rng.Next();
    if ((r & 3) == 0) {
      // A setting: Section.Key=Value
      out += Word() + '.';
      out += Word() + '=';
      out += ((r >> 2) & 1) != 0 ? std::to_string((r >> 8) % 10000) : Word();
      out += '\n';
      return;
    }
    const std::size_t count = 3 + (r >> 8) % 12;
    for (std::size_t i = 0; i < count; ++i) {
      out += (i > 0 ? " " : "") + Word();
    }
    out += ((r >> 16) & 7) == 0 ? ',' : '.';
    out += ((r >> 20) & 3) == 0 ? '\n' : ' ';
  }
};

// Random data (already compressed) is drawn in tokens of this many bytes.
constexpr std::size_t kRandomToken = 4096;

// Appends the first `length` bytes of one token of random data.
void AppendRandom(Rng& rng, std::string& out, std::size_t length) {
  for (std::size_t i = 0; i < kRandomToken; i += 8) {
    const std::uint64_t bytes = rng.Next();
    out.append(reinterpret_cast<const char*>(&bytes), sizeof bytes);
  }
  out.resize(out.size() - kRandomToken + length);
}

struct RandomModel {
  Rng& rng;
  void Emit(std::string& out) { AppendRandom(rng, out, kRandomToken); }
};

// A package of compressed blocks, each a header and 32 to 160 KiB of random
// data, zero-padded so that every block starts at a 4 KiB boundary.
struct PakModel {
  static constexpr std::size_t kHeaderSize = 32;
  static constexpr std::uint64_t kAlignment = 4096;
  Rng& rng;
  std::uint64_t blocks = 0;
  std::uint64_t dataLeft = 0;
  std::uint64_t padLeft = 0;

  void Emit(std::string& out) {
    if (dataLeft == 0 && padLeft == 0) {
      dataLeft = 32 * 1024 + rng.Next() % (128 * 1024);
      padLeft = (kAlignment - (kHeaderSize + dataLeft) % kAlignment) % kAlignment;
      char header[kHeaderSize] = {'Q', 'P', 'A', 'K'};
      std::memcpy(header + 4, &blocks, sizeof blocks);
      std::memcpy(header + 12, &dataLeft, sizeof dataLeft);
      ++blocks;
      out.append(header, kHeaderSize);
    } else if (dataLeft > 0) {
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(dataLeft, kRandomToken));
      AppendRandom(rng, out, length);
      dataLeft -= length;
    } else {
      out.append(static_cast<std::size_t>(padLeft), '\0');
      padLeft = 0;
    }
  }
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_gen: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void FailErrno(const std::string& what) {
  Fail(what + ": " + std::strerror(errno));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    FailErrno("opening " + path);
  }
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    FailErrno("reading " + path);
  }
  return bytes;
}

void SetTimes(const std::string& path) {
  const struct timespec times[2] = {{kModifiedTime, 0}, {kModifiedTime, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    FailErrno("setting the times of " + path);
  }
}

constexpr std::size_t kChunk = 1 << 20;

// Creates the file `path` with `start` and then the model's tokens, `size`
// bytes in all.
template <typename Model>
void WriteFile(const std::string& path, std::uint64_t size, std::string buffer, Model&& model) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
  std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (file == nullptr) {
    FailErrno("creating " + path);
  }
  for (std::uint64_t left = size; left > 0;) {
    while (buffer.size() < kChunk) {
      model.Emit(buffer);
    }
    const std::size_t out = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
    if (std::fwrite(buffer.data(), 1, out, file) != out) {
      FailErrno("writing " + path);
    }
    left -= out;
    // What went past the chunk starts the next one.
    buffer.erase(0, kChunk);
  }
  if (std::fclose(file) != 0) {
    FailErrno("closing " + path);
  }
}

void WriteEntry(const std::string& path, const Entry& entry, std::uint64_t size, std::uint64_t seed,
                const std::string& head) {
  Rng rng(seed ^ HashText(entry.path));
  switch (entry.kind) {
    case Kind::kExecutable:
      if (head.size() > size) {
        Fail(path + ": the program (" + std::to_string(head.size()) + " bytes) is larger than " +
             std::to_string(size) + " bytes; use a larger scale");
      }
      WriteFile(path, size, head, CodeModel{rng});
      break;
    case Kind::kCode:
      WriteFile(path, size, "", CodeModel{rng});
      break;
    case Kind::kText:
      WriteFile(path, size, "", TextModel{rng});
      break;
    case Kind::kPacked:
      WriteFile(path, size, "", RandomModel{rng});
      break;
    case Kind::kPak:
      WriteFile(path, size, "", PakModel{rng});
      break;
  }
  SetTimes(path);
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options = {
      {"--out", ""}, {"--exe-head", ""}, {"--seed", "1"}, {"--scale", "1"}};
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) {
      Fail(std::string("missing value after ") + argv[i]);
    }
    if (options.count(argv[i]) == 0) {
      Fail(std::string("unknown option ") + argv[i]);
    }
    options[argv[i]] = argv[i + 1];
  }
  const std::string& out = options["--out"];
  const std::uint64_t seed = std::strtoull(options["--seed"].c_str(), nullptr, 10);
  const double scale = std::strtod(options["--scale"].c_str(), nullptr);
  if (!(scale > 0.0 && scale <= 4.0)) {
    Fail("the scale must lie in (0, 4]");
  }
  if (out.empty()) {
    Fail("usage: bench_gen --out DIR [--seed N] [--scale S] [--exe-head FILE]");
  }
  const std::string head =
      options["--exe-head"].empty() ? std::string() : ReadWholeFile(options["--exe-head"]);
  if (::mkdir(out.c_str(), 0755) != 0) {
    FailErrno("creating " + out);
  }
  std::uint64_t bytes = 0;
  std::set<std::string> folders;
  for (const Entry& entry : kEntries) {
    const std::string path = out + "/" + entry.path;
    // The file's folders, each made the first time it is named.
    for (std::size_t slash = path.find('/', out.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      const std::string folder = path.substr(0, slash + 1);
      if (folders.insert(folder).second && ::mkdir(folder.c_str(), 0755) != 0) {
        FailErrno("creating " + folder);
      }
    }
    const std::uint64_t size = entry.size < kFixedSizeBelow
                                   ? entry.size
                                   : static_cast<std::uint64_t>(std::llround(entry.size * scale));
    WriteEntry(path, entry, size, seed, head);
    bytes += size;
  }
  // Folders last: creating their contents changed their times.
  for (const std::string& path : folders) {
    SetTimes(path);
  }
  std::printf(
      "folders %llu files %llu bytes %llu\n", static_cast<unsigned long long>(folders.size()),
      static_cast<unsigned long long>(std::size(kEntries)), static_cast<unsigned long long>(bytes));
  return 0;
}
