#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "pack/host_io.h"
#include "pack/pack_test_support.h"
#include "pack/tree_walk.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::Names;
using pack_test::PutFile;
using pack_test::Walk;
using pack_test::WalkResult;
using testing_support::TempFolder;

bool CreateWideFile(const std::wstring& path, const std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
      written == bytes.size();
  CloseHandle(file);
  return ok;
}

TEST(PackHostIo, FolderOfAWindowsPath) {
  EXPECT_EQ(pack::FolderOfPath("a.zip"), ".");
  EXPECT_EQ(pack::FolderOfPath("out\\a.zip"), "out");
  EXPECT_EQ(pack::FolderOfPath("out/a.zip"), "out");
  EXPECT_EQ(pack::FolderOfPath("C:\\out/sub\\a.zip"), "C:\\out/sub");
  EXPECT_EQ(pack::FolderOfPath("C:\\a.zip"), "C:\\");
  EXPECT_EQ(pack::FolderOfPath("C:/a.zip"), "C:/");
  EXPECT_EQ(pack::FolderOfPath("C:a.zip"), "C:");
  EXPECT_EQ(pack::FolderOfPath("\\a.zip"), "\\");
  EXPECT_EQ(pack::FolderOfPath("\\\\server\\share\\a.zip"), "\\\\server\\share");
}

TEST(PackHostIo, HandlesPathsLongerThanMaxPath) {
  TempFolder root("pack-io-");
  // Made through the \\?\ prefix, which the packer's callers never write.
  std::wstring wide = L"\\\\?\\" + root.path().wstring();
  std::string path = root.path().u8string();
  std::vector<std::wstring> made;
  for (int i = 0; i < 24; ++i) {
    const std::string level = "level-" + std::to_string(i) + "-abcdefghij";
    wide += L"\\" + std::wstring(level.begin(), level.end());
    path += "/" + level;
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr)) << GetLastError();
    made.push_back(wide);
  }
  ASSERT_TRUE(CreateWideFile(wide + L"\\file.txt", "long way down"));
  ASSERT_GT(path.size(), static_cast<std::size_t>(MAX_PATH));

  std::string error;
  pack::NodeInfo info;
  ASSERT_TRUE(pack::InspectNode(path + "/file.txt", false, info, error)) << error;
  EXPECT_EQ(info.kind, pack::NodeKind::kFile);
  EXPECT_EQ(info.size, 13u);
  pack::InputFile input;
  ASSERT_TRUE(input.Open(path, "file.txt", false, info, error)) << error;
  EXPECT_EQ(info.size, 13u);
  char buffer[16] = {};
  EXPECT_EQ(input.ReadAt(5, buffer, sizeof buffer, error), 8);
  EXPECT_EQ(std::string(buffer, 8), "way down");
  input.Close();

  const WalkResult walked = Walk(root.path());
  ASSERT_TRUE(walked.ok) << walked.error;
  ASSERT_EQ(walked.entries.size(), 25u);
  EXPECT_EQ(walked.entries.back().size, 13u);

  pack::OutputFile output;
  ASSERT_TRUE(output.Create(path + "/out.zip", error)) << error;
  ASSERT_TRUE(output.WriteAt(0, "archive", 7, error)) << error;
  ASSERT_TRUE(output.Commit(error)) << error;
  {
    pack::MappedFile mapped;
    ASSERT_TRUE(mapped.Open(path + "/out.zip", error)) << error;
    ASSERT_EQ(mapped.size(), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped.data()), 7), "archive");
  }

  // The folder's own clean-up may not reach this deep.
  EXPECT_TRUE(DeleteFileW((wide + L"\\file.txt").c_str()));
  EXPECT_TRUE(DeleteFileW((wide + L"\\out.zip").c_str()));
  for (auto level = made.rbegin(); level != made.rend(); ++level) {
    EXPECT_TRUE(RemoveDirectoryW(level->c_str()));
  }
}

TEST(PackHostIo, TakesUtf8PathsBeyondAscii) {
  TempFolder root("pack-io-");
  PutFile(root, "caf\xC3\xA9/men\xC3\xBC.txt", "menu");
  const std::string folder = root.path().u8string() + "\\caf\xC3\xA9";
  std::vector<pack::TreeEntry> entries;
  std::string error;
  ASSERT_TRUE(pack::WalkTree(folder, pack::WalkOptions(), entries, error)) << error;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "men\xC3\xBC.txt");
  EXPECT_EQ(entries[0].size, 4u);
  pack::InputFile input;
  pack::NodeInfo info;
  ASSERT_TRUE(input.Open(entries[0].root, entries[0].name, false, info, error)) << error;
  EXPECT_EQ(info.inode, entries[0].inode);
  // Text that is not UTF-8 names no file at all.
  EXPECT_FALSE(input.Open(root.path().u8string(), "caf\xE9", false, info, error));
  EXPECT_NE(error.find("not valid UTF-8"), std::string::npos) << error;
}

TEST(PackHostIo, RefusesANameThatIsNotValidUtf16) {
  TempFolder root("pack-io-");
  const std::wstring name = root.path().wstring() + L"\\caf\xD800.txt";
  if (!CreateWideFile(name, "x")) {
    GTEST_SKIP() << "this file system takes no name with an unpaired surrogate";
  }
  const WalkResult result = Walk(root.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("not valid UTF-8"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("caf\\xED\\xA0\\x80.txt"), std::string::npos) << result.error;
}

TEST(PackHostIo, DescribesADeviceAsNeitherFileNorFolder) {
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(pack::InspectNode("NUL", true, info, error)) << error;
  EXPECT_EQ(info.kind, pack::NodeKind::kOther);
  pack::InputFile input;
  EXPECT_FALSE(input.Open(".", "NUL", false, info, error));
  EXPECT_EQ(error, "not a regular file");
}

TEST(PackHostIo, DescribesAWindowsSymbolicLinkAsOne) {
  TempFolder root("pack-io-");
  PutFile(root, "real.txt", "r");
  const std::wstring link = (root / "alias.txt").wstring();
  const bool made = CreateSymbolicLinkW(link.c_str(), L"real.txt",
                                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (!made || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "no symbolic link could be made (it needs developer mode or a privilege; "
                    "Wine makes none)";
  }
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(pack::InspectNode((root / "alias.txt").string(), false, info, error)) << error;
  EXPECT_EQ(info.kind, pack::NodeKind::kSymlink);
  ASSERT_TRUE(pack::InspectNode((root / "alias.txt").string(), true, info, error)) << error;
  EXPECT_EQ(info.kind, pack::NodeKind::kFile);
  EXPECT_EQ(info.size, 1u);
  WalkResult result = Walk(root.path());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("alias.txt: is a symbolic link"), std::string::npos) << result.error;
  result = Walk(root.path(), true);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(Names(result), (std::vector<std::string>{"alias.txt", "real.txt"}));
  // Opened as itself, the link is no file to read; followed, it is its target.
  pack::InputFile input;
  EXPECT_FALSE(input.Open(root.path().u8string(), "alias.txt", false, info, error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  ASSERT_TRUE(input.Open(root.path().u8string(), "alias.txt", true, info, error)) << error;
  EXPECT_EQ(info.size, 1u);
}

TEST(PackHostIo, GivesFoldersAndFilesTheUsualUnixPermissions) {
  TempFolder folder("pack-host-io-");
  PutFile(folder, "dir/file.txt", "text");
  PutFile(folder, "dir/locked.txt", "text");
  const std::wstring locked = (folder / "dir/locked.txt").wstring();
  ASSERT_TRUE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
  pack::NodeInfo info;
  std::string error;
  ASSERT_TRUE(pack::InspectNode((folder / "dir").string(), false, info, error)) << error;
  EXPECT_EQ(info.permissions, 0755u);
  ASSERT_TRUE(pack::InspectNode((folder / "dir/file.txt").string(), false, info, error)) << error;
  EXPECT_EQ(info.permissions, 0644u);
  ASSERT_TRUE(pack::InspectNode((folder / "dir/locked.txt").string(), false, info, error)) << error;
  EXPECT_EQ(info.permissions, 0444u);
  ASSERT_TRUE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_NORMAL));
}

TEST(PackHostIo, ReplacesAReadOnlyArchiveAsOnPosix) {
  TempFolder root("pack-io-");
  const std::wstring target = (root / "a.zip").wstring();
  ASSERT_TRUE(CreateWideFile(target, "previous"));
  ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
  pack::OutputFile output;
  std::string error;
  ASSERT_TRUE(output.Create((root / "a.zip").string(), error)) << error;
  ASSERT_TRUE(output.WriteAt(0, "new", 3, error)) << error;
  ASSERT_TRUE(output.Commit(error)) << error;
  EXPECT_EQ(testing_support::ReadFileBytes(root / "a.zip"), "new");
  EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(pack_test::FolderNames(root.path()), std::vector<std::string>{"a.zip"});
}

TEST(PackHostIo, LeavesAnArchiveOpenElsewhereAsItIs) {
  TempFolder root("pack-io-");
  const std::wstring target = (root / "a.zip").wstring();
  ASSERT_TRUE(CreateWideFile(target, "previous"));
  // As a running starter holds its own image: readers may share, deleters not.
  const HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  pack::OutputFile output;
  std::string error;
  ASSERT_TRUE(output.Create((root / "a.zip").string(), error)) << error;
  ASSERT_TRUE(output.WriteAt(0, "new", 3, error)) << error;
  EXPECT_FALSE(output.Commit(error));
  EXPECT_FALSE(error.empty());
  CloseHandle(held);
  EXPECT_EQ(testing_support::ReadFileBytes(root / "a.zip"), "previous");
  EXPECT_EQ(pack_test::FolderNames(root.path()), std::vector<std::string>{"a.zip"});
}

}  // namespace
