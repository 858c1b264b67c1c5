// Archives written by other tools on the build host (Python's zipfile,
// Info-ZIP zip, bsdtar), when present, must read back byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

#ifndef _WIN32
bool HostHas(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quote(const std::filesystem::path& path) {
  std::string quoted = "'";
  for (char c : path.string()) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}
#endif

class ZipInterop : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "the archiving tools are on the POSIX build host";
#else
    std::string big;
    for (unsigned i = 0; big.size() < 1500000; ++i) {
      big += "entry " + std::to_string(i * 2654435761u) + "\n";
    }
    files_ = {
        {"small.txt", "small text\n"},
        {"empty", ""},
        {"big.txt", big},
        {"sub/nested.txt", "nested\n"},
        {"na\xC3\xAFve-\xE6\x97\xA5.txt", "utf-8 name\n"},
    };
    std::filesystem::create_directories(source() / "sub");
    std::filesystem::create_directories(source() / "emptydir");
    for (const auto& [name, content] : files_) {
      ASSERT_TRUE(WriteFileBytes(source() / std::filesystem::u8path(name), content));
    }
#endif
  }

  std::filesystem::path source() const {
    return folder_ / "src";
  }

  // Opens `archive` and checks every file entry against the sources by name.
  void ExpectReadsBack(const std::filesystem::path& archivePath, std::size_t minimumFiles) {
    const std::string bytes = ReadFileBytes(archivePath);
    ASSERT_FALSE(bytes.empty()) << archivePath;
    zip::ZipArchive archive;
    ASSERT_TRUE(zip::ZipOpenMemory(archive, bytes.data(), bytes.size()))
        << zip::ZipErrorText(zip::ZipTakeLastError(archive));
    std::size_t files = 0;
    for (std::uint32_t i = 0; i < zip::ZipEntryCount(archive); ++i) {
      zip::ZipEntryRecord record;
      ASSERT_TRUE(zip::ZipReadEntryRecord(archive, i, record));
      std::string name(record.central.name);
      if (name.rfind("./", 0) == 0) {
        name = name.substr(2);
      }
      if (record.isDirectory) {
        continue;
      }
      const auto expected = files_.find(name);
      ASSERT_NE(expected, files_.end()) << "unexpected entry " << name;
      const auto out = folder_ / ("out" + std::to_string(i));
      ASSERT_TRUE(testing_support::ExtractEntryToFile(archive, i, out.u8string().c_str()))
          << name << ": " << zip::ZipErrorText(zip::ZipTakeLastError(archive));
      EXPECT_TRUE(ReadFileBytes(out) == expected->second) << name;
      ++files;
    }
    EXPECT_GE(files, minimumFiles);
    zip::ZipClose(archive);
  }

  TempFolder folder_;
  std::map<std::string, std::string> files_;
};

TEST_F(ZipInterop, PythonZipfile) {
#ifndef _WIN32
  if (!HostHas("python3")) {
    GTEST_SKIP() << "no python3";
  }
  // Seekable output with a forced Zip64 entry, and unseekable output, which
  // makes zipfile write data descriptors.
  const std::string script = R"PY(
import os, sys, zipfile
src, seekable, streamed = sys.argv[1:4]
class Unseekable:
    def __init__(self, raw): self.raw = raw
    def write(self, b): return self.raw.write(b)
    def flush(self): self.raw.flush()
def fill(zf, force):
    for root, dirs, files in os.walk(src):
        for d in sorted(dirs):
            zf.write(os.path.join(root, d), os.path.relpath(os.path.join(root, d), src))
        for i, f in enumerate(sorted(files)):
            path = os.path.join(root, f)
            arc = os.path.relpath(path, src)
            method = zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED
            info = zipfile.ZipInfo.from_file(path, arc)
            info.compress_type = method
            with open(path, 'rb') as data, zf.open(info, 'w', force_zip64=force) as out:
                out.write(data.read())
with zipfile.ZipFile(seekable, 'w') as zf:
    zf.comment = b'written by zipfile'
    fill(zf, True)
with open(streamed, 'wb') as raw:
    with zipfile.ZipFile(Unseekable(raw), 'w') as zf:
        fill(zf, False)
)PY";
  const auto scriptPath = folder_ / "make.py";
  ASSERT_TRUE(WriteFileBytes(scriptPath, script));
  const auto seekable = folder_ / "python.zip";
  const auto streamed = folder_ / "python-streamed.zip";
  ASSERT_EQ(std::system(("python3 " + Quote(scriptPath) + " " + Quote(source()) + " " +
                         Quote(seekable) + " " + Quote(streamed))
                            .c_str()),
            0);
  ExpectReadsBack(seekable, files_.size());
  ExpectReadsBack(streamed, files_.size());
#endif
}

TEST_F(ZipInterop, InfoZip) {
#ifndef _WIN32
  if (!HostHas("zip")) {
    GTEST_SKIP() << "no Info-ZIP zip";
  }
  const auto plain = folder_ / "infozip.zip";
  const auto stored = folder_ / "infozip-stored.zip";
  ASSERT_EQ(
      std::system(("cd " + Quote(source()) + " && zip -q -r -X " + Quote(plain) + " .").c_str()),
      0);
  ASSERT_EQ(std::system(
                ("cd " + Quote(source()) + " && zip -q -r -0 -X " + Quote(stored) + " .").c_str()),
            0);
  ExpectReadsBack(plain, files_.size());
  ExpectReadsBack(stored, files_.size());
  // Written to a pipe, so zip cannot seek back: a data descriptor follows the data.
  files_["-"] = files_["big.txt"];
  const auto piped = folder_ / "infozip-piped.zip";
  ASSERT_EQ(
      std::system(
          ("zip -q - - < " + Quote(source() / "big.txt") + " | cat > " + Quote(piped)).c_str()),
      0);
  ExpectReadsBack(piped, 1);
#endif
}

TEST_F(ZipInterop, Bsdtar) {
#ifndef _WIN32
  if (!HostHas("bsdtar")) {
    GTEST_SKIP() << "no bsdtar";
  }
  const auto deflated = folder_ / "bsdtar.zip";
  const auto stored = folder_ / "bsdtar-stored.zip";
  ASSERT_EQ(
      std::system(
          ("bsdtar --format zip -cf " + Quote(deflated) + " -C " + Quote(source()) + " .").c_str()),
      0);
  ASSERT_EQ(std::system(("bsdtar --format zip --options zip:compression=store -cf " +
                         Quote(stored) + " -C " + Quote(source()) + " .")
                            .c_str()),
            0);
  ExpectReadsBack(deflated, files_.size());
  ExpectReadsBack(stored, files_.size());
#endif
}

}  // namespace
