#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "destination/destination.h"
#include "testing/temp_folder.h"
#include "text/long_path.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

TEST(PathExistsWin32, AProbeFailureOtherThanAbsenceCountsAsPresent) {
  TempFolder temp;
  // Wildcards make an invalid name: ERROR_INVALID_NAME, not "not found".
  EXPECT_TRUE(PathExists(PathToWide(temp.path()) + L"\\bad?*name"));
}

TEST(RemoveDestinationTreeWin32, AFileHeldOpenMakesTheRemovalThrow) {
  TempFolder temp;
  const fs::path root = temp / "quillorbite";
  fs::create_directory(root);
  testing_support::WriteFileBytes(root / "busy.bin", "busy");
  HANDLE held = CreateFileW((root / "busy.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  try {
    RemoveDestinationTree(PathToWide(root));
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("remove_all"), std::string::npos) << error.what();
  }
  CloseHandle(held);
  EXPECT_TRUE(fs::exists(root / "busy.bin"));
}

TEST(RemoveDestinationTreeWin32, ClearsReadOnlyAttributes) {
  TempFolder temp;
  const fs::path root = temp / "quillorbite";
  fs::create_directory(root);
  testing_support::WriteFileBytes(root / "ro.txt", "ro");
  ASSERT_TRUE(SetFileAttributesW((root / "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  RemoveDestinationTree(PathToWide(root));
  EXPECT_FALSE(fs::exists(root));
}

TEST(RemoveDestinationTreeWin32, RemovesATreeDeeperThanMaxPath) {
  TempFolder temp;
  const std::wstring root = PathToWide(temp / "quillorbite");
  // Made in the long form, the only one that reaches this deep on Windows.
  std::wstring folder = ExtendedLengthPath(root);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  for (int level = 0; level < 8; ++level) {
    folder += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + level));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << level;
  }
  ASSERT_GT(folder.size(), 300u);
  HANDLE file = CreateFileW((folder + L"\\deepest.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  RemoveDestinationTree(root);
  EXPECT_EQ(GetFileAttributesW(ExtendedLengthPath(root).c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
