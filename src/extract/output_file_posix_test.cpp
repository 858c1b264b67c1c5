#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
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

TEST(OutputFilePosix, LargeDataIsWrittenFromABufferOnTmpfs) {
  if (!HasSharedMemory()) {
    GTEST_SKIP() << "no " << kSharedMemory;
  }
  testing_support::TempFolder shared("starter-test-", kSharedMemory);
  OutputFile file(NewFile(shared / "file"));
  // tmpfs allocates every page of a mapping in its own fault.
  EXPECT_FALSE(file.PrefersView());
  EXPECT_FALSE(file.PrefersView());  // the same answer when asked again
  zip::ZipEntryJob job;
  EXPECT_EQ(file.Finish(zip::ZipError::kNone, job), zip::ZipError::kNone);
}

TEST(OutputFilePosix, AFileWithoutAHandleNeverPrefersAView) {
  OutputFile file(-1);
  EXPECT_FALSE(file.PrefersView());
  EXPECT_EQ(file.MapView(10), nullptr);
}

// With no file to empty there is no call whose EINTR could be retried: an
// EINTR left in errno from before must not make the reset spin.
TEST(OutputFilePosix, AFileWithoutAHandleRefusesAResetWhateverErrnoHolds) {
  OutputFile file(-1);
  errno = EINTR;
  EXPECT_FALSE(file.Reset());
}

// The view stays the way of writing on file systems where it was not
// measured: wherever the file lies, what is written into it is the file.
TEST(OutputFilePosix, AViewWritesTheFileOnAnyFileSystem) {
  testing_support::TempFolder temp;
  std::vector<fs::path> folders = {temp.path()};
  std::unique_ptr<testing_support::TempFolder> shared;
  if (HasSharedMemory()) {
    shared.reset(new testing_support::TempFolder("starter-test-", kSharedMemory));
    folders.push_back(shared->path());
  }
  const std::string content = testing_support::NoiseBytes(3 << 20, 0x2545F491u);
  for (const fs::path& folder : folders) {
    const fs::path path = folder / "viewed";
    OutputFile file(NewFile(path));
    unsigned char* view = file.MapView(content.size());
    ASSERT_NE(view, nullptr) << folder;
    EXPECT_EQ(file.MapView(content.size()), nullptr) << "a second view at once";
    std::memcpy(view, content.data(), content.size());
    EXPECT_TRUE(file.UnmapView());
    EXPECT_FALSE(file.UnmapView());
    zip::ZipEntryJob job;
    EXPECT_EQ(file.Finish(zip::ZipError::kNone, job), zip::ZipError::kNone);
    EXPECT_TRUE(testing_support::ReadFileBytes(path) == content) << folder;
  }
}

}  // namespace
