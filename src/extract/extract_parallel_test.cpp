// The parallel walk against the walk on one thread: whatever the archive, the
// log, the lines on standard error, what is thrown and the tree on disk must
// be the same with 4 workers as with 1.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "extract/extract.h"
#include "interruption/interruption.h"
#include "testing/entry_files.h"
#include "testing/sample_archives.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "text/text_convert.h"
#include "zip/zip_reader.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;
using testing_support::ZipBuilder;

#if defined(_WIN32)
constexpr std::size_t kSweepStep = 41;  // file creation under Wine costs far more
#elif defined(__SANITIZE_THREAD__)
constexpr std::size_t kSweepStep = 17;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr std::size_t kSweepStep = 17;
#else
constexpr std::size_t kSweepStep = 5;
#endif
#else
constexpr std::size_t kSweepStep = 5;
#endif

std::string Text(std::size_t size, unsigned seed) {
  std::string out;
  for (unsigned i = 0; out.size() < size; ++i) {
    out += "file " + std::to_string(seed) + " line " + std::to_string(i * 7919u % 10007u) + "\n";
  }
  out.resize(size);
  return out;
}

// Everything an extraction shows to the outside.
struct Outcome {
  std::wstring log;
  std::string standardError;
  std::string thrown;                       // type, what() and code; empty when it returned
  std::map<std::string, std::string> tree;  // relative path -> type, size, mode, content

  bool operator==(const Outcome& other) const {
    return log == other.log && standardError == other.standardError && thrown == other.thrown &&
           tree == other.tree;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  out << "log: " << WideToUtf8(outcome.log.c_str()) << "\nstandard error: " << outcome.standardError
      << "\nthrown: " << outcome.thrown << "\ntree:";
  for (const auto& [path, what] : outcome.tree) {
    out << "\n  " << path << " " << what.substr(0, 40);
  }
  return out;
}

std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  if (!fs::exists(root, error)) {
    return tree;
  }
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::file_status status = it->symlink_status();
    std::string what;
    if (fs::is_directory(status)) {
      what = "folder";
    } else if (fs::is_regular_file(status)) {
      what = "file " + std::to_string(fs::file_size(it->path())) + " " +
             testing_support::ReadFileBytes(it->path());
    } else {
      what = "other";
    }
#ifndef _WIN32
    what += " mode " + std::to_string(static_cast<unsigned>(status.permissions()));
#endif
    tree[it->path().lexically_relative(root).generic_u8string()] = what;
  }
  return tree;
}

// Unpacks `archive` into the missing folder `destination` with `workers`,
// and removes the folder again afterwards.
Outcome Extract(const std::string& archive, unsigned workers, const fs::path& destination) {
  Outcome outcome;
  std::ostringstream captured;
  std::streambuf* const previous = std::cerr.rdbuf(captured.rdbuf());
  try {
    ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str(), workers);
  } catch (const fs::filesystem_error& failure) {
    // The free space of the volume changes with whatever else runs.
    static const std::regex freeSpace("[0-9]+ bytes \\([0-9.]+ MiB\\) free");
    outcome.thrown = std::string("filesystem_error ") +
                     std::regex_replace(failure.what(), freeSpace, "(some) free") + " " +
                     std::to_string(failure.code().value());
  } catch (const std::runtime_error& failure) {
    outcome.thrown = std::string("runtime_error ") + failure.what();
  } catch (const Interrupted& interruption) {
    outcome.thrown = "Interrupted " + std::to_string(interruption.cause());
  }
  std::cerr.rdbuf(previous);
  // A walk that threw leaves the archive open.
  zip::ZipClose(g_zipArchive);
  g_zipArchive.lastError = zip::ZipError::kNone;
  outcome.log = g_extractLog;
  outcome.standardError = captured.str();
  outcome.tree = Tree(destination);
  std::error_code ignored;
  fs::remove_all(destination, ignored);
  return outcome;
}

class ExtractParallelTest : public ::testing::Test {
 protected:
  // The outcome with 4 workers, checked against the one with 1.
  Outcome Compare(const std::string& archive, const std::string& what) {
    const Outcome alone = Extract(archive, 1, destination_);
    const Outcome parallel = Extract(archive, 4, destination_);
    EXPECT_EQ(parallel, alone) << what;
    return parallel;
  }

  void Sweep(const std::string& good) {
    Compare(good, "intact");
    for (std::size_t i = 0; i < good.size(); i += kSweepStep) {
      Compare(good.substr(0, i), "first " + std::to_string(i) + " bytes");
      std::string flipped = good;
      flipped[i] = static_cast<char>(flipped[i] ^ 0x01);
      Compare(flipped, "bit 0 flipped at " + std::to_string(i));
      std::string changed = good;
      changed[i] = static_cast<char>(changed[i] + 0x41);
      Compare(changed, "byte " + std::to_string(i) + " + 0x41");
      if (HasFailure()) {
        return;
      }
    }
  }

  TempFolder temp_;
  const fs::path destination_ = temp_ / "quillorbite";
};

TEST_F(ExtractParallelTest, TheSweepArchivesAndTheirDamageGiveTheSameOutcome) {
  Sweep(testing_support::PlainSweepSample().bytes);
  Sweep(testing_support::Zip64SweepSample().bytes);
}

TEST_F(ExtractParallelTest, TheFuzzerSeedsGiveTheSameOutcome) {
  for (const auto& [name, bytes] : testing_support::FuzzSeedArchives()) {
    Compare(bytes, name);
  }
}

TEST_F(ExtractParallelTest, ManyFilesInFlightAreReportedInIndexOrder) {
  ZipBuilder builder;
  std::vector<std::string> contents;
  for (unsigned i = 0; i < 24; ++i) {
    if (i % 6 == 0) {
      builder.AddFolder("folder" + std::to_string(i) + "/");
      contents.emplace_back();
      continue;
    }
    // Sizes on both sides of the small-entry buffer, some stored.
    contents.push_back(Text((i % 4 + 1) * 150000 + i, i));
    const std::string name = "folder" + std::to_string(i / 6 * 6) + "/f" + std::to_string(i);
    if (i % 5 == 0) {
      builder.AddStored(name, contents.back());
    } else {
      builder.AddDeflated(name, contents.back());
    }
  }
  const Outcome outcome = Compare(builder.Build(), "many files");
  EXPECT_TRUE(outcome.thrown.empty()) << outcome.thrown;
  std::wstring expected = L"open successdestDir creatednum24";
  for (unsigned i = 0; i < 24; ++i) {
    expected +=
        i % 6 == 0 ? L" Stat read Dir created" : L" Stat read success " + std::to_wstring(i);
  }
  EXPECT_EQ(outcome.log, expected + L" End");
  EXPECT_EQ(outcome.tree.at("folder18/f23").substr(0, 12), "file 600023 ");
}

TEST_F(ExtractParallelTest, ASecondFileUnderTheSameNameWaitsAndWins) {
  ZipBuilder builder;
  builder.AddDeflated("same.txt", Text(3 << 20, 1));
  builder.AddDeflated("same.txt", Text(1000, 2));
#ifdef _WIN32
  builder.AddDeflated("SAME.TXT", Text(2 << 20, 3));
  builder.AddStored("Same.Txt", "last\n");
  const std::string last = "last\n";
#else
  const std::string last = Text(1000, 2);
#endif
  const Outcome outcome = Compare(builder.Build(), "duplicates");
  EXPECT_TRUE(outcome.thrown.empty()) << outcome.thrown;
  ASSERT_EQ(outcome.tree.size(), 1u);
  EXPECT_NE(outcome.tree.begin()->second.find(" " + last), std::string::npos);
}

TEST_F(ExtractParallelTest, AFolderOrFileBelowAFileInFlightSeesTheWrittenFile) {
  for (const bool folder : {true, false}) {
    ZipBuilder builder;
    builder.AddDeflated("clash", Text(2 << 20, 4));
    if (folder) {
      builder.AddFolder("clash/");
    } else {
      builder.AddStored("clash/inner.txt", "below a file\n");
    }
    builder.AddStored("after.txt", "never written\n");
    const Outcome outcome = Compare(builder.Build(), folder ? "folder below" : "file below");
    EXPECT_NE(outcome.thrown.find(folder ? "create_directory" : "create_directories"),
              std::string::npos)
        << outcome.thrown;
    EXPECT_EQ(outcome.log, L"open successdestDir creatednum3 Stat read success 0 Stat read");
    EXPECT_EQ(outcome.tree.count("after.txt"), 0u);
    EXPECT_EQ(outcome.tree.at("clash").substr(0, 13), "file 2097152 ");
  }
}

TEST_F(ExtractParallelTest, AFailingFileIsReportedInItsPlaceAndTheWalkGoesOn) {
  ZipBuilder builder;
  builder.AddDeflated("first.bin", Text(1 << 20, 5));
  builder.AddDeflated("broken.bin", Text(3 << 20, 6)).central.crc32 = 0xDEADBEEF;
  builder.AddStored("refused.bin", "x").method = 12;
  for (unsigned i = 0; i < 5; ++i) {
    builder.AddDeflated("good" + std::to_string(i) + ".bin", Text(700000, 10 + i));
  }
  const Outcome outcome = Compare(builder.Build(), "failures");
  EXPECT_TRUE(outcome.thrown.empty()) << outcome.thrown;
  EXPECT_EQ(outcome.standardError,
            "Failed extracting broken.bin from archive. Error string: decompression failed or "
            "archive is corrupted\nFailed extracting refused.bin from archive. Error string: "
            "unsupported feature\n");
  const std::wstring log = outcome.log;
  const std::size_t broken = log.find(L" Failed extracting 1broken.bin");
  const std::size_t refused = log.find(L" Failed extracting 2refused.bin");
  ASSERT_NE(broken, std::wstring::npos);
  ASSERT_NE(refused, std::wstring::npos);
  EXPECT_LT(log.find(L" success 0"), broken);
  EXPECT_LT(broken, refused);
  EXPECT_LT(refused, log.find(L" success 3"));
  EXPECT_EQ(outcome.tree.at("broken.bin").substr(0, 13), "file 3145728 ");  // left as written
  EXPECT_EQ(outcome.tree.count("refused.bin"), 0u);
}

TEST_F(ExtractParallelTest, AnExceptionWaitsForTheFilesInFlightAndWritesNothingAfter) {
  ZipBuilder builder;
  std::wstring expected = L"open successdestDir creatednum9";
  for (unsigned i = 0; i < 6; ++i) {
    builder.AddDeflated("in-flight" + std::to_string(i) + ".bin", Text(1500000, 20 + i));
    expected += L" Stat read success " + std::to_wstring(i);
  }
  builder.AddFolder("missing/parent/");  // its parent is created by nothing
  builder.AddStored("after.txt", "never written\n");
  builder.AddFolder("after/");
  const Outcome outcome = Compare(builder.Build(), "exception");
  EXPECT_EQ(outcome.thrown.rfind("filesystem_error ", 0), 0u) << outcome.thrown;
  EXPECT_NE(outcome.thrown.find("create_directory"), std::string::npos);
  EXPECT_EQ(outcome.log, expected + L" Stat read");
  EXPECT_EQ(outcome.tree.size(), 6u);
  for (unsigned i = 0; i < 6; ++i) {
    EXPECT_EQ(outcome.tree.at("in-flight" + std::to_string(i) + ".bin")
                  .rfind("file 1500000 " + Text(1500000, 20 + i), 0),
              0u);
  }
}

TEST_F(ExtractParallelTest, IndexedEntriesGiveTheReferencesOutcomeOnAnyNumberOfWorkers) {
  constexpr std::uint32_t kPieceSize = 1 << 20;
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const auto addPieced = [&](const std::string& name,
                             const std::string& content) -> testing_support::ZipBuilderEntry& {
    auto& entry = builder.AddDeflated(name, content);
    entry.data = testing_support::DeflatePieces(content, kPieceSize, 6, lengths);
    entry.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
    return entry;
  };
  addPieced("text.txt", Text((7 << 19) + 3, 60));
  addPieced("noise.bin", testing_support::NoiseBytes((2 << 20) + 5, 61));
  // A piece that overlaps the next one by the index's word.
  const std::string overlapping = Text(3 << 20, 62);
  auto& overlap = addPieced("overlap.txt", overlapping);
  lengths[0] += 2;
  lengths[1] -= 2;
  overlap.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
  // Pieces that decode to more than the index's piece size.
  auto& more = addPieced("more.txt", Text(3 << 20, 63));
  more.centralExtra = testing_support::PieceIndexField(kPieceSize - 4096, lengths);
  // Pieces whose matches reach into the piece before.
  const std::string reachingText = Text(3 << 20, 64);
  auto& reaching = builder.AddDeflated("reaching.txt", reachingText);
  reaching.data = testing_support::DeflatePieces(reachingText, kPieceSize, 6, lengths, true);
  reaching.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
  // Piece 2 of 4 damaged.
  auto& damaged = addPieced("damaged.txt", Text(4 << 20, 65));
  for (std::size_t i = lengths[0] + lengths[1] / 2; i < lengths[0] + lengths[1] / 2 + 16; ++i) {
    (*damaged.data)[i] = static_cast<char>((*damaged.data)[i] ^ 0x5A);
  }
  // Sound pieces, a wrong CRC-32 for the whole.
  addPieced("wrong-crc.txt", Text(2 << 20, 66)).central.crc32 = 0x01234567;
  addPieced("last.txt", Text((3 << 20) + 77, 67));
  const std::string archive = builder.Build();

  const Outcome alone = Extract(archive, 1, destination_);
  for (const unsigned workers : {2u, 4u}) {
    EXPECT_EQ(Extract(archive, workers, destination_), alone) << workers << " workers";
  }
  // Entry by entry, the reader's streaming reference.
  zip::ZipArchive reader;
  ASSERT_TRUE(zip::ZipOpenMemory(reader, archive.data(), archive.size()));
  const fs::path reference = temp_ / "reference";
  fs::create_directories(reference);
  std::string standardError;
  for (std::uint32_t i = 0; i < zip::ZipEntryCount(reader); ++i) {
    zip::ZipEntryRecord record;
    ASSERT_TRUE(zip::ZipReadEntryRecord(reader, i, record));
    const std::string name(record.central.name);
    const fs::path path = reference / name;
    if (!testing_support::ExtractEntryToFile(reader, i, path.u8string().c_str())) {
      standardError += "Failed extracting " + name + " from archive. Error string: " +
                       zip::ZipErrorText(zip::ZipTakeLastError(reader)) + "\n";
    }
    const std::string bytes = testing_support::ReadFileBytes(path);
    EXPECT_EQ(alone.tree.at(name).rfind("file " + std::to_string(bytes.size()) + " " + bytes, 0),
              0u)
        << name;
  }
  zip::ZipClose(reader);
  EXPECT_EQ(alone.standardError, standardError);
  EXPECT_NE(standardError.find("damaged.txt"), std::string::npos);
  EXPECT_NE(standardError.find("wrong-crc.txt"), std::string::npos);
  EXPECT_TRUE(alone.thrown.empty()) << alone.thrown;
}

TEST_F(ExtractParallelTest, FilesInFlightWithManyPiecesHoldTheWalkBack) {
  // Six entries of 4000 pieces each: more pieces than the walk keeps in
  // flight, so it waits for earlier files before it goes on.
  constexpr std::uint32_t kPieceSize = 16;
  ZipBuilder builder;
  std::vector<std::string> contents;
  for (unsigned i = 0; i < 6; ++i) {
    contents.push_back(Text(4000 * kPieceSize, 70 + i));
    std::vector<std::uint32_t> lengths;
    auto& entry = builder.AddDeflated("many" + std::to_string(i) + ".txt", contents.back());
    entry.data = testing_support::DeflatePieces(contents.back(), kPieceSize, 6, lengths);
    entry.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
  }
  const Outcome outcome = Compare(builder.Build(), "many pieces");
  EXPECT_TRUE(outcome.thrown.empty()) << outcome.thrown;
  EXPECT_EQ(outcome.standardError, "");
  for (unsigned i = 0; i < 6; ++i) {
    EXPECT_EQ(
        outcome.tree.at("many" + std::to_string(i) + ".txt").rfind("file 64000 " + contents[i], 0),
        0u);
  }
}

#ifndef _WIN32
// `outcome` with the text of `destination` replaced by a fixed name.
Outcome WithoutDestination(Outcome outcome, const fs::path& destination) {
  const auto replace = [](auto& text, const auto& what, const auto& with) {
    for (std::size_t at = text.find(what); at != text.npos;
         at = text.find(what, at + with.size())) {
      text.replace(at, what.size(), with);
    }
  };
  replace(outcome.log, PathToWide(destination), std::wstring(L"<destination>"));
  replace(outcome.standardError, destination.u8string(), std::string("<destination>"));
  replace(outcome.thrown, destination.u8string(), std::string("<destination>"));
  return outcome;
}

// The file system of the destination decides how large files are written
// (from a buffer on tmpfs): a destination on tmpfs gives the outcome one on
// the temporary directory's file system gives.
TEST_F(ExtractParallelTest, ADestinationOnTmpfsGivesTheSameOutcome) {
  const fs::path sharedMemory = "/dev/shm";
  std::error_code error;
  if (!fs::is_directory(sharedMemory, error)) {
    GTEST_SKIP() << "no " << sharedMemory;
  }
  TempFolder shared("starter-test-", sharedMemory);
  const fs::path onTmpfs = shared / "quillorbite";
  std::vector<std::pair<std::string, std::string>> archives = testing_support::FuzzSeedArchives();
  // Large files: indexed, with stored and deflated pieces, and one without
  // an index, decoded whole.
  constexpr std::uint32_t kPieceSize = 1 << 20;
  ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  const std::string mixed = Text(3 << 20, 80) + testing_support::NoiseBytes((2 << 20) + 9, 81);
  auto& pieced = builder.AddDeflated("pieced.bin", mixed);
  pieced.data = testing_support::DeflatePieces(mixed, kPieceSize, 6, lengths);
  pieced.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
  builder.AddDeflated("whole.txt", Text(3 << 20, 82));
  archives.emplace_back("large.zip", builder.Build());
  for (const auto& [name, archive] : archives) {
    for (const unsigned workers : {1u, 4u}) {
      const Outcome here =
          WithoutDestination(Extract(archive, workers, destination_), destination_);
      EXPECT_EQ(WithoutDestination(Extract(archive, workers, onTmpfs), onTmpfs), here)
          << name << ", " << workers << " workers";
    }
  }
}
#endif

TEST_F(ExtractParallelTest, AnyNumberOfWorkersGivesTheSameOutcome) {
  ZipBuilder builder;
  for (unsigned i = 0; i < 12; ++i) {
    builder.AddDeflated("d" + std::to_string(i % 3) + "/f" + std::to_string(i),
                        Text(100000 * (i % 5) + 1, 40 + i));
  }
  const std::string archive = builder.Build();
  const Outcome alone = Extract(archive, 1, destination_);
  for (const unsigned workers : {2u, 3u, 7u, 16u, 0u}) {
    EXPECT_EQ(Extract(archive, workers, destination_), alone) << workers << " workers";
  }
}

}  // namespace
