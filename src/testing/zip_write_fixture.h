// Test support: a fixture for tests that write archive entries into files the
// test opens itself and compare the outcome with the streaming reference,
// testing_support::ExtractEntryToOpenFile. Header-only; for test files.
#ifndef STARTER_TESTING_ZIP_WRITE_FIXTURE_H
#define STARTER_TESTING_ZIP_WRITE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "destination/folder_walker.h"
#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "zip/zip_reader.h"

namespace testing_support {

/// What one way of writing an entry left: its error and the file's bytes and
/// modification time.
struct WrittenEntry {
  zip::ZipError error = zip::ZipError::kNone;
  std::string bytes;
  std::filesystem::file_time_type time;
};

/// Expects `actual` to be `reference`: the same error, the same bytes, and
/// for a success the same time (failures set none). `what` names the case.
inline void ExpectSameOutcome(const WrittenEntry& actual, const WrittenEntry& reference,
                              const std::string& what) {
  EXPECT_EQ(zip::ZipErrorText(actual.error), std::string(zip::ZipErrorText(reference.error)))
      << what;
  EXPECT_EQ(actual.bytes.size(), reference.bytes.size()) << what;
  EXPECT_TRUE(actual.bytes == reference.bytes) << what;
  if (reference.error == zip::ZipError::kNone) {
    EXPECT_EQ(actual.time, reference.time) << what;
  }
}

/// A temporary folder opened through a FolderWalker, and one archive read in
/// memory that the test opens with Open.
class ZipWriteFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    ASSERT_TRUE(walker_.Open(temp_.path(), error)) << error.message();
  }

  void TearDown() override { zip::ZipClose(archive_); }

  /// Keeps a copy of `bytes` and opens the archive over it.
  void Open(const std::string& bytes) {
    bytes_ = bytes;
    ASSERT_TRUE(zip::ZipOpenMemory(archive_, bytes_.data(), bytes_.size()));
  }

  /// A new file `name` in the folder, open for writing (and reading).
  std::intptr_t NewFile(const std::string& name) {
    std::intptr_t file = -1;
    std::error_code error;
    EXPECT_TRUE(walker_.CreateFileForWriting(name, 0644, file, error)) << error.message();
    return file;
  }

  /// What the file `name` holds, with `error` as the way's outcome.
  WrittenEntry Read(const std::string& name, zip::ZipError error) {
    WrittenEntry written;
    written.error = error;
    written.bytes = ReadFileBytes(temp_ / name);
    written.time = std::filesystem::last_write_time(temp_ / name);
    return written;
  }

  /// Entry `index` written by the streaming reference.
  WrittenEntry Streamed(std::uint32_t index) {
    const std::string name = "streamed-" + std::to_string(index);
    zip::ZipError error = zip::ZipError::kNone;
    if (!testing_support::ExtractEntryToOpenFile(archive_, index, NewFile(name))) {
      error = zip::ZipTakeLastError(archive_);
    }
    return Read(name, error);
  }

  /// `job` written into the new file `name` by a pieced write on `threads`
  /// threads, each with its scratch, taking pieces as they come (Finish
  /// alone when Begin returns none); `pieces` gets what Begin returned.
  WrittenEntry PiecedOnThreads(const zip::ZipEntryJob& job, unsigned threads,
                               const std::string& name, std::size_t& pieces) {
    testing_support::PiecedFileWrite write;
    pieces = write.Begin(job, NewFile(name));
    zip::ZipError error = zip::ZipError::kInternalError;
    if (pieces == 0) {
      zip::ZipJobScratch scratch;
      return Read(name, write.Finish(scratch));
    }
    unsigned finishers = 0;
    std::vector<std::unique_ptr<zip::ZipJobScratch>> scratches;
    std::vector<std::thread> running;
    for (unsigned t = 0; t < threads; ++t) {
      scratches.emplace_back(new zip::ZipJobScratch);
      zip::ZipJobScratch* scratch = scratches.back().get();
      running.emplace_back([&write, &error, &finishers, scratch] {
        std::size_t piece = 0;
        while (write.ClaimPiece(piece)) {
          if (write.WritePiece(piece, *scratch)) {
            error = write.Finish(*scratch);
            ++finishers;  // only the last piece's thread gets here
          }
        }
      });
    }
    for (std::thread& thread : running) {
      thread.join();
    }
    EXPECT_EQ(finishers, 1u) << name;
    return Read(name, error);
  }

  TempFolder temp_;
  FolderWalker walker_;
  std::string bytes_;
  zip::ZipArchive archive_;
};

}  // namespace testing_support

#endif  // STARTER_TESTING_ZIP_WRITE_FIXTURE_H
