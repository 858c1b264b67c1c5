#include "pack/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pack/pack_test_support.h"
#include "pack/pe_test_support.h"
#include "pack/stub_test_support.h"
#include "payload/payload_trailer.h"
#include "testing/temp_folder.h"

namespace {

using pack_test::PutFile;
using testing_support::TempFolder;

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

CliRun Cli(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  CliRun run;
  run.status = pack::RunCommandLine(args, out, err, false);
  run.out = out.str();
  run.err = err.str();
  return run;
}

// Expects each of `cases` to be refused as a bad command line, with a
// message.
void ExpectBadCommandLines(const std::vector<std::vector<std::string>>& cases) {
  for (const auto& args : cases) {
    const CliRun run = Cli(args);
    std::string joined;
    for (const auto& arg : args) {
      joined += arg + " ";
    }
    EXPECT_EQ(run.status, pack::kExitUsage) << joined;
    EXPECT_EQ(run.err.rfind("pack: ", 0), 0u) << joined << run.err;
  }
}

TEST(PackCli, PrintsHelpAndVersion) {
  CliRun run = Cli({"--help"});
  EXPECT_EQ(run.status, pack::kExitSuccess);
  EXPECT_NE(run.out.find("pack APP_DIR -o ARCHIVE"), std::string::npos);
  run = Cli({"--version"});
  EXPECT_EQ(run.status, pack::kExitSuccess);
  EXPECT_EQ(run.out, "pack 1.0.0\n");
}

// The help is written out apart from the option table: every option it lists
// must be one the parser knows, under the name it gives.
TEST(PackCli, KnowsEveryOptionTheHelpLists) {
  std::istringstream help(Cli({"--help"}).out);
  std::vector<std::string> listed;
  for (std::string line; std::getline(help, line);) {
    std::istringstream words(line);
    std::string option;
    if (line.rfind("  -", 0) == 0 && words >> option && option.back() == ',') {
      listed.push_back(option.substr(0, option.size() - 1));  // "-o," then "--output"
      words >> option;
    }
    if (line.rfind("  -", 0) == 0) {
      listed.push_back(option);
    }
  }
  EXPECT_EQ(listed.size(), 13u);
  for (const std::string& option : listed) {
    // A value for the options that take one; --help makes any other word harmless.
    const CliRun run = Cli({"--help", option, "1"});
    EXPECT_EQ(run.err.find("unknown option"), std::string::npos) << option << ": " << run.err;
  }
}

TEST(PackCli, RefusesBadCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"dir"},
      {"-o", "x.zip"},
      {"a", "b", "-o", "x.zip"},
      {"dir", "-o"},
      {"dir", "-o", "x.zip", "--level", "10"},
      {"dir", "-o", "x.zip", "--level=x"},
      {"dir", "-o", "x.zip", "--threads", "0"},
      {"dir", "-o", "x.zip", "--store-below", "101"},
      {"dir", "-o", "x.zip", "--store-below=-1"},
      {"dir", "-o", "x.zip", "--store-below", "2.5"},
      {"dir", "-o", "x.zip", "--exe", "/abs/app.exe"},
      {"dir", "-o", "x.zip", "--exe", "a\\b.exe"},
      {"dir", "-o", "x.zip", "--bogus"},
      {"dir", "-o", "x.zip", "-o", "y.zip"},
      {"dir", "-o", "x.zip", "--quiet=yes"},
      {"list"},
      {"list", "a.zip", "b.zip"},
      {"list", "a.zip", "--level", "3"},
      {"list", "a.zip", "--store-below", "3"},
      {"list", "a.zip", "--target", "native"},
      {"dir", "-o", "x.zip", "--target", "linux"},
      {"dir", "-o", "x.zip", "--target", "native", "--target", "native"},
      {"check-names"},
      {"check-names", "dir", "--exe", "a"},
      {"check-names", "--exe", ""},
      {"check-names", "--exe", "a", "--level", "3"},
      {"check-names", "--app-name", "a", "--require-exe"},
  };
  ExpectBadCommandLines(cases);
}

// Names refused in every command that takes an application name or an
// executable path.
const char* const kBadNames[] = {"",     ".",     "..",    "a/b", "a\\b", "CON",   "con.txt",
                                 "LPT9", "name.", "name ", "a:b", "a*b",  "a\x01b"};

TEST(PackCli, RefusesBadNamesInEveryCommandThatTakesThem) {
  for (const std::string bad : kBadNames) {
    const std::string exe = "bin/" + bad + "/app";
    // The option whose value is refused, and the command line.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"--exe", {"dir", "-o", "x.zip", "--exe", exe}},
        {"--exe", {"dir", "-o", "x", "--stub", "s", "--exe", exe}},
        {"--app-name", {"dir", "-o", "x", "--stub", "s", "--app-name", bad}},
        {"--exe", {"list", "--exe", exe, "a.zip"}},
        {"--exe", {"check-names", "--exe", exe}},
        {"--app-name", {"check-names", "--app-name", bad}},
        {"--exe", {"check-names", "--app-name", "fine", "--exe", exe}},
    };
    for (const auto& [option, args] : cases) {
      if (option == "--exe" && bad.find('/') != std::string::npos) {
        continue;  // two good levels of a path
      }
      const CliRun run = Cli(args);
      EXPECT_EQ(run.status, pack::kExitUsage) << args[0] << " " << option << " '" << bad << "'";
      EXPECT_EQ(run.err.rfind("pack: " + option + " '", 0), 0u) << run.err;
    }
  }
}

TEST(PackCli, ChecksNamesWithoutPackingAnything) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"check-names", "--app-name", "quillorbite"},
           {"check-names", "--exe", "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe"},
           {"check-names", "--app-name",
            "Gr\xC3\xBC\xC3\x9F"
            "e",
            "--exe", "Other App/run"},
           {"check-names", "--exe=CONSOLE/app.exe", "--app-name=LPT10"}}) {
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, pack::kExitSuccess) << args.back() << ": " << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
  const CliRun run = Cli({"check-names", "--app-name", "nul"});
  EXPECT_EQ(run.status, pack::kExitUsage);
  EXPECT_NE(run.err.find("--app-name 'nul' is a Windows device name"), std::string::npos)
      << run.err;
}

TEST(PackCli, CheckNamesReportsEveryRefusedNameInTheOrderGiven) {
  const CliRun run = Cli({"check-names", "--app-name", "fine", "--app-name", "CON", "--exe",
                          "bin/a:b", "--exe", "good/app", "--exe", "", "--app-name", "a\x01"});
  EXPECT_EQ(run.status, pack::kExitUsage);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "pack: --app-name 'CON' is a Windows device name\n"
            "pack: --exe 'bin/a:b' has a component that holds ':' ('a:b')\n"
            "pack: --exe '' is empty: a starter needs a program to run\n"
            "pack: --app-name 'a\\x01' holds a control character\n"
            "(see pack --help)\n");
}

TEST(PackCli, OptionsAreTakenOnlyByTheirCommands) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"list", "--stub", "s", "a.zip"}, "pack: option --stub is for packing, not for list\n"},
      {{"list", "--app-name=x", "a.zip"}, "pack: option --app-name is for packing, not for list\n"},
      {{"list", "--bogus", "a.zip"}, "pack: unknown option '--bogus'\n"},
      {{"check-names", "--quiet", "--exe", "a"}, "pack: option --quiet is not for check-names\n"},
      {{"check-names", "--version"}, "pack: option --version is not for check-names\n"},
      {{"check-names", "--bogus"}, "pack: option --bogus is not for check-names\n"},
      {{"dir", "-o", "x.zip", "--follow-symlinks=1"},
       "pack: option --follow-symlinks takes no value\n"},
      {{"dir", "-o", "x.zip", "--threads"}, "pack: option --threads needs a value\n"},
      {{"dir", "-o", "x", "-o", "y"}, "pack: the output is given twice\n"},
      {{"dir", "-o", "x", "--output="}, "pack: the output path is empty\n"},
      {{"dir", "-o", "x", "--stub", "s", "--stub=t"}, "pack: the stub is given twice\n"},
      {{"dir", "-o", "x", "--stub", "s", "--stub", ""}, "pack: the stub path is empty\n"},
      {{"dir", "-o", "x", "--target=native", "--target", "windows"},
       "pack: the target is given twice\n"},
  };
  for (const auto& [args, message] : cases) {
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, pack::kExitUsage) << message;
    EXPECT_EQ(run.err, message + "(see pack --help)\n");
  }
  EXPECT_EQ(Cli({"list", "--version"}).out, "pack 1.0.0\n");
  EXPECT_EQ(Cli({"check-names", "-h"}).status, pack::kExitSuccess);
}

TEST(PackCli, ListsEveryOptionInTheHelpInColumns) {
  const std::string help = Cli({"--help"}).out;
  for (const char* line :
       {"\n  -o, --output ARCHIVE  the archive to write (replaced only on success)\n",
        "\n  --follow-symlinks     follow symbolic links instead of refusing them\n",
        "\n  --threads N           compressing threads (default: all cores); the\n"
        "                        archive is byte-identical for any N\n",
        "\n  --store-below PERCENT\n                        keep the 1 MiB pieces of a file that "
        "deflate\n",
        "\n  -q, --quiet           no progress display and no summary (list: only\n"}) {
    EXPECT_NE(help.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(help.find("--version "), std::string::npos);  // not among the options
}

TEST(PackCli, PacksWithEveryOutputSpellingToTheSameBytes) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  PutFile(app, "readme.txt", pack_test::TextBytes(9000, 1));
  const std::string dir = app.path().string();
  const std::vector<std::vector<std::string>> spellings = {
      {dir, "-o", (out / "a.zip").string()},
      {"-o" + (out / "b.zip").string(), dir, "--threads", "3"},
      {"--output=" + (out / "c.zip").string(), "--quiet", "--", dir},
      {dir, "--output", (out / "d.zip").string(), "--threads=1", "--level", "6"},
  };
  for (const auto& args : spellings) {
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
    EXPECT_EQ(run.err, "");
  }
  const std::string a = testing_support::ReadFileBytes(out / "a.zip");
  ASSERT_FALSE(a.empty());
  for (const char* other : {"b.zip", "c.zip", "d.zip"}) {
    EXPECT_TRUE(testing_support::ReadFileBytes(out / other) == a) << other;
  }
  EXPECT_EQ(Cli({"--quiet", dir, "-o", (out / "e.zip").string()}).out, "");
}

TEST(PackCli, StoresPiecesBelowTheGivenSavingAndDeflatesAllWithZero) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  // One piece deflate cannot shrink and one it can.
  PutFile(app, "data.bin", pack_test::RandomBytes(1 << 20, 2) + pack_test::TextBytes(1 << 20, 3));
  const std::string dir = app.path().string();
  for (const char* name : {"default", "2", "0", "100"}) {
    std::vector<std::string> args = {dir, "-o", (out / name).string(), "--quiet"};
    if (std::string(name) != "default") {
      args.insert(args.end(), {"--store-below", name});
    }
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, pack::kExitSuccess) << name << ": " << run.err;
  }
  const std::string byDefault = testing_support::ReadFileBytes(out / "default");
  ASSERT_FALSE(byDefault.empty());
  EXPECT_TRUE(testing_support::ReadFileBytes(out / "2") == byDefault);
  const std::string none = testing_support::ReadFileBytes(out / "0");
  EXPECT_FALSE(none == byDefault);
  // 100%: the text piece is stored as well, and then the whole file is.
  const std::string all = testing_support::ReadFileBytes(out / "100");
  for (const std::string* bytes : {&byDefault, &none, &all}) {
    std::vector<pack_test::ReadBackEntry> entries;
    std::string error;
    ASSERT_TRUE(pack_test::ReadBack(*bytes, entries, error)) << error;
    const auto data = std::find_if(entries.begin(), entries.end(),
                                   [](const auto& e) { return e.name == "data.bin"; });
    ASSERT_NE(data, entries.end());
    EXPECT_EQ(data->method, bytes == &all ? zip::kMethodStored : zip::kMethodDeflate);
  }
  // The random piece's stored blocks: 16 of 65,535 bytes and one of 16.
  EXPECT_NE(byDefault.find(std::string("\x00\xFF\xFF\x00\x00", 5)), std::string::npos);
  EXPECT_EQ(none.find(std::string("\x00\xFF\xFF\x00\x00", 5)), std::string::npos);
}

TEST(PackCli, WarnsAboutAMissingExecutableOrFailsWithRequireExe) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, "other/thing.exe", "MZ");
  const std::string dir = app.path().string();
  CliRun run = Cli({dir, "-o", (out / "a.zip").string()});
  EXPECT_EQ(run.status, pack::kExitSuccess);
  EXPECT_NE(run.err.find("warning"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(pack::kDefaultExecutablePath), std::string::npos) << run.err;

  run = Cli({dir, "-o", (out / "b.zip").string(), "--require-exe"});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("error"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(out / "b.zip"));

  run = Cli({dir, "-o", (out / "c.zip").string(), "--require-exe", "--exe", "other/thing.exe"});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
  EXPECT_EQ(run.err, "");

  run = Cli({dir, "-o", (out / "d.zip").string(), "--exe", ""});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
  EXPECT_EQ(run.err, "");
}

TEST(PackCli, WarnsAboutNamesTheWindowsStarterWouldRefuse) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows cannot create the names this test warns about";
#endif
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, "ok/fine.txt", "f");
  PutFile(app, "ok/what?.txt", "q");
  PutFile(app, "con/inner.txt", "c");
  for (int i = 0; i < 12; ++i) {
    PutFile(app, "many/f" + std::to_string(i) + ".", "d");
  }
  const CliRun run = Cli({app.path().string(), "-o", (out / "a.zip").string(), "--exe", ""});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
  EXPECT_NE(run.err.find("warning: con/: the name is a Windows device name"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("con/inner.txt"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("... and 4 more such names"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("fine.txt"), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::exists(out / "a.zip"));
}

TEST(PackCli, ReportsTenCaseCollisionsAndCountsTheRest) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows folder cannot hold names that differ only in case";
#endif
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  for (int i = 0; i < 13; ++i) {
    PutFile(app, "x" + std::to_string(i), "a");
    PutFile(app, "X" + std::to_string(i), "b");
  }
  const std::string native = (out / "native.zip").string();
  CliRun run = Cli({app.path().string(), "-o", native, "--exe", "", "--target", "native"});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
  EXPECT_NE(run.err.find("pack: warning: X0 and x0 differ only in case; a starter on a "
                         "case-insensitive file system would unpack both into one\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("\npack: warning: ... and 3 more such pairs\n"), std::string::npos)
      << run.err;
  run = Cli({app.path().string(), "-o", (out / "windows.zip").string(), "--exe", ""});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("pack: X0 and x0 differ only in case; a Windows starter would unpack "
                         "both into one\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("\npack: ... and 3 more such pairs\npack: nothing written"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(std::filesystem::exists(out / "windows.zip"));
}

TEST(PackCli, FailsOnAMissingFolderNamingIt) {
  TempFolder out("pack-cli-out-");
  const CliRun run = Cli({(out / "no-such-app").string(), "-o", (out / "a.zip").string()});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("no-such-app"), std::string::npos) << run.err;
  EXPECT_TRUE(pack_test::FolderNames(out.path()).empty());
}

TEST(PackCli, RefusesAnOutputInsideTheApplicationFolder) {
  TempFolder app("pack-cli-app-");
  PutFile(app, "sub/file", "f");
  for (const char* inside : {"payload.zip", "sub/payload.zip"}) {
    const CliRun run = Cli({app.path().string(), "-o", (app / inside).string(), "--exe", ""});
    EXPECT_EQ(run.status, pack::kExitFailure) << inside;
    EXPECT_NE(run.err.find("inside"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(app / inside));
  }
  EXPECT_EQ(pack_test::FolderNames(app.path()), std::vector<std::string>{"sub"});
}

TEST(PackCli, RefusesSymbolicLinksUnlessAskedToFollowThem) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link needs a privilege on Windows, and Wine makes none; "
                  "PackHostIo.DescribesAWindowsSymbolicLinkAsOne covers Windows";
#endif
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, "real.txt", "r");
  std::filesystem::create_symlink("real.txt", app / "alias.txt");
  CliRun run = Cli({app.path().string(), "-o", (out / "a.zip").string(), "--exe", ""});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("alias.txt"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(out / "a.zip"));
  run =
      Cli({app.path().string(), "-o", (out / "a.zip").string(), "--exe", "", "--follow-symlinks"});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
}

TEST(PackCli, ListNotesAMissingDefaultExecutableUnlessItIsRequired) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, "bin/tool", "program");
  const std::string archive = (out / "a.zip").string();
  ASSERT_EQ(Cli({app.path().string(), "-o", archive, "--exe", "bin/tool"}).status,
            pack::kExitSuccess);
  CliRun run = Cli({"list", archive});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.out;
  EXPECT_NE(run.out.find("note: no " + std::string(pack::kDefaultExecutablePath)),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("conforms"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("[executable]"), std::string::npos) << run.out;

  run = Cli({"list", "--quiet", "--require-exe", archive});
  EXPECT_EQ(run.status, pack::kExitNonConforming);
  EXPECT_NE(run.out.find("[executable]"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("note:"), std::string::npos) << run.out;

  run = Cli({"list", "--exe", "bin/tool", "--require-exe", archive});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.out;
  EXPECT_EQ(run.out.find("note:"), std::string::npos) << run.out;
}

TEST(PackCli, ListsAConformingArchiveAndFlagsABrokenOne) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  const std::string archive = (out / "a.zip").string();
  ASSERT_EQ(Cli({app.path().string(), "-o", archive}).status, pack::kExitSuccess);
  CliRun run = Cli({"list", archive});
  EXPECT_EQ(run.status, pack::kExitSuccess) << run.out;
  EXPECT_NE(run.out.find("quillorbite/Binaries/"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("conforms"), std::string::npos) << run.out;

  run = Cli({"list", "--exe", "missing/app.exe", archive});
  EXPECT_EQ(run.status, pack::kExitNonConforming);
  EXPECT_NE(run.out.find("[executable]"), std::string::npos) << run.out;

  testing_support::WriteFileBytes(out / "junk.zip", "not an archive at all, not even close");
  run = Cli({"list", (out / "junk.zip").string()});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("junk.zip"), std::string::npos) << run.err;

  run = Cli({"list", (out / "missing.zip").string()});
  EXPECT_EQ(run.status, pack::kExitFailure);
}

// --- making starters from stubs -----------------------------------------------

// A POSIX stub as the packer sees one: an ELF file with an open identity
// block in read-only data.
std::string WriteStub(const TempFolder& folder) {
  const std::string path = (folder / "stub").string();
  testing_support::WriteFileBytes(path, stub_test::PosixStub("code " + stub_test::IdentityBlock()));
  return path;
}

// The archive a starter file carries, found through its trailer; "" when none.
std::string CarriedArchive(const std::filesystem::path& starter) {
  const std::string bytes = testing_support::ReadFileBytes(starter);
  if (bytes.size() < kPayloadTrailerSize) {
    return "";
  }
  const std::optional<PayloadTrailer> trailer = ParsePayloadTrailer(
      reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size() - kPayloadTrailerSize,
      bytes.size());
  if (!trailer) {
    return "";
  }
  return bytes.substr(static_cast<std::size_t>(trailer->archiveOffset), trailer->archiveLength);
}

// A Windows stub as the packer sees one: a PE32+ image with an open identity
// block in read-only data.
std::string WriteWindowsStub(const TempFolder& folder) {
  pe_test::Image image;
  image.sections = {{".text", pe_test::kCode, std::string(500, '\xC3')},
                    {".rdata", pe_test::kReadOnlyData, "constants" + stub_test::IdentityBlock()},
                    {".rsrc", pe_test::kReadOnlyData, ""}};
  image.resources = {{24, 1, 2057, "<assembly/>"}};
  const std::string path = (folder / "stub.exe").string();
  testing_support::WriteFileBytes(path, pe_test::Build(image));
  return path;
}

// Windows cannot hold the two names; the case-insensitive file system Wine
// gives it could not either.
#ifndef _WIN32
TEST(PackCli, RefusesNamesDifferingOnlyInCaseForWindowsAndWarnsForNative) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  PutFile(app, "Data/readme.txt", "upper");
  PutFile(app, "data", "a file beside a folder of the same name but for case");
  const std::string dir = app.path().string();
  const std::string elfStub = WriteStub(out);
  const std::string peStub = WriteWindowsStub(out);
  const std::vector<std::vector<std::string>> refused = {
      {dir, "-o", (out / "a.zip").string()},
      {dir, "-o", (out / "a.zip").string(), "--target", "windows"},
      {dir, "-o", (out / "starter.exe").string(), "--stub", peStub},
  };
  for (const auto& args : refused) {
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, pack::kExitFailure) << args.back();
    EXPECT_NE(run.err.find("pack: Data/ and data differ only in case"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("nothing written"), std::string::npos) << run.err;
    std::vector<std::string> names = pack_test::FolderNames(out.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"stub", "stub.exe"})) << args.back();
  }
  const std::vector<std::vector<std::string>> warned = {
      {dir, "-o", (out / "a.zip").string(), "--target", "native"},
      {dir, "-o", (out / "starter").string(), "--stub", elfStub},
      {dir, "-o", (out / "starter2").string(), "--stub", elfStub, "--target", "native"},
  };
  for (const auto& args : warned) {
    const CliRun run = Cli(args);
    EXPECT_EQ(run.status, pack::kExitSuccess) << args.back() << ": " << run.err;
    EXPECT_NE(run.err.find("pack: warning: Data/ and data differ only in case"), std::string::npos)
        << run.err;
  }
}
#endif

TEST(PackCli, RefusesATargetTheStubContradicts) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  const std::string dir = app.path().string();
  CliRun run =
      Cli({dir, "-o", (out / "s").string(), "--stub", WriteStub(out), "--target", "windows"});
  EXPECT_EQ(run.status, pack::kExitUsage);
  EXPECT_NE(run.err.find("--target windows does not fit"), std::string::npos) << run.err;
  run = Cli(
      {dir, "-o", (out / "s.exe").string(), "--stub", WriteWindowsStub(out), "--target", "native"});
  EXPECT_EQ(run.status, pack::kExitUsage);
  EXPECT_NE(run.err.find("--target native does not fit"), std::string::npos) << run.err;
  std::vector<std::string> names = pack_test::FolderNames(out.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"stub", "stub.exe"}));
}

TEST(PackCliStub, GivesAWindowsStarterTheMsDosFormAndANativeOneUnixModes) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  const std::string dir = app.path().string();
  ASSERT_EQ(Cli({dir, "-o", (out / "native.zip").string(), "--target", "native"}).status,
            pack::kExitSuccess);
  ASSERT_EQ(Cli({dir, "-o", (out / "windows.zip").string()}).status, pack::kExitSuccess);
  const std::string native = testing_support::ReadFileBytes(out / "native.zip");
  const std::string windows = testing_support::ReadFileBytes(out / "windows.zip");
  EXPECT_FALSE(native == windows);
  std::vector<pack_test::ReadBackEntry> entries;
  std::string error;
  ASSERT_TRUE(pack_test::ReadBack(native, entries, error)) << error;
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.versionMadeBy, 0x033F) << entry.name;
    EXPECT_NE(entry.externalAttributes >> 16, 0u) << entry.name;
  }
  ASSERT_TRUE(pack_test::ReadBack(windows, entries, error)) << error;
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.versionMadeBy, 0x003F) << entry.name;
  }

  ASSERT_EQ(Cli({dir, "-o", (out / "s").string(), "--stub", WriteStub(out)}).status,
            pack::kExitSuccess);
  EXPECT_TRUE(CarriedArchive(out / "s") == native);
  const std::string peStub = WriteWindowsStub(out);
  ASSERT_EQ(Cli({dir, "-o", (out / "s.exe").string(), "--stub", peStub}).status,
            pack::kExitSuccess);
  EXPECT_EQ(pe_test::FindResource(testing_support::ReadFileBytes(out / "s.exe"), 10, 101), windows);
}

TEST(PackCliStub, RefusesBadStubCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {"dir", "-o", "x", "--app-name", "other"},               // --app-name without --stub
      {"dir", "-o", "x", "--stub", ""},                        // empty stub path
      {"dir", "-o", "x", "--stub", "a", "--stub", "b"},        // two stubs
      {"dir", "-o", "x", "--stub", "s", "--exe", ""},          // nothing to run
      {"dir", "-o", "x", "--stub", "s", "--app-name", "a/b"},  // no plain folder name
      {"dir", "-o", "x", "--stub", "s", "--app-name", ""},
      {"dir", "-o", "x", "--stub", "s", "--app-name", std::string(65, 'n')},
      {"dir", "-o", "x", "--stub", "s", "--exe", std::string(260, 'e')},
      {"list", "a.zip", "--stub", "s"},
      {"dir", "--stub", "s"},  // no output
  };
  ExpectBadCommandLines(cases);
}

TEST(PackCliStub, MakesAStarterFromAFolderAndLeavesNothingElse) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ program");
  PutFile(app, "readme.txt", pack_test::TextBytes(5000, 3));
  const std::string stub = WriteStub(out);
  const CliRun run =
      Cli({app.path().string(), "-o", (out / "starter").string(), "--stub", stub, "--quiet"});
  ASSERT_EQ(run.status, pack::kExitSuccess) << run.err;
  EXPECT_EQ(run.out, "");
  std::vector<std::string> names = pack_test::FolderNames(out.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"starter", "stub"}));

  // The archive it carries is the one packing the folder for a native starter
  // writes.
  ASSERT_EQ(
      Cli({app.path().string(), "-o", (out / "a.zip").string(), "--quiet", "--target", "native"})
          .status,
      pack::kExitSuccess);
  EXPECT_EQ(CarriedArchive(out / "starter"), testing_support::ReadFileBytes(out / "a.zip"));
}

TEST(PackCliStub, MakesAStarterFromAReadyArchiveWithTheGivenIdentity) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, "bin/run", "program");
  const std::string archive = (out / "a.zip").string();
  ASSERT_EQ(Cli({app.path().string(), "-o", archive, "--exe", "bin/run"}).status,
            pack::kExitSuccess);
  const CliRun run = Cli({archive, "-o", (out / "starter").string(), "--stub", WriteStub(out),
                          "--app-name", "renamed", "--exe", "bin/run"});
  ASSERT_EQ(run.status, pack::kExitSuccess) << run.err;
  EXPECT_NE(run.out.find("POSIX starter for renamed"), std::string::npos) << run.out;
  const std::string starter = testing_support::ReadFileBytes(out / "starter");
  EXPECT_EQ(CarriedArchive(out / "starter"), testing_support::ReadFileBytes(archive));
  const std::string block = starter.substr(starter.find(stub_test::Marker()), 672);
  EXPECT_EQ(stub_test::BlockText(block, 24, stub_test::Get(block, 20, 2)), u"renamed");
  EXPECT_EQ(stub_test::BlockText(block, 152, stub_test::Get(block, 22, 2)), u"\\bin\\run");
}

TEST(PackCliStub, WarnsOnceWhenTheSourceLacksTheExecutableOrFailsWithRequireExe) {
  TempFolder app("pack-cli-app-");
  TempFolder out("pack-cli-out-");
  PutFile(app, "readme.txt", "no program");
  const std::string archive = (out / "a.zip").string();
  ASSERT_EQ(Cli({app.path().string(), "-o", archive, "--exe", ""}).status, pack::kExitSuccess);
  const std::string stub = WriteStub(out);
  // Whether the starter is made from the archive or straight from the
  // folder, the missing program is reported once.
  for (const std::string& source : {archive, app.path().string()}) {
    const CliRun run = Cli({source, "-o", (out / "starter").string(), "--stub", stub});
    EXPECT_EQ(run.status, pack::kExitSuccess) << run.err;
    EXPECT_EQ(run.err, "pack: warning: " + source + " has no " + pack::kDefaultExecutablePath +
                           " (the starter will have nothing to run)\n");
  }
  CliRun run = Cli({archive, "-o", (out / "never").string(), "--stub", stub, "--require-exe"});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find(pack::kDefaultExecutablePath), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(out / "never"));
}

TEST(PackCliStub, RefusesWhatTheStarterCouldNotOpenAndStubsThatAreNone) {
  TempFolder out("pack-cli-out-");
  const std::string stub = WriteStub(out);
  testing_support::WriteFileBytes(out / "junk.zip", "no archive, just text");
  CliRun run = Cli({(out / "junk.zip").string(), "-o", (out / "never").string(), "--stub", stub});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("could not open it as an archive"), std::string::npos) << run.err;

  TempFolder app("pack-cli-app-");
  PutFile(app, pack::kDefaultExecutablePath, "MZ");
  const std::string archive = (out / "a.zip").string();
  ASSERT_EQ(Cli({app.path().string(), "-o", archive}).status, pack::kExitSuccess);
  // The archive is no stub; neither is a starter already made from one.
  run = Cli({archive, "-o", (out / "never").string(), "--stub", archive});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("not a starter stub"), std::string::npos) << run.err;
  ASSERT_EQ(Cli({archive, "-o", (out / "starter").string(), "--stub", stub}).status,
            pack::kExitSuccess);
  run = Cli({archive, "-o", (out / "never").string(), "--stub", (out / "starter").string()});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_NE(run.err.find("already"), std::string::npos) << run.err;
  run = Cli({archive, "-o", (out / "never").string(), "--stub", (out / "missing").string()});
  EXPECT_EQ(run.status, pack::kExitFailure);
  EXPECT_FALSE(std::filesystem::exists(out / "never"));
}

TEST(PackProgress, FormatsBytesRateAndTimeLeft) {
  EXPECT_EQ(pack::FormatProgress(12 << 20, 300ull << 20, 2.0),
            "12.0 MiB of 300.0 MiB (4%), 6.0 MiB/s, 0:48 left");
  EXPECT_EQ(pack::FormatProgress(0, 1000, 0.0), "0 B of 1000 B (0%), - /s, - left");
  EXPECT_EQ(pack::FormatProgress(1ull << 30, 1ull << 30, 10.0),
            "1.0 GiB of 1.0 GiB (100%), 102.4 MiB/s, 0:00 left");
  EXPECT_EQ(pack::FormatProgress(1, 7201, 1.0), "1 B of 7.0 KiB (0%), 1 B/s, 2:00:00 left");
}

TEST(PackProgress, StaysSilentWhenDisabledOrBeforeTheDelay) {
  std::ostringstream disabled;
  pack::ProgressMeter off(disabled, false, std::chrono::milliseconds(0));
  off.Update(1, 2);
  off.Finish();
  EXPECT_EQ(disabled.str(), "");

  std::ostringstream early;
  pack::ProgressMeter waiting(early, true, std::chrono::hours(1));
  waiting.Update(1, 2);
  waiting.Finish();
  EXPECT_EQ(early.str(), "");
}

TEST(PackProgress, DrawsInPlaceAndClearsAtTheEnd) {
  std::ostringstream out;
  pack::ProgressMeter meter(out, true, std::chrono::milliseconds(0));
  meter.Update(512, 1024);
  const std::string shown = out.str();
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown[0], '\r');
  EXPECT_NE(shown.find("512 B of 1.0 KiB (50%)"), std::string::npos) << shown;
  meter.Finish();
  const std::string all = out.str();
  EXPECT_EQ(all.back(), '\r');
  EXPECT_EQ(all.find_first_not_of(" \r", shown.size()), std::string::npos);
}

}  // namespace
