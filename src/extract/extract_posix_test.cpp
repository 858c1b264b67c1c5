#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "extract/extract.h"
#include "interruption/interruption.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

TEST(ExtractPosix, AnInterruptionStopsTheWalkBeforeTheNextEntry) {
  testing_support::TempFolder temp;
  testing_support::ZipBuilder builder;
  builder.AddFolder("a/");
  builder.AddStored("a/b.txt", "b");
  builder.AddStored("c.txt", "c");
  const std::string archive = builder.Build();
  const fs::path destination = temp / "quillorbite";

  const InterruptionGuard guard;
  raise(SIGINT);
  try {
    ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str());
    ADD_FAILURE() << "the walk went on to its end";
  } catch (const Interrupted& interruption) {
    EXPECT_EQ(interruption.cause(), SIGINT);
  }
  EXPECT_EQ(g_extractLog, L"open successdestDir creatednum3");
  EXPECT_TRUE(fs::is_empty(destination));
  zip::ZipClose(g_zipArchive);  // left open by the interrupted walk
}

// Standard error that records SIGINT the first time a line is flushed to
// it: an interruption that arrives in the middle of the walk, at a point the
// walk itself decides.
class InterruptingStandardError : public std::stringbuf {
 protected:
  int sync() override {
    if (!raised_) {
      raised_ = true;
      raise(SIGINT);
    }
    return std::stringbuf::sync();
  }

 private:
  bool raised_ = false;
};

TEST(ExtractPosix, AnInterruptionMidWalkStopsTheFilesInFlightAndWritesNothingAfter) {
  constexpr std::uint32_t kCount = 40;
  testing_support::TempFolder temp;
  testing_support::ZipBuilder builder;
  std::vector<std::string> contents;
  for (unsigned i = 0; i < 8; ++i) {
    contents.push_back(std::string(900000 + i, static_cast<char>('a' + i)) + "end");
    builder.AddDeflated("f" + std::to_string(i), contents.back());
  }
  builder.AddStored("refused", "x").method = 12;  // its line on standard error interrupts
  contents.emplace_back();
  // More entries after it than the walk holds back unreported, so that the
  // line comes out, and the interruption arrives, before the walk's end.
  for (unsigned i = 9; i < kCount; ++i) {
    contents.push_back("small file " + std::to_string(i));
    builder.AddStored("f" + std::to_string(i), contents.back());
  }
  const std::string archive = builder.Build();
  const fs::path destination = temp / "quillorbite";

  InterruptingStandardError standardError;
  std::streambuf* const previous = std::cerr.rdbuf(&standardError);
  const InterruptionGuard guard;
  bool interrupted = false;
  try {
    ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str(), 4);
  } catch (const Interrupted& interruption) {
    interrupted = interruption.cause() == SIGINT;
  }
  std::cerr.rdbuf(previous);
  zip::ZipClose(g_zipArchive);  // left open by the interrupted walk
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(standardError.str(),
            "Failed extracting refused from archive. Error string: unsupported feature\n");

  // The log goes through the walked entries in order: each file was either
  // written whole before the interruption came, and reported, or stopped
  // before it was begun, with only its record read logged and its file
  // empty. Nothing after the walked entries exists.
  std::wstring expected = L"open successdestDir creatednum" + std::to_wstring(kCount);
  std::vector<bool> written;
  while (written.size() < kCount && g_extractLog.size() > expected.size()) {
    const std::size_t i = written.size();
    const std::wstring whole = i == 8 ? L" Stat read Failed extracting 8refused full path fail: " +
                                            PathToWide(fs::absolute(destination)) +
                                            L"/refusedunsupported feature"
                                      : L" Stat read success " + std::to_wstring(i);
    const bool reported = g_extractLog.compare(expected.size(), whole.size(), whole) == 0;
    expected += reported ? whole : L" Stat read";
    written.push_back(reported);
  }
  EXPECT_EQ(g_extractLog, expected);
  EXPECT_GT(written.size(), 9u);
  EXPECT_LT(written.size(), kCount);
  for (std::uint32_t i = 0; i < 9 && i < written.size(); ++i) {
    EXPECT_TRUE(written[i]) << i;  // reported before the interruption came
  }
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const fs::path file = destination / ("f" + std::to_string(i));
    if (i == 8 || i >= written.size()) {
      EXPECT_FALSE(fs::exists(file)) << i;
    } else {
      EXPECT_EQ(testing_support::ReadFileBytes(file), written[i] ? contents[i] : "") << i;
    }
  }
}

// Unpacks `archive` with 4 workers while another thread raises SIGTERM as
// soon as the walk has made the file `trigger`, before the workers can have
// got far into it. Returns the interruption's signal, 0 when none came out.
int ExtractInterruptedAt(const std::string& archive, const fs::path& destination,
                         const fs::path& trigger, std::string& standardError) {
  std::ostringstream captured;
  std::streambuf* const previous = std::cerr.rdbuf(captured.rdbuf());
  const InterruptionGuard guard;
  std::thread interrupter([&trigger] {
    std::error_code error;
    while (!fs::exists(trigger, error)) {
      std::this_thread::yield();
    }
    kill(getpid(), SIGTERM);
  });
  int cause = 0;
  try {
    ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str(), 4);
  } catch (const Interrupted& interruption) {
    cause = interruption.cause();
  }
  interrupter.join();
  std::cerr.rdbuf(previous);
  zip::ZipClose(g_zipArchive);  // left open by the interrupted walk
  standardError = captured.str();
  return cause;
}

// The large file's last `tail` bytes as they are on disk.
std::string Tail(const fs::path& file, std::size_t tail) {
  const std::string bytes = testing_support::ReadFileBytes(file);
  return bytes.size() < tail ? std::string() : bytes.substr(bytes.size() - tail);
}

TEST(ExtractPosix, AnInterruptionStopsALargePiecedFileAndBeginsNoFileWaitingItsTurn) {
  constexpr std::uint32_t kPieceSize = 1 << 20;
  const std::string large = testing_support::NumberedText(96u * kPieceSize, "of the large file");
  testing_support::TempFolder temp;
  testing_support::ZipBuilder builder;
  std::vector<std::uint32_t> lengths;
  auto& entry = builder.AddDeflated("large.bin", large);
  entry.data = testing_support::DeflatePieces(large, kPieceSize, 1, lengths);
  entry.centralExtra = testing_support::PieceIndexField(kPieceSize, lengths);
  // Files the walk hands to the workers while the large one is written.
  for (unsigned i = 0; i < 8; ++i) {
    builder.AddDeflated("after" + std::to_string(i),
                        testing_support::NumberedText(300000 + i, "of the large file"));
  }
  const std::string archive = builder.Build();
  const fs::path destination = temp / "quillorbite";

  std::string standardError;
  EXPECT_EQ(ExtractInterruptedAt(archive, destination, destination / "large.bin", standardError),
            SIGTERM);
  // Nothing cut short is called a failure.
  EXPECT_EQ(standardError, "");
  EXPECT_EQ(g_extractLog.find(L" success "), std::wstring::npos)
      << WideToUtf8(g_extractLog.c_str());
  // The workers stopped a piece or so after the signal: the last pieces were
  // never decoded into the file (which has its full length from the start).
  EXPECT_TRUE(Tail(destination / "large.bin", 8u * kPieceSize) !=
              large.substr(large.size() - 8u * kPieceSize));
  // The files queued behind it were never begun.
  for (unsigned i = 0; i < 8; ++i) {
    const fs::path file = destination / ("after" + std::to_string(i));
    std::error_code error;
    EXPECT_TRUE(!fs::exists(file, error) || fs::file_size(file) == 0) << file;
  }
}

TEST(ExtractPosix, AnInterruptionStopsALargeFileWithoutPiecesWhileItIsStreamed) {
  // More than the largest entry decoded in one call when a write can be
  // asked to stop, so it is streamed buffer by buffer.
  const std::string large = testing_support::NumberedText(80u << 20, "of the large file");
  testing_support::TempFolder temp;
  testing_support::ZipBuilder builder;
  builder.AddDeflated("large.bin", large).deflateLevel = 1;
  const std::string archive = builder.Build();
  const fs::path destination = temp / "quillorbite";

  std::string standardError;
  EXPECT_EQ(ExtractInterruptedAt(archive, destination, destination / "large.bin", standardError),
            SIGTERM);
  EXPECT_EQ(standardError, "");
  EXPECT_LT(fs::file_size(destination / "large.bin"), large.size());
}

}  // namespace
