// bench_gen: writes a synthetic application tree shaped like the delivered
// payload, for the benchmark.
//
// Usage: bench_gen --out DIR [--seed N] [--scale S] [--exe-head FILE]
//
// DIR must not exist yet. At scale 1 the tree holds 31 folders and 22 files
// (407,197,171 bytes) under "quillorbite/" and "Engine/"; at scale S every
// file size is multiplied by S, except the two smallest files (1,128 and 3
// bytes), which keep their size. The contents follow from the seed alone:
// the same seed, scale and head give the same bytes. The application's
// executable starts with the bytes of --exe-head (a real program) and is
// padded to its size with code-like data. Every file and folder gets the same
// fixed modification time, so that packing the tree twice gives the same
// archive. Prints one summary line: folders, files and bytes written.
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

// A file of the tree; its folders are made for it.
struct Entry {
  const char* path;
  Kind kind;
  std::uint64_t size;  // at scale 1
};

// Files smaller than this keep their size at every scale.
constexpr std::uint64_t kFixedSizeBelow = 4096;

// The shape of the delivered payload: "quillorbite/" with 7 folders and 11
// files (359,269,898 bytes), "Engine/" with 24 folders and 11 files
// (47,927,273 bytes).
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

// xorshift64*: fast, and good enough to fool deflate.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(Mix(seed) | 1) {}

  std::uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1DULL;
  }

  // A value in [0, n) biased towards 0: frequent things first, as in code and
  // text, where a few words and instructions make up most of the bytes.
  std::uint32_t Skewed(std::uint32_t n) {
    const double u = static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
    return static_cast<std::uint32_t>(u * u * u * n);
  }

  static std::uint64_t Mix(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

std::uint64_t HashText(const char* text) {
  std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (; *text != '\0'; ++text) {
    hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211ULL;
  }
  return hash;
}

// Machine-code-like bytes: instruction-like phrases from a fixed table, most
// of them frequent, between random immediates and addresses, with padding
// between functions.
class CodeModel {
 public:
  explicit CodeModel(Rng& rng) : rng_(rng) {
    static const unsigned char kCommon[] = {0x48, 0x89, 0x8B, 0x4C, 0x41, 0x0F, 0x83, 0xE8,
                                            0xFF, 0x85, 0xC0, 0x74, 0x75, 0x24, 0x44, 0x8D,
                                            0x45, 0x33, 0xC3, 0x49, 0x01, 0x00, 0x10, 0xEB};
    phrases_.resize(kPhrases);
    for (std::string& phrase : phrases_) {
      const std::size_t length = 3 + rng_.Next() % 18;
      for (std::size_t i = 0; i < length; ++i) {
        const std::uint64_t r = rng_.Next();
        phrase.push_back(static_cast<char>((r & 1) != 0 ? kCommon[(r >> 8) % sizeof kCommon]
                                                        : static_cast<unsigned char>(r >> 16)));
      }
    }
  }

  void Emit(std::string& out) {
    const std::uint64_t r = rng_.Next();
    const unsigned select = r & 0xFF;
    if (select < kLiteralShare) {
      // An immediate or a relative address: as good as random.
      const std::uint64_t bytes = rng_.Next();
      out.append(reinterpret_cast<const char*>(&bytes), 1 + ((r >> 8) & 3));
    } else if (select == 0xFF && ((r >> 8) & 3) == 0) {
      // The end of a function and the padding up to the next.
      out += '\xC3';
      out.append((r >> 12) & 15, '\xCC');
    } else {
      out += phrases_[rng_.Skewed(kPhrases)];
    }
  }

 private:
  static constexpr std::uint32_t kPhrases = 1600;
  // Out of 256: how often a token is literal bytes rather than a phrase; sets
  // how far the data deflates.
  static constexpr unsigned kLiteralShare = 40;

  Rng& rng_;
  std::vector<std::string> phrases_;
};

// Text-like bytes: settings lines and sentences from a fixed vocabulary of
// made-up words.
class TextModel {
 public:
  explicit TextModel(Rng& rng) : rng_(rng) {
    static const char kConsonants[] = "bcdfghklmnprstvwxz";
    static const char kVowels[] = "aeiouy";
    words_.resize(kWords);
    for (std::string& word : words_) {
      const std::size_t syllables = 1 + rng_.Next() % 4;
      for (std::size_t i = 0; i < syllables; ++i) {
        const std::uint64_t r = rng_.Next();
        word.push_back(kConsonants[r % (sizeof kConsonants - 1)]);
        word.push_back(kVowels[(r >> 8) % (sizeof kVowels - 1)]);
        if (((r >> 16) & 3) == 0) {
          word.push_back(kConsonants[(r >> 24) % (sizeof kConsonants - 1)]);
        }
      }
    }
  }

  void Emit(std::string& out) {
    const std::uint64_t r = rng_.Next();
    if ((r & 3) == 0) {
      // A setting: Section.Key=Value
      out += Word() + '.';
      out += Word() + '=';
      out += ((r >> 2) & 1) != 0 ? std::to_string((r >> 8) % 10000) : Word();
      out += '\n';
      return;
    }
    // A sentence of a few words.
    const std::size_t count = 3 + (r >> 8) % 12;
    for (std::size_t i = 0; i < count; ++i) {
      out += (i > 0 ? " " : "") + Word();
    }
    out += ((r >> 16) & 7) == 0 ? ',' : '.';
    out += ((r >> 20) & 3) == 0 ? '\n' : ' ';
  }

 private:
  static constexpr std::uint32_t kWords = 600;

  const std::string& Word() { return words_[rng_.Skewed(kWords)]; }

  Rng& rng_;
  std::vector<std::string> words_;
};

// Random data is drawn in tokens of this many bytes.
constexpr std::size_t kRandomToken = 4096;

// Appends the first `length` bytes of one token of random data.
void AppendRandom(Rng& rng, std::string& out, std::size_t length) {
  for (std::size_t i = 0; i < kRandomToken; i += 8) {
    const std::uint64_t bytes = rng.Next();
    out.append(reinterpret_cast<const char*>(&bytes), sizeof bytes);
  }
  out.resize(out.size() - kRandomToken + length);
}

// Already compressed data: random bytes.
struct RandomModel {
  Rng& rng;
  void Emit(std::string& out) { AppendRandom(rng, out, kRandomToken); }
};

// A package of compressed blocks: each block a short header and random data,
// zero-padded to the next 4 KiB boundary. A block starts at such a boundary.
class PakModel {
 public:
  explicit PakModel(Rng& rng) : rng_(rng) {}

  void Emit(std::string& out) {
    if (dataLeft_ == 0 && padLeft_ == 0) {
      // A new block: header, then data of 32 to 160 KiB.
      dataLeft_ = 32 * 1024 + rng_.Next() % (128 * 1024);
      padLeft_ = (kAlignment - (kHeaderSize + dataLeft_) % kAlignment) % kAlignment;
      char header[kHeaderSize] = {'Q', 'P', 'A', 'K'};
      std::memcpy(header + 4, &blocks_, sizeof blocks_);
      std::memcpy(header + 12, &dataLeft_, sizeof dataLeft_);
      ++blocks_;
      out.append(header, kHeaderSize);
    } else if (dataLeft_ > 0) {
      const std::size_t length =
          static_cast<std::size_t>(std::min<std::uint64_t>(dataLeft_, kRandomToken));
      AppendRandom(rng_, out, length);
      dataLeft_ -= length;
    } else {
      out.append(static_cast<std::size_t>(padLeft_), '\0');
      padLeft_ = 0;
    }
  }

 private:
  static constexpr std::size_t kHeaderSize = 32;
  static constexpr std::uint64_t kAlignment = 4096;
  Rng& rng_;
  std::uint64_t blocks_ = 0;
  std::uint64_t dataLeft_ = 0;
  std::uint64_t padLeft_ = 0;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_gen: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void FailErrno(const std::string& what) {
  Fail(what + ": " + std::strerror(errno));
}

void Write(std::FILE* file, const std::string& bytes, std::size_t size, const std::string& path) {
  if (std::fwrite(bytes.data(), 1, size, file) != size) {
    FailErrno("writing " + path);
  }
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

// Streams `left` bytes from `model` (whose Emit() appends one token to its
// argument) to `file`.
template <typename Model>
void Produce(std::FILE* file, std::uint64_t left, Model&& model, const std::string& path) {
  std::string buffer;
  while (left > 0) {
    while (buffer.size() < kChunk) {
      model.Emit(buffer);
    }
    const std::size_t out = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
    Write(file, buffer, out, path);
    left -= out;
    // What went past the chunk starts the next one.
    buffer.erase(0, kChunk);
  }
}

void WriteFile(const std::string& path, const Entry& entry, std::uint64_t size, std::uint64_t seed,
               const std::string& head) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
  std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (file == nullptr) {
    FailErrno("creating " + path);
  }
  Rng rng(seed ^ HashText(entry.path));
  std::uint64_t left = size;
  switch (entry.kind) {
    case Kind::kExecutable:
      if (head.size() > size) {
        Fail(path + ": the program (" + std::to_string(head.size()) + " bytes) is larger than " +
             std::to_string(size) + " bytes; use a larger scale");
      }
      Write(file, head, head.size(), path);
      left -= head.size();
      [[fallthrough]];
    case Kind::kCode:
      Produce(file, left, CodeModel(rng), path);
      break;
    case Kind::kText:
      Produce(file, left, TextModel(rng), path);
      break;
    case Kind::kPacked:
      Produce(file, left, RandomModel{rng}, path);
      break;
    case Kind::kPak:
      Produce(file, left, PakModel(rng), path);
      break;
  }
  if (std::fclose(file) != 0) {
    FailErrno("closing " + path);
  }
}

struct Options {
  std::string out;
  std::string exeHead;
  std::uint64_t seed = 1;
  double scale = 1.0;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      Fail("missing value after " + arg);
    }
    const std::string value = argv[++i];
    if (arg == "--out") {
      options.out = value;
    } else if (arg == "--exe-head") {
      options.exeHead = value;
    } else if (arg == "--seed") {
      options.seed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (arg == "--scale") {
      options.scale = std::strtod(value.c_str(), nullptr);
      if (!(options.scale > 0.0 && options.scale <= 4.0)) {
        Fail("the scale must lie in (0, 4]");
      }
    } else {
      Fail("unknown option " + arg);
    }
  }
  if (options.out.empty()) {
    Fail("usage: bench_gen --out DIR [--seed N] [--scale S] [--exe-head FILE]");
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::string head;
  if (!options.exeHead.empty()) {
    head = ReadWholeFile(options.exeHead);
  }
  if (::mkdir(options.out.c_str(), 0755) != 0) {
    FailErrno("creating " + options.out);
  }
  std::uint64_t bytes = 0;
  std::set<std::string> folders;
  for (const Entry& entry : kEntries) {
    const std::string path = options.out + "/" + entry.path;
    // The file's folders, each made the first time it is named.
    for (std::size_t slash = path.find('/', options.out.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      const std::string folder = path.substr(0, slash + 1);
      if (folders.insert(folder).second && ::mkdir(folder.c_str(), 0755) != 0) {
        FailErrno("creating " + folder);
      }
    }
    const std::uint64_t size =
        entry.size < kFixedSizeBelow
            ? entry.size
            : static_cast<std::uint64_t>(std::llround(entry.size * options.scale));
    WriteFile(path, entry, size, options.seed, head);
    SetTimes(path);
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
