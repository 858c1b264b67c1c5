#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "extract/output_file.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSharedMemory = "/dev/shm";

bool HasSharedMemory() {
  std::error_code error;
  return fs::is_directory(kSharedMemory, error);
}

std::intptr_t NewFile(const fs::path& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

TEST(OutputFilePosix, AFileWithoutAHandleRefusesWrites) {
  OutputFile file(-1);
  const unsigned char byte = 1;
  EXPECT_FALSE(file.WriteAt(0, &byte, 1));
}

// With no file to empty there is no call whose EINTR could be retried: an
// EINTR left in errno from before must not make the reset spin.
TEST(OutputFilePosix, AFileWithoutAHandleRefusesAResetWhateverErrnoHolds) {
  OutputFile file(-1);
  errno = EINTR;
  EXPECT_FALSE(file.Reset());
}

// Pieces reach the file in whatever order their workers finish: written
// last piece first, on disk and on tmpfs, the file is the content, and a
// reset before writing again leaves nothing of the first attempt.
TEST(OutputFilePosix, PositionalWritesInAnyOrderMakeTheFileOnDiskAndOnTmpfs) {
  testing_support::TempFolder temp;
  std::vector<fs::path> folders = {temp.path()};
  std::unique_ptr<testing_support::TempFolder> shared;
  if (HasSharedMemory()) {
    shared.reset(new testing_support::TempFolder("starter-test-", kSharedMemory));
    folders.push_back(shared->path());
  }
  const std::string content = testing_support::NoiseBytes((3 << 20) + 17, 0x2545F491u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  constexpr std::size_t kPiece = 1 << 20;
  for (const fs::path& folder : folders) {
    const fs::path path = folder / "written";
    OutputFile file(NewFile(path));
    ASSERT_TRUE(file.WriteAt(0, bytes, content.size())) << folder;
    ASSERT_TRUE(file.WriteAt(content.size(), bytes, 5)) << folder;
    ASSERT_TRUE(file.Reset()) << folder;
    for (std::size_t end = content.size(); end > 0;) {
      const std::size_t start = end > kPiece ? end - kPiece : 0;
      ASSERT_TRUE(file.WriteAt(start, bytes + start, end - start)) << folder;
      end = start;
    }
    zip::ZipEntryJob job;
    EXPECT_EQ(file.Finish(zip::ZipError::kNone, job), zip::ZipError::kNone);
    EXPECT_TRUE(testing_support::ReadFileBytes(path) == content) << folder;
  }
}

}  // namespace
