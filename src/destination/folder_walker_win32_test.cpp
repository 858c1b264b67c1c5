#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "destination/folder_walker.h"
#include "testing/temp_folder.h"
#include "text/long_path.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

class FolderWalkerWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(destination_);
    fs::create_directory(outside_);
    std::error_code error;
    ASSERT_TRUE(walker_.Open(destination_, error)) << error.message();
  }

  bool Write(const std::string& name, const std::string& bytes) {
    std::intptr_t file = -1;
    std::error_code error;
    if (!walker_.CreateFileForWriting(name, 0644, file, error)) {
      EXPECT_EQ(file, -1);
      return false;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    DWORD written = 0;
    const bool ok =
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    return CloseHandle(handle) && ok;
  }

  // Reads a file whatever its path's length.
  static std::string ReadLong(const fs::path& path) {
    const std::wstring extended = ExtendedLengthPath(path.native());
    HANDLE handle = CreateFileW(extended.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return "unreadable";
    }
    char buffer[256];
    DWORD read = 0;
    ReadFile(handle, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(handle);
    return std::string(buffer, read);
  }

  // Makes a symbolic link, or says why the test cannot run here.
  static bool MakeLink(const fs::path& target, const fs::path& link, bool folder) {
    std::error_code error;
    if (folder) {
      fs::create_directory_symlink(target, link, error);
    } else {
      fs::create_symlink(target, link, error);
    }
    return !error && (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  TempFolder temp_;
  const fs::path destination_ = temp_ / "quillorbite";
  const fs::path outside_ = temp_ / "victim";
  FolderWalker walker_;
};

TEST_F(FolderWalkerWin32, CreatesFoldersAndFilesPastMaxPath) {
  std::string deep;
  for (int level = 0; level < 8; ++level) {
    deep += std::string(40, static_cast<char>('a' + level)) + "/";
    EXPECT_TRUE(walker_.CreateFolder(deep)) << level;
  }
  const std::string name = deep + "more/still/file.txt";
  ASSERT_GT((destination_ / fs::u8path(name)).native().size(), 300u);
  EXPECT_TRUE(walker_.CreateParents(name));
  EXPECT_TRUE(Write(name, "at the bottom"));
  EXPECT_EQ(ReadLong(destination_ / fs::u8path(name)), "at the bottom");
  EXPECT_TRUE(Write(name, "again"));  // replaced past MAX_PATH as well
  EXPECT_EQ(ReadLong(destination_ / fs::u8path(name)), "again");
  std::intptr_t file = -1;
  std::error_code error;
  ASSERT_TRUE(walker_.OpenExisting(name, file, error)) << error.message();
  CloseHandle(reinterpret_cast<HANDLE>(file));
}

TEST_F(FolderWalkerWin32, AHardLinkedFileIsReplacedAndItsOtherNameKeepsItsContent) {
  WriteFileBytes(outside_ / "shared.txt", "outside content");
  if (!CreateHardLinkW((destination_ / "shared.txt").c_str(), (outside_ / "shared.txt").c_str(),
                       nullptr)) {
    GTEST_SKIP() << "hard links cannot be made here (" << GetLastError() << ")";
  }
  EXPECT_TRUE(Write("shared.txt", "new"));
  EXPECT_EQ(ReadFileBytes(outside_ / "shared.txt"), "outside content");
  EXPECT_EQ(ReadFileBytes(destination_ / "shared.txt"), "new");
}

TEST_F(FolderWalkerWin32, AFileWhereAFolderIsExpectedIsAFailedCreation) {
  WriteFileBytes(destination_ / "plain", "a file");
  try {
    walker_.CreateParents("plain/file.txt");
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("create_directories"), std::string::npos);
  }
  try {
    walker_.CreateFolder("plain/");
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("create_directory"), std::string::npos);
  }
  EXPECT_FALSE(Write("plain/file.txt", "x"));
  EXPECT_EQ(ReadFileBytes(destination_ / "plain"), "a file");
}

TEST_F(FolderWalkerWin32, AFileHeldWithoutSharingIsRefusedAndKept) {
  WriteFileBytes(destination_ / "held.txt", "held");
  HANDLE held = CreateFileW((destination_ / "held.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Write("held.txt", "new"));
  CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(destination_ / "held.txt"), "held");
}

// True when a folder held open without FILE_SHARE_DELETE cannot be renamed,
// as on Windows; Wine does not enforce it.
bool HeldFoldersCannotMove(const fs::path& scratch) {
  fs::create_directory(scratch / "probe");
  HANDLE handle = CreateFileW((scratch / "probe").c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool moved = MoveFileW((scratch / "probe").c_str(), (scratch / "probe-moved").c_str());
  CloseHandle(handle);
  return !moved;
}

// The folders of the last way walked stay held, so that the next entry in
// the same folder need not open them again; a walk elsewhere lets them go.
TEST_F(FolderWalkerWin32, TheLastWayWalkedIsHeldUntilAWalkElsewhere) {
  const fs::path left = destination_ / "a" / "b";
  const fs::path moved = destination_ / "a" / "moved";
  ASSERT_TRUE(walker_.CreateParents("a/b/one.txt"));
  ASSERT_TRUE(Write("a/b/one.txt", "one"));
  ASSERT_TRUE(Write("a/b/two.txt", "two"));  // along the held way
  ASSERT_TRUE(walker_.CreateParents("a/other/three.txt"));
  ASSERT_TRUE(Write("a/other/three.txt", "three"));

  EXPECT_TRUE(MoveFileW(left.c_str(), moved.c_str())) << GetLastError();
  EXPECT_EQ(ReadFileBytes(moved / "one.txt"), "one");
  EXPECT_EQ(ReadFileBytes(moved / "two.txt"), "two");
  EXPECT_EQ(ReadFileBytes(destination_ / "a" / "other" / "three.txt"), "three");
  // A way walked again finds what stands there now.
  EXPECT_FALSE(Write("a/b/four.txt", "four"));
  ASSERT_TRUE(walker_.CreateParents("a/b/four.txt"));
  ASSERT_TRUE(Write("a/b/four.txt", "four"));
  EXPECT_EQ(ReadFileBytes(left / "four.txt"), "four");
  EXPECT_FALSE(fs::exists(moved / "four.txt"));

  if (!HeldFoldersCannotMove(temp_.path())) {
    GTEST_SKIP() << "this system lets held folders be renamed";
  }
  EXPECT_FALSE(MoveFileW(left.c_str(), (destination_ / "a" / "else").c_str()));
  EXPECT_FALSE(MoveFileW((destination_ / "a").c_str(), (destination_ / "gone").c_str()));
}

TEST_F(FolderWalkerWin32, ReparsePointsAreNeverFollowed) {
  WriteFileBytes(outside_ / "target.txt", "original");
  if (!MakeLink(outside_, destination_ / "linked", true) ||
      !MakeLink(outside_ / "target.txt", destination_ / "file.txt", false)) {
    GTEST_SKIP() << "symbolic links cannot be made here";
  }
  EXPECT_FALSE(walker_.CreateParents("linked/deeper/file.txt"));
  EXPECT_FALSE(walker_.CreateFolder("linked/sub/"));
  EXPECT_FALSE(walker_.CreateFolder("linked/"));
  EXPECT_FALSE(Write("linked/new.txt", "escaped"));
  EXPECT_FALSE(Write("file.txt", "escaped"));
  std::intptr_t file = -1;
  std::error_code error;
  EXPECT_FALSE(walker_.OpenExisting("linked/target.txt", file, error));
  EXPECT_EQ(error.value(), 4395);  // ERROR_REPARSE_POINT_ENCOUNTERED
  EXPECT_EQ(ReadFileBytes(outside_ / "target.txt"), "original");
  EXPECT_FALSE(fs::exists(outside_ / "deeper"));
  EXPECT_FALSE(fs::exists(outside_ / "new.txt"));
}

}  // namespace
