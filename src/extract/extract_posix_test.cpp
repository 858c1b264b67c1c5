#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
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

TEST(ExtractPosix, AnInterruptionMidWalkFinishesTheFilesInFlightAndWritesNothingAfter) {
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

  // The log reports entries 0 to n-1 whole, in order, and ends there; the
  // files of exactly those entries are on disk, complete.
  std::wstring expected = L"open successdestDir creatednum" + std::to_wstring(kCount);
  std::uint32_t reported = 0;
  while (reported < kCount && g_extractLog.size() > expected.size()) {
    expected += reported == 8
                    ? L" Stat read Failed extracting 8refused full path fail: " +
                          PathToWide(fs::absolute(destination)) + L"/refusedunsupported feature"
                    : L" Stat read success " + std::to_wstring(reported);
    ++reported;
  }
  EXPECT_EQ(g_extractLog, expected);
  EXPECT_GT(reported, 8u);
  EXPECT_LT(reported, kCount);
  for (std::uint32_t i = 0; i < kCount; ++i) {
    const fs::path file = destination / ("f" + std::to_string(i));
    if (i < reported && i != 8) {
      EXPECT_EQ(testing_support::ReadFileBytes(file), contents[i]) << i;
    } else {
      EXPECT_FALSE(fs::exists(file)) << i;
    }
  }
}

}  // namespace
