// Damaged-archive sweep: every truncation and thousands of deterministic
// single-byte changes of small valid archives. Whatever the damage, the
// reader must either refuse the archive or, entry by entry, produce the right
// bytes or one of its own errors, and must write only where it is told to.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "testing/entry_files.h"
#include "testing/sample_archives.h"
#include "testing/temp_folder.h"
#include "zip/zip_reader.h"

namespace {

using testing_support::TempFolder;
using zip::ZipArchive;
using zip::ZipError;

#ifdef _WIN32
// File creation under Wine costs far more than natively.
constexpr int kRandomMutations = 600;
#else
constexpr int kRandomMutations = 4000;
#endif

using Sample = testing_support::SweepSample;

bool IsReaderError(ZipError error) {
  return error != ZipError::kNone && std::strcmp(zip::ZipErrorText(error), "unknown error") != 0;
}

// Failures that the contract says come before the output is opened.
bool FailsBeforeOpen(ZipError error) {
  return error == ZipError::kInvalidParameter || error == ZipError::kUnsupportedFeature ||
         error == ZipError::kInvalidHeader;
}

class ZipSweep : public ::testing::Test {
 protected:
  // Runs one damaged archive; records a test failure on any broken promise.
  void Check(const std::string& bytes, const Sample& sample, const std::string& what) {
    ZipArchive archive;
    if (!zip::ZipOpenMemory(archive, bytes.data(), bytes.size())) {
      const ZipError error = zip::ZipTakeLastError(archive);
      if (!IsReaderError(error) || archive.open) {
        ADD_FAILURE() << what << ": open failed without a reader error";
      }
      return;
    }
    ++opened_;
    const std::uint32_t count = zip::ZipEntryCount(archive);
    for (std::uint32_t i = 0; i < count; ++i) {
      zip::ZipEntryRecord record;
      if (!zip::ZipReadEntryRecord(archive, i, record)) {
        ADD_FAILURE() << what << ": entry " << i << " has no record";
        continue;
      }
      if (testing_support::ExtractEntryToFile(archive, i, outPathText_.c_str())) {
        ++extracted_;
        const std::string got = testing_support::ReadFileBytes(outPath_);
        if (count != sample.contents.size() || got != sample.contents[i]) {
          // Only an intact count maps indexes to known contents; with any
          // other count a success cannot be told right from wrong, and a
          // single changed byte can never make one.
          ADD_FAILURE() << what << ": entry " << i << " extracted wrong bytes";
        }
      } else {
        const ZipError error = zip::ZipTakeLastError(archive);
        if (!IsReaderError(error)) {
          ADD_FAILURE() << what << ": entry " << i << " failed without a reader error";
        } else if (FailsBeforeOpen(error) && std::filesystem::exists(outPath_)) {
          ADD_FAILURE() << what << ": entry " << i << " created a file before failing with "
                        << zip::ZipErrorText(error);
        }
      }
      std::error_code ignored;
      std::filesystem::remove(outPath_, ignored);
    }
    zip::ZipClose(archive);
    // The output name is the only thing the reader may ever create.
    for (const auto& item : std::filesystem::directory_iterator(folder_.path())) {
      ADD_FAILURE() << what << ": left " << item.path().u8string();
    }
  }

  void Sweep(const Sample& sample) {
    const std::string& good = sample.bytes;
    // The intact archive first: everything extracts.
    Check(good, sample, "intact");
    ASSERT_EQ(opened_, 1);
    ASSERT_EQ(extracted_, 2);

    for (std::size_t length = 0; length < good.size(); ++length) {
      Check(good.substr(0, length), sample, "first " + std::to_string(length) + " bytes");
      Check(good.substr(length + 1), sample, "without first " + std::to_string(length + 1));
      if (HasFatalFailure() || failures() > 20) {
        return;
      }
    }
    // Every byte changed once, one way.
    for (std::size_t pos = 0; pos < good.size(); ++pos) {
      std::string bad = good;
      bad[pos] = static_cast<char>(bad[pos] ^ 0x01);
      Check(bad, sample, "bit 0 flipped at " + std::to_string(pos));
      if (failures() > 20) {
        return;
      }
    }
    // Then a fixed pseudo-random series of positions and values.
    std::uint32_t state = 0x2545F491u;
    for (int i = 0; i < kRandomMutations; ++i) {
      state = state * 1664525u + 1013904223u;
      const std::size_t pos = (state >> 8) % good.size();
      state = state * 1664525u + 1013904223u;
      const auto delta = static_cast<unsigned char>(1 + (state >> 24) % 255);
      std::string bad = good;
      bad[pos] = static_cast<char>(static_cast<unsigned char>(bad[pos]) + delta);
      Check(bad, sample, "byte " + std::to_string(pos) + " + " + std::to_string(delta));
      if (failures() > 20) {
        return;
      }
    }
  }

  int failures() const {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  TempFolder folder_;
  const std::filesystem::path outPath_ = folder_ / "out";
  const std::string outPathText_ = outPath_.u8string();
  int opened_ = 0;
  int extracted_ = 0;
};

TEST_F(ZipSweep, PlainArchive) {
  const Sample sample = testing_support::PlainSweepSample();
  Sweep(sample);
  // The sweep must reach past the open often enough to mean something.
  EXPECT_GT(opened_, static_cast<int>(sample.bytes.size()) / 2);
  EXPECT_GT(extracted_, static_cast<int>(sample.bytes.size()) / 4);
}

TEST_F(ZipSweep, Zip64Archive) {
  const Sample sample = testing_support::Zip64SweepSample();
  Sweep(sample);
  EXPECT_GT(opened_, static_cast<int>(sample.bytes.size()) / 2);
  EXPECT_GT(extracted_, static_cast<int>(sample.bytes.size()) / 4);
}

}  // namespace
