#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "destination/folder_walker.h"
#include "testing/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

// A destination and, beside it, a folder that nothing may reach through it.
class FolderWalkerPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(destination_);
    fs::create_directory(outside_);
    std::error_code error;
    ASSERT_TRUE(walker_.Open(destination_, error)) << error.message();
  }

  // Creates `name` and writes `bytes` into it through the walker.
  bool Write(const std::string& name, const std::string& bytes, std::uint32_t mode = 0644) {
    std::intptr_t file = -1;
    std::error_code error;
    if (!walker_.CreateFileForWriting(name, mode, file, error)) {
      lastError_ = error;
      EXPECT_EQ(file, -1);
      return false;
    }
    const int fd = static_cast<int>(file);
    const bool written =
        ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && written;
  }

  template <typename Call>
  static std::string ThrownOperation(Call call) {
    try {
      call();
    } catch (const fs::filesystem_error& error) {
      return error.what();
    }
    return "nothing thrown";
  }

  TempFolder temp_;
  const fs::path destination_ = temp_ / "quillorbite";
  const fs::path outside_ = temp_ / "victim";
  FolderWalker walker_;
  std::error_code lastError_;
};

TEST_F(FolderWalkerPosix, CreatesFoldersAndFilesBelowTheDestination) {
  EXPECT_TRUE(walker_.CreateFolder("a/"));
  EXPECT_TRUE(walker_.CreateFolder("a/"));  // already there: no error
  EXPECT_TRUE(walker_.CreateParents("a/b/c/file.txt"));
  EXPECT_TRUE(walker_.CreateParents("a/b/c/file.txt"));
  EXPECT_TRUE(Write("a/b/c/file.txt", "deep"));
  EXPECT_TRUE(Write("top.txt", "top"));
  EXPECT_EQ(ReadFileBytes(destination_ / "a/b/c/file.txt"), "deep");
  EXPECT_EQ(ReadFileBytes(destination_ / "top.txt"), "top");
}

TEST_F(FolderWalkerPosix, ALinkAsAMiddleComponentIsNeverFollowed) {
  fs::create_directory_symlink(outside_, destination_ / "linked");
  EXPECT_FALSE(walker_.CreateParents("linked/deeper/file.txt"));
  EXPECT_FALSE(walker_.CreateParents("linked/file.txt"));
  EXPECT_FALSE(Write("linked/file.txt", "escaped"));
  EXPECT_EQ(lastError_, std::errc::too_many_symbolic_link_levels);
  EXPECT_FALSE(walker_.CreateFolder("linked/sub/"));
  std::intptr_t file = -1;
  std::error_code error;
  WriteFileBytes(outside_ / "present.txt", "outside");
  EXPECT_FALSE(walker_.OpenExisting("linked/present.txt", file, error));
  EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(file, -1);
  fs::remove(outside_ / "present.txt");
  EXPECT_TRUE(fs::is_empty(outside_));
  EXPECT_TRUE(fs::is_symlink(destination_ / "linked"));
}

TEST_F(FolderWalkerPosix, ALinkDeeperDownIsNeverFollowedEither) {
  fs::create_directories(destination_ / "a/b");
  fs::create_directory_symlink(outside_, destination_ / "a/b/linked");
  EXPECT_FALSE(walker_.CreateParents("a/b/linked/c/file.txt"));
  EXPECT_FALSE(Write("a/b/linked/file.txt", "escaped"));
  EXPECT_FALSE(walker_.CreateFolder("a/b/linked/c/"));
  EXPECT_TRUE(fs::is_empty(outside_));
}

TEST_F(FolderWalkerPosix, ALinkAsTheLastComponentIsNeverWrittenThrough) {
  WriteFileBytes(outside_ / "target.txt", "original");
  fs::create_symlink(outside_ / "target.txt", destination_ / "file.txt");
  fs::create_directory_symlink(outside_, destination_ / "folder");
  EXPECT_FALSE(Write("file.txt", "escaped"));
  EXPECT_EQ(lastError_, std::errc::too_many_symbolic_link_levels);
  EXPECT_FALSE(walker_.CreateFolder("folder/"));
  EXPECT_FALSE(walker_.CreateFolder("file.txt/"));
  std::intptr_t file = -1;
  std::error_code error;
  EXPECT_FALSE(walker_.OpenExisting("file.txt", file, error));
  EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(ReadFileBytes(outside_ / "target.txt"), "original");
  EXPECT_TRUE(fs::is_symlink(destination_ / "file.txt"));
  EXPECT_TRUE(fs::is_symlink(destination_ / "folder"));
}

TEST_F(FolderWalkerPosix, ADanglingLinkCreatesNothingWhereItPoints) {
  fs::create_symlink(outside_ / "absent", destination_ / "dangling");
  EXPECT_FALSE(Write("dangling", "escaped"));
  EXPECT_FALSE(walker_.CreateParents("dangling/file.txt"));
  EXPECT_FALSE(walker_.CreateFolder("dangling/"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(outside_ / "absent")));
  EXPECT_TRUE(fs::is_symlink(destination_ / "dangling"));
}

TEST_F(FolderWalkerPosix, AFileWhereAFolderIsExpectedIsAFailedCreation) {
  WriteFileBytes(destination_ / "plain", "a file");
  EXPECT_NE(
      ThrownOperation([&] { walker_.CreateParents("plain/file.txt"); }).find("create_directories"),
      std::string::npos);
  EXPECT_NE(ThrownOperation([&] { walker_.CreateFolder("plain/"); }).find("create_directory"),
            std::string::npos);
  EXPECT_NE(ThrownOperation([&] { walker_.CreateFolder("plain/sub/"); }).find("create_directory"),
            std::string::npos);
  EXPECT_FALSE(Write("plain/file.txt", "x"));
  EXPECT_EQ(ReadFileBytes(destination_ / "plain"), "a file");
}

TEST_F(FolderWalkerPosix, AFolderWhoseParentIsMissingIsAFailedCreation) {
  EXPECT_NE(
      ThrownOperation([&] { walker_.CreateFolder("parent/child/"); }).find("create_directory"),
      std::string::npos);
  EXPECT_FALSE(fs::exists(destination_ / "parent"));
}

TEST_F(FolderWalkerPosix, AHardLinkedFileIsReplacedAndItsOtherNameKeepsItsContent) {
  WriteFileBytes(outside_ / "shared.txt", "outside content");
  fs::create_hard_link(outside_ / "shared.txt", destination_ / "shared.txt");
  EXPECT_TRUE(Write("shared.txt", "new"));
  EXPECT_EQ(ReadFileBytes(outside_ / "shared.txt"), "outside content");
  EXPECT_EQ(ReadFileBytes(destination_ / "shared.txt"), "new");
  EXPECT_EQ(fs::hard_link_count(outside_ / "shared.txt"), 1u);
}

TEST_F(FolderWalkerPosix, AReplacedFileGetsTheNewContentAndTheNewMode) {
  WriteFileBytes(destination_ / "app", std::string(5000, 'o'));
  ::chmod((destination_ / "app").c_str(), 0600);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_TRUE(Write("app", "new", 0755));
  EXPECT_EQ(ReadFileBytes(destination_ / "app"), "new");
  struct stat info;
  ASSERT_EQ(::stat((destination_ / "app").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755 & ~mask);
}

TEST_F(FolderWalkerPosix, WhatIsNoRegularFileIsNeitherReplacedNorOpenedForWriting) {
  ASSERT_EQ(::mkfifo((destination_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(destination_ / "folder");
  EXPECT_FALSE(Write("fifo", "x"));
  EXPECT_FALSE(Write("folder", "x"));
  EXPECT_TRUE(fs::is_fifo(destination_ / "fifo"));
  EXPECT_TRUE(fs::is_directory(destination_ / "folder"));
}

TEST_F(FolderWalkerPosix, OpensAnExistingFileForReading) {
  fs::create_directory(destination_ / "a");
  ASSERT_TRUE(WriteFileBytes(destination_ / "a/program", "program"));
  std::intptr_t file = -1;
  std::error_code error;
  ASSERT_TRUE(walker_.OpenExisting("a/program", file, error)) << error.message();
  char byte = 0;
  EXPECT_EQ(::read(static_cast<int>(file), &byte, 1), 1);
  EXPECT_EQ(byte, 'p');
  ::close(static_cast<int>(file));
  EXPECT_FALSE(walker_.OpenExisting("a/missing", file, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(walker_.OpenExisting("missing/program", file, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

TEST(FolderWalkerPosixOpen, RefusesALinkOrAFileAsItsFolder) {
  TempFolder temp;
  fs::create_directory(temp / "real");
  fs::create_directory_symlink(temp / "real", temp / "link");
  WriteFileBytes(temp / "file", "a file");
  std::error_code error;
  FolderWalker throughLink;
  EXPECT_FALSE(throughLink.Open(temp / "link", error));
  EXPECT_TRUE(error);
  FolderWalker onFile;
  EXPECT_FALSE(onFile.Open(temp / "file", error));
  EXPECT_EQ(error, std::errc::not_a_directory);
  FolderWalker onMissing;
  EXPECT_FALSE(onMissing.Open(temp / "missing", error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

}  // namespace
