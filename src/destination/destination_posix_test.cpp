#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "destination/destination.h"
#include "testing/environment.h"
#include "testing/temp_folder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedEnvironmentVariable;
using testing_support::ScopedTemporaryDirectory;
using testing_support::TempFolder;

const std::wstring kAppName = L"quillorbite";

// What MakeDestinationPath throws with the temporary directory at `folder`,
// which exists, so that only the rule for its text can refuse it.
std::string TemporaryDirectoryRefusal(const fs::path& folder) {
  fs::create_directory(folder);
  ScopedTemporaryDirectory redirect(folder.native());
  try {
    MakeDestinationPath(kAppName);
  } catch (const fs::filesystem_error& error) {
    return error.what();
  }
  return "";
}

TEST(MakeDestinationPathPosix, RefusesATemporaryDirectoryWhosePathHoldsABackslash) {
  TempFolder temp;
  const std::string refusal = TemporaryDirectoryRefusal(temp.path() / "a\\b");
  EXPECT_NE(refusal.find("temp_directory_path: the temporary directory's path holds a backslash, "
                         "which the starter cannot pass on faithfully"),
            std::string::npos)
      << refusal;
}

TEST(MakeDestinationPathPosix, RefusesATemporaryDirectoryWhosePathHoldsADoubleQuote) {
  TempFolder temp;
  const std::string refusal = TemporaryDirectoryRefusal(temp.path() / "a\"b");
  EXPECT_NE(refusal.find("temp_directory_path: the temporary directory's path holds a double "
                         "quote, which the starter cannot pass on faithfully"),
            std::string::npos)
      << refusal;
}

TEST(MakeDestinationPathPosix, RefusesATemporaryDirectoryWhosePathIsNotUtf8) {
  TempFolder temp;
  // Latin-1, an overlong '/', a surrogate, a cut-off sequence.
  for (const std::string& name : {std::string("caf\xE9"), std::string("a\xC0\xAF-z"),
                                  std::string("\xED\xA0\x80"), std::string("cut\xE2\x82")}) {
    const std::string refusal = TemporaryDirectoryRefusal(temp.path() / name);
    EXPECT_NE(refusal.find("temp_directory_path: the temporary directory's path holds bytes that "
                           "are not well-formed UTF-8"),
              std::string::npos)
        << refusal;
  }
}

TEST(MakeDestinationPathPosix, TakesATemporaryDirectoryNamedInUtf8OutsideAscii) {
  TempFolder temp;
  const fs::path folder = temp.path() / "T\xC3\xABmp-\xCF\x80-\xF0\x9F\x98\x80";
  EXPECT_EQ(TemporaryDirectoryRefusal(folder), "");
  ScopedTemporaryDirectory redirect(folder.native());
  EXPECT_EQ(MakeDestinationPath(kAppName),
            PathToWide(temp.path()) + L"/T\u00ebmp-\u03c0-\U0001F600/quillorbite");
}

TEST(MakeDestinationPathPosix, AnEmptyVariableCountsAsUnset) {
  TempFolder temp;
  // The next variable is taken, as when TMPDIR is not set at all.
  ScopedEnvironmentVariable emptyTmpdir("TMPDIR", "");
  ScopedEnvironmentVariable tmp("TMP", temp.path().native());
  EXPECT_EQ(MakeDestinationPath(kAppName), PathToWide(temp.path()) + L"/quillorbite");
  // None with a text: the default.
  ScopedEnvironmentVariable emptyTmp("TMP", "");
  ScopedEnvironmentVariable noTemp("TEMP", std::nullopt);
  ScopedEnvironmentVariable emptyTempdir("TEMPDIR", "");
  EXPECT_EQ(MakeDestinationPath(kAppName), L"/tmp/quillorbite");
}

TEST(PathExistsPosix, ADanglingLinkCountsAsPresent) {
  TempFolder temp;
  fs::create_symlink(temp / "nowhere", temp / "dangling");
  EXPECT_TRUE(PathExists(PathToWide(temp / "dangling")));
}

TEST(PathExistsPosix, AProbeFailureOtherThanAbsenceCountsAsPresent) {
  TempFolder temp;
  // A name longer than any file system allows: ENAMETOOLONG, not ENOENT.
  EXPECT_TRUE(PathExists(PathToWide(temp / std::string(300, 'n'))));
  // A loop of links: ELOOP.
  fs::create_symlink(temp / "loop", temp / "loop");
  EXPECT_TRUE(PathExists(PathToWide(temp / "loop" / "child")));
}

TEST(RemoveDestinationTreePosix, RemovesLinksWithoutFollowingThem) {
  TempFolder temp;
  const fs::path outside = temp / "outside";
  fs::create_directory(outside);
  testing_support::WriteFileBytes(outside / "keep.txt", "keep");
  const fs::path root = temp / "quillorbite";
  fs::create_directory(root);
  fs::create_directory_symlink(outside, root / "link-to-folder");
  fs::create_symlink(outside / "keep.txt", root / "link-to-file");
  RemoveDestinationTree(PathToWide(root));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
  EXPECT_EQ(testing_support::ReadFileBytes(outside / "keep.txt"), "keep");
}

TEST(RemoveDestinationTreePosix, AFailedRemovalThrowsNamingRemoveAll) {
  // sysfs refuses to remove anything, even for root.
  const fs::path undeletable = "/sys/kernel";
  if (!fs::exists(undeletable)) {
    GTEST_SKIP() << "no sysfs";
  }
  try {
    RemoveDestinationTree(PathToWide(undeletable / "mm"));
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("remove_all"), std::string::npos) << error.what();
  }
}

std::string RefusalOf(const fs::path& path) {
  try {
    CheckDestinationFolder(path);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(CheckDestinationFolderPosix, AcceptsAPrivateFolderOfThisUser) {
  TempFolder temp;
  fs::create_directory(temp / "quillorbite");
  fs::permissions(temp / "quillorbite", fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read);
  EXPECT_EQ(RefusalOf(temp / "quillorbite"), "");
}

TEST(CheckDestinationFolderPosix, RefusesWhatOthersCouldChange) {
  TempFolder temp;
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", temp / "link");
  EXPECT_EQ(RefusalOf(temp / "link"),
            "Refusing to unpack into " + (temp / "link").string() + ": it is a symbolic link");

  testing_support::WriteFileBytes(temp / "file", "x");
  EXPECT_EQ(RefusalOf(temp / "file"),
            "Refusing to unpack into " + (temp / "file").string() + ": it is not a folder");

  fs::create_directory(temp / "shared");
  fs::permissions(temp / "shared", fs::perms::all);
  EXPECT_NE(RefusalOf(temp / "shared").find("other users may write to it"), std::string::npos);
  fs::permissions(temp / "shared", fs::perms::owner_all | fs::perms::group_write);
  EXPECT_NE(RefusalOf(temp / "shared").find("other users may write to it"), std::string::npos);

  if (geteuid() == 0) {
    fs::create_directory(temp / "foreign");
    ASSERT_EQ(chown((temp / "foreign").c_str(), 65534, 65534), 0);
    EXPECT_NE(RefusalOf(temp / "foreign").find("it belongs to another user (uid 65534)"),
              std::string::npos);
  }
}

// A folder `name` in `temp` with mode `mode`, given to `owner` when that is
// not this user.
fs::path MakeParent(const TempFolder& temp, const std::string& name, mode_t mode, uid_t owner) {
  const fs::path parent = temp / name;
  fs::create_directory(parent);
  EXPECT_EQ(chmod(parent.c_str(), mode), 0);
  if (owner != geteuid()) {
    EXPECT_EQ(chown(parent.c_str(), owner, owner), 0);
  }
  return parent;
}

std::string CreationRefusalOf(const fs::path& path) {
  try {
    CreateDestinationFolder(path);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(CheckDestinationFolderPosix, AcceptsAParentClosedToOthersOrSticky) {
  TempFolder temp;
  for (const mode_t mode : {0700, 0755, 01777, 01770, 01755}) {
    const fs::path parent = MakeParent(temp, "parent-" + std::to_string(mode), mode, geteuid());
    EXPECT_EQ(CreationRefusalOf(parent / "quillorbite"), "") << std::oct << mode;
    EXPECT_EQ(RefusalOf(parent / "quillorbite"), "") << std::oct << mode;
  }
}

TEST(CheckDestinationFolderPosix, RefusesAParentOthersMayWriteToThatIsNotSticky) {
  TempFolder temp;
  for (const mode_t mode : {0775, 0757, 0777, 0770}) {
    const fs::path parent = MakeParent(temp, "parent-" + std::to_string(mode), mode, geteuid());
    const std::string why = "Refusing to unpack into " + (parent / "quillorbite").string() +
                            ": its parent " + parent.string() +
                            " may be written to by other users and is not sticky";
    EXPECT_EQ(CreationRefusalOf(parent / "quillorbite"), why) << std::oct << mode;
    EXPECT_FALSE(fs::exists(parent / "quillorbite")) << std::oct << mode;
    fs::create_directory(parent / "quillorbite");
    fs::permissions(parent / "quillorbite", fs::perms::owner_all);
    EXPECT_EQ(RefusalOf(parent / "quillorbite"), why) << std::oct << mode;
  }
}

TEST(CheckDestinationFolderPosix, RefusesAParentOfAnotherUserEvenWhenSticky) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a folder to uid 65534";
  }
  TempFolder temp;
  for (const mode_t mode : {0755, 01777}) {
    const fs::path parent = MakeParent(temp, "parent-" + std::to_string(mode), mode, 65534);
    const std::string why = "Refusing to unpack into " + (parent / "quillorbite").string() +
                            ": its parent " + parent.string() +
                            " belongs to another user (uid 65534)";
    EXPECT_EQ(CreationRefusalOf(parent / "quillorbite"), why) << std::oct << mode;
    EXPECT_FALSE(fs::exists(parent / "quillorbite")) << std::oct << mode;
    fs::create_directory(parent / "quillorbite");
    fs::permissions(parent / "quillorbite", fs::perms::owner_all);
    EXPECT_EQ(RefusalOf(parent / "quillorbite"), why) << std::oct << mode;
  }
}

TEST(CheckDestinationFolderPosix, AcceptsAStickyParentOfRoot) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "as root, a folder of root is the user's own";
  }
  struct stat info;
  if (stat("/tmp", &info) != 0 || info.st_uid != 0 || (info.st_mode & S_ISVTX) == 0) {
    GTEST_SKIP() << "no sticky /tmp of root";
  }
  ScopedTemporaryDirectory redirect("/tmp");
  TempFolder temp;
  EXPECT_EQ(RefusalOf(temp.path()), "");
}

TEST(CheckDestinationFolderPosix, RefusesAParentThatIsALinkOfAnotherUser) {
  TempFolder temp;
  const fs::path real = MakeParent(temp, "real", 0755, geteuid());
  fs::create_directory_symlink(real, temp / "link");
  fs::create_directory(real / "quillorbite");
  fs::permissions(real / "quillorbite", fs::perms::owner_all);
  EXPECT_EQ(RefusalOf(temp / "link" / "quillorbite"), "");
  if (geteuid() != 0) {
    return;  // only root can give a link to another user
  }
  ASSERT_EQ(lchown((temp / "link").c_str(), 65534, 65534), 0);
  EXPECT_EQ(RefusalOf(temp / "link" / "quillorbite"),
            "Refusing to unpack into " + (temp / "link" / "quillorbite").string() +
                ": its parent " + (temp / "link").string() +
                " is a symbolic link of another user (uid 65534)");
}

TEST(CreateDestinationFolderPosix, CreatesTheFolderPrivateAndItsParentsNormally) {
  TempFolder temp;
  const fs::path destination = temp / "parent/quillorbite";
  CreateDestinationFolder(destination);
  struct stat info;
  ASSERT_EQ(stat(destination.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_TRUE(fs::is_directory(temp / "parent"));
}

TEST(CreateDestinationFolderPosix, AFolderMadeMeanwhileMustPassTheCheck) {
  TempFolder temp;
  fs::create_directory(temp / "elsewhere");
  fs::create_directory_symlink(temp / "elsewhere", temp / "quillorbite");
  EXPECT_THROW(CreateDestinationFolder(temp / "quillorbite"), std::runtime_error);
  fs::create_directory(temp / "mine");
  fs::permissions(temp / "mine", fs::perms::owner_all);
  EXPECT_NO_THROW(CreateDestinationFolder(temp / "mine"));
}

TEST(CreateDestinationFolderPosix, AFailureNamesCreateDirectories) {
  TempFolder temp;
  testing_support::WriteFileBytes(temp / "file", "x");
  try {
    CreateDestinationFolder(temp / "file" / "quillorbite");
    FAIL() << "no exception";
  } catch (const fs::filesystem_error& error) {
    EXPECT_NE(std::string(error.what()).find("create_directories"), std::string::npos);
  }
}

}  // namespace
