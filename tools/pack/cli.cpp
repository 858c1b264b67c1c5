#include "pack/cli.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <thread>

#include "pack/archive_writer.h"
#include "pack/entry_names.h"
#include "pack/host_io.h"
#include "pack/lister.h"
#include "pack/progress.h"
#include "pack/starter_names.h"
#include "pack/stub_writer.h"
#include "pack/tree_walk.h"
#include "text/case_fold.h"
#include "text/entry_name.h"
#include "zip/zip_reader.h"

#if !defined(PACK_VERSION) || !defined(PACK_DEFAULT_EXECUTABLE_PATH) || \
    !defined(PACK_DEFAULT_APP_NAME)
#error "PACK_VERSION, PACK_DEFAULT_EXECUTABLE_PATH and PACK_DEFAULT_APP_NAME come from the build"
#endif

namespace pack {

const char kDefaultExecutablePath[] = PACK_DEFAULT_EXECUTABLE_PATH;
const char kPackVersion[] = PACK_VERSION;

namespace {

const char kUsage[] =
    "Usage:\n"
    "  pack APP_DIR -o ARCHIVE [options]   pack the folder APP_DIR into ARCHIVE\n"
    "  pack SOURCE -o STARTER --stub STUB [--app-name NAME] [options]\n"
    "                                      make a starter from the stub STUB and\n"
    "                                      SOURCE, a folder (packed first) or an\n"
    "                                      archive\n"
    "  pack list [--exe PATH] [--require-exe] [--quiet] ARCHIVE\n"
    "                                      list ARCHIVE and check its form\n"
    "  pack check-names [--app-name NAME] [--exe PATH]\n"
    "                                      only check the names, as packing and\n"
    "                                      making a starter would\n"
    "  pack --help | --version\n"
    "\n"
    "Packing options:\n"
    "  -o, --output ARCHIVE  the archive to write (replaced only on success)\n"
    "  --level N             deflate level 0-9 (0: store everything; default 6)\n"
    "  --threads N           compressing threads (default: all cores); the\n"
    "                        archive is byte-identical for any N\n"
    "  --follow-symlinks     follow symbolic links instead of refusing them\n"
    "  --exe PATH            the executable APP_DIR must hold, relative and\n"
    "                        '/'-separated (default\n"
    "                        " PACK_DEFAULT_EXECUTABLE_PATH
    ";\n"
    "                        empty: no check)\n"
    "  --require-exe         a missing executable is an error, not a warning\n"
    "                        (list: makes the archive non-conforming)\n"
    "  --target T            without --stub: the starter the archive is for,\n"
    "                        windows (the default) or native; with --stub the\n"
    "                        stub decides (a PE stub is windows, an ELF stub\n"
    "                        native) and T must agree. Names differing only\n"
    "                        in case are refused for windows and warned about\n"
    "                        for native; native archives record Unix modes\n"
    "  --stub STUB           write a starter, not an archive: a copy of STUB\n"
    "                        (build/native/starter-stub or\n"
    "                        build/windows/starter-stub.exe) carrying the\n"
    "                        archive, with --exe as the program it runs\n"
    "  --app-name NAME       with --stub: the folder the starter unpacks into\n"
    "                        and the program's argument (default " PACK_DEFAULT_APP_NAME
    ")\n"
    "  -q, --quiet           no progress display and no summary (list: only\n"
    "                        the verdict, not the entries)\n"
    "\n"
    "Names: NAME is one plain folder name and PATH's levels are such names:\n"
    "not empty, '.' or '..', no '/' or '\\', no control characters or any of\n"
    "<>:\"|?*, no trailing '.' or ' ', no device name such as CON, NUL, COM1\n"
    "or LPT9 (also with an extension, in any case). A bad name is a bad\n"
    "command line in every command.\n"
    "\n"
    "list checks for PATH only when --exe or --require-exe is given; otherwise\n"
    "a missing default executable is reported as a note.\n"
    "\n"
    "A first argument 'list' or 'check-names' selects that command; to pack a\n"
    "folder named so, write ./list or ./check-names.\n"
    "\n"
    "Exit status: 0 success (list: the archive conforms; check-names: the\n"
    "names are usable), 1 failure (nothing written), 2 bad command line or\n"
    "name, 3 list: the archive breaks the form.\n";

// The platform of the starter an archive is packed for.
enum class Target { kWindows, kNative };

struct Settings {
  bool help = false;
  bool version = false;
  bool list = false;
  bool checkNames = false;
  bool quiet = false;
  bool followSymlinks = false;
  bool requireExe = false;
  int level = kDefaultLevel;
  unsigned threads = 0;
  std::string exePath = kDefaultExecutablePath;
  bool exeGiven = false;
  Target target = Target::kWindows;
  bool targetGiven = false;
  std::string output;
  std::string stub;
  std::string appName = kDefaultAppName;
  bool appNameGiven = false;
  std::vector<std::string> positional;
};

bool ParseNumber(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty() || text.size() > 9) {
    return false;
  }
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  return value >= low && value <= high;
}

// One option argument split into its name and, when the same argument
// carries it (--name=value, -oPATH), its value.
struct Option {
  std::string name;
  std::string value;
  bool hasValue = false;
};

bool LooksLikeOption(const std::string& arg) {
  return arg.size() >= 2 && arg[0] == '-';
}

Option SplitOption(const std::string& arg) {
  Option option;
  option.name = arg;
  const std::size_t equals = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
    option.name = arg.substr(0, equals);
    option.value = arg.substr(equals + 1);
    option.hasValue = true;
  } else if (arg.compare(0, 2, "-o") == 0 && arg.size() > 2) {
    option.name = "-o";
    option.value = arg.substr(2);
    option.hasValue = true;
  }
  return option;
}

bool IsPackingOption(const std::string& name) {
  return name == "-o" || name == "--output" || name == "--level" || name == "--threads" ||
         name == "--follow-symlinks" || name == "--stub" || name == "--app-name" ||
         name == "--target";
}

bool IsCheckNamesOption(const std::string& name) {
  return name == "--app-name" || name == "--exe" || name == "-h" || name == "--help";
}

// The setting an option without a value turns on; null for any other name.
bool* FlagFor(const std::string& name, Settings& settings) {
  if (name == "-h" || name == "--help") {
    return &settings.help;
  }
  if (name == "--version") {
    return &settings.version;
  }
  if (name == "--follow-symlinks") {
    return &settings.followSymlinks;
  }
  if (name == "--require-exe") {
    return &settings.requireExe;
  }
  if (name == "-q" || name == "--quiet") {
    return &settings.quiet;
  }
  return nullptr;
}

bool TakesValue(const std::string& name) {
  return name == "-o" || name == "--output" || name == "--level" || name == "--threads" ||
         name == "--exe" || name == "--stub" || name == "--app-name" || name == "--target";
}

// Gives `option` its value from the next argument unless it has one already.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, Option& option,
               std::string& error) {
  if (option.hasValue) {
    return true;
  }
  if (i + 1 >= args.size()) {
    error = "option " + option.name + " needs a value";
    return false;
  }
  option.value = args[++i];
  return true;
}

bool SetOutput(const std::string& value, Settings& settings, std::string& error) {
  // An empty output is never stored, so a stored one means it was given.
  if (!settings.output.empty()) {
    error = "the output is given twice";
    return false;
  }
  if (value.empty()) {
    error = "the output path is empty";
    return false;
  }
  settings.output = value;
  return true;
}

bool SetLevel(const std::string& value, Settings& settings, std::string& error) {
  long long number = 0;
  if (!ParseNumber(value, 0, 9, number)) {
    error = "--level needs a number from 0 to 9, not '" + DisplayName(value) + "'";
    return false;
  }
  settings.level = static_cast<int>(number);
  return true;
}

bool SetThreads(const std::string& value, Settings& settings, std::string& error) {
  long long number = 0;
  if (!ParseNumber(value, 1, 1024, number)) {
    error = "--threads needs a number from 1 to 1024, not '" + DisplayName(value) + "'";
    return false;
  }
  settings.threads = static_cast<unsigned>(number);
  return true;
}

bool SetExePath(const std::string& value, Settings& settings, std::string& error) {
  const std::string problem = value.empty() ? std::string() : CheckExecutablePath(value);
  if (!problem.empty()) {
    error = "--exe '" + DisplayName(value) + "' " + problem;
    return false;
  }
  settings.exePath = value;
  settings.exeGiven = true;
  return true;
}

bool SetTarget(const std::string& value, Settings& settings, std::string& error) {
  if (settings.targetGiven) {
    error = "the target is given twice";
    return false;
  }
  if (value != "windows" && value != "native") {
    error = "--target needs windows or native, not '" + DisplayName(value) + "'";
    return false;
  }
  settings.target = value == "windows" ? Target::kWindows : Target::kNative;
  settings.targetGiven = true;
  return true;
}

bool SetStub(const std::string& value, Settings& settings, std::string& error) {
  if (!settings.stub.empty() || value.empty()) {
    error = value.empty() ? "the stub path is empty" : "the stub is given twice";
    return false;
  }
  settings.stub = value;
  return true;
}

bool SetAppName(const std::string& value, Settings& settings, std::string& error) {
  const std::string problem = CheckAppName(value);
  if (!problem.empty()) {
    error = "--app-name '" + DisplayName(value) + "' " + problem;
    return false;
  }
  settings.appName = value;
  settings.appNameGiven = true;
  return true;
}

bool SetValue(const Option& option, Settings& settings, std::string& error) {
  if (option.name == "-o" || option.name == "--output") {
    return SetOutput(option.value, settings, error);
  }
  if (option.name == "--level") {
    return SetLevel(option.value, settings, error);
  }
  if (option.name == "--threads") {
    return SetThreads(option.value, settings, error);
  }
  if (option.name == "--stub") {
    return SetStub(option.value, settings, error);
  }
  if (option.name == "--app-name") {
    return SetAppName(option.value, settings, error);
  }
  if (option.name == "--target") {
    return SetTarget(option.value, settings, error);
  }
  return SetExePath(option.value, settings, error);
}

// Applies the option at args[i], moving `i` past its value when that is the
// next argument.
bool ParseOption(const std::vector<std::string>& args, std::size_t& i, Settings& settings,
                 std::string& error) {
  Option option = SplitOption(args[i]);
  if (settings.list && IsPackingOption(option.name)) {
    error = "option " + option.name + " is for packing, not for list";
    return false;
  }
  if (settings.checkNames && !IsCheckNamesOption(option.name)) {
    error = "option " + option.name + " is not for check-names";
    return false;
  }
  if (bool* flag = FlagFor(option.name, settings)) {
    if (option.hasValue) {
      error = "option " + option.name + " takes no value";
      return false;
    }
    *flag = true;
    return true;
  }
  if (TakesValue(option.name)) {
    return TakeValue(args, i, option, error) && SetValue(option, settings, error);
  }
  error = "unknown option '" + DisplayName(args[i]) + "'";
  return false;
}

// Checks the folder or archive operands against the chosen command.
bool CheckOperands(const Settings& settings, std::string& error) {
  if (settings.help || settings.version) {
    return true;
  }
  if (settings.list) {
    if (settings.positional.size() != 1) {
      error = "list needs exactly one archive";
      return false;
    }
    return true;
  }
  if (settings.checkNames) {
    if (!settings.positional.empty()) {
      error = "check-names takes no folder or archive";
      return false;
    }
    if (!settings.appNameGiven && !settings.exeGiven) {
      error = "check-names needs --app-name NAME or --exe PATH";
      return false;
    }
    if (settings.exeGiven && settings.exePath.empty()) {
      error = "--exe '' is empty: a starter needs a program to run";
      return false;
    }
    return true;
  }
  if (settings.positional.size() != 1) {
    error = settings.positional.empty() ? "no application folder given"
                                        : "more than one application folder given";
    return false;
  }
  if (settings.output.empty()) {
    error = "no output archive given (-o ARCHIVE)";
    return false;
  }
  if (settings.appNameGiven && settings.stub.empty()) {
    error = "--app-name is for making a starter (--stub STUB)";
    return false;
  }
  if (!settings.stub.empty() && settings.exePath.empty()) {
    error = "--exe '' is empty: a starter needs a program to run";
    return false;
  }
  return true;
}

bool ParseArguments(const std::vector<std::string>& args, Settings& settings, std::string& error) {
  std::size_t i = 0;
  if (!args.empty() && args[0] == "list") {
    settings.list = true;
    i = 1;
  } else if (!args.empty() && args[0] == "check-names") {
    settings.checkNames = true;
    i = 1;
  }
  bool optionsEnded = false;
  for (; i < args.size(); ++i) {
    if (optionsEnded || !LooksLikeOption(args[i])) {
      settings.positional.push_back(args[i]);
    } else if (SplitOption(args[i]).name == "--") {
      optionsEnded = true;
    } else if (!ParseOption(args, i, settings, error)) {
      return false;
    }
  }
  return CheckOperands(settings, error);
}

// The archive is meant for Windows above all, where the starter refuses these
// names at run time; saying so now is cheaper than a failed start.
void WarnAboutWindowsNames(const std::vector<TreeEntry>& entries, std::ostream& err) {
  constexpr std::size_t kShown = 10;
  std::size_t found = 0;
  for (const TreeEntry& entry : entries) {
    std::string name = entry.name;
    if (entry.isFolder) {
      name.pop_back();
    }
    const std::string problem = WindowsNameProblem(name.substr(name.find_last_of('/') + 1));
    if (problem.empty()) {
      continue;
    }
    if (++found <= kShown) {
      err << "pack: warning: " << DisplayName(entry.name) << ": the name " << problem
          << "; the starter on Windows will refuse it\n";
    }
  }
  if (found > kShown) {
    err << "pack: warning: ... and " << (found - kShown) << " more such names\n";
  }
}

// Two names Windows takes for one would make the starter write both into the
// same file or folder; a native starter on a case-sensitive file system
// keeps them apart, so there it is only worth a warning. Returns false when
// the archive must not be written.
bool CheckCaseCollisions(const std::vector<TreeEntry>& entries, Target target, std::ostream& err) {
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const TreeEntry& entry : entries) {
    names.push_back(entry.name);
  }
  const std::vector<CaseCollision> collisions = FindCaseCollisions(names);
  if (collisions.empty()) {
    return true;
  }
  const bool refused = target == Target::kWindows;
  constexpr std::size_t kShown = 10;
  for (std::size_t i = 0; i < collisions.size() && i < kShown; ++i) {
    err << "pack: " << (refused ? "" : "warning: ") << DisplayName(collisions[i].first) << " and "
        << DisplayName(collisions[i].second) << " differ only in case; "
        << (refused ? "a Windows starter would unpack both into one"
                    : "a starter on a case-insensitive file system would unpack both into one")
        << '\n';
  }
  if (collisions.size() > kShown) {
    err << "pack: " << (refused ? "" : "warning: ") << "... and " << (collisions.size() - kShown)
        << " more such pairs\n";
  }
  if (refused) {
    err << "pack: nothing written: rename one of each pair, or pack for a native starter\n";
  }
  return !refused;
}

bool HasFileEntry(const ArchiveReport& report, const std::string& name) {
  for (const zip::ZipEntryRecord& entry : report.entries) {
    if (entry.central.name == name) {
      return true;
    }
  }
  return false;
}

int RunList(const Settings& settings, std::ostream& out, std::ostream& err) {
  const std::string& path = settings.positional[0];
  MappedFile file;
  std::string reason;
  if (!file.Open(path, reason)) {
    err << "pack: " << DisplayName(path) << ": " << reason << '\n';
    return kExitFailure;
  }
  // An archive need not hold the build's default program; only a program
  // asked for makes its absence break the form.
  const bool exeRequired = settings.exeGiven || settings.requireExe;
  InspectOptions options;
  options.executablePath = exeRequired ? settings.exePath : std::string();
  ArchiveReport report;
  if (!InspectArchive(file.data(), file.size(), options, report, reason)) {
    err << "pack: " << DisplayName(path) << ": " << reason << '\n';
    return kExitFailure;
  }
  if (!settings.quiet) {
    PrintEntries(report, out);
  }
  if (!exeRequired && !settings.exePath.empty() && !HasFileEntry(report, settings.exePath)) {
    out << "note: no " << DisplayName(settings.exePath)
        << " in the archive (the default program; give --exe PATH to check for another, "
           "--require-exe to require it)\n";
  }
  PrintBreaks(report, out);
  return report.breaks.empty() ? kExitSuccess : kExitNonConforming;
}

// Checks that `output` can be written: its folder exists and it is not a
// folder itself. Fills `folder` with its folder's identity.
bool CheckOutputPath(const std::string& output, const char* what, NodeInfo& folder,
                     std::ostream& err) {
  std::string reason;
  if (!InspectNode(FolderOfPath(output), true, folder, reason) ||
      folder.kind != NodeKind::kFolder) {
    err << "pack: " << DisplayName(output) << ": the folder for the " << what << " "
        << (reason.empty() ? "is not a folder" : "cannot be used: " + reason) << '\n';
    return false;
  }
  NodeInfo existing;
  if (InspectNode(output, true, existing, reason) && existing.kind == NodeKind::kFolder) {
    err << "pack: " << DisplayName(output) << ": is a folder, not "
        << (std::string(what) == "archive" ? "an " : "a ") << what << " path\n";
    return false;
  }
  return true;
}

std::string Seconds(std::chrono::steady_clock::time_point started) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char timing[32];
  std::snprintf(timing, sizeof timing, "%.2f s", seconds);
  return timing;
}

// Packs the folder `root` into `archivePath`. The summary line starts with
// `done` ("wrote ARCHIVE"). `outputFolder` is kept out of the walk.
int PackFolder(const Settings& settings, Target target, const std::string& root,
               const NodeInfo& outputFolder, const std::string& archivePath,
               const std::string& done, std::ostream& out, std::ostream& err,
               bool progressAllowed) {
  const auto started = std::chrono::steady_clock::now();
  std::string reason;
  WalkOptions walkOptions;
  walkOptions.followSymlinks = settings.followSymlinks;
  walkOptions.hasExcludedFolder = true;
  walkOptions.excludedDevice = outputFolder.device;
  walkOptions.excludedInode = outputFolder.inode;
  std::vector<TreeEntry> entries;
  if (!WalkTree(root, walkOptions, entries, reason)) {
    err << "pack: " << reason << '\n';
    return kExitFailure;
  }

  if (!settings.exePath.empty()) {
    bool found = false;
    for (const TreeEntry& entry : entries) {
      found = found || (!entry.isFolder && entry.name == settings.exePath);
    }
    if (!found) {
      err << "pack: " << (settings.requireExe ? "error" : "warning") << ": " << DisplayName(root)
          << " has no " << DisplayName(settings.exePath)
          << (settings.requireExe ? "" : " (the starter will have nothing to run)") << '\n';
      if (settings.requireExe) {
        return kExitFailure;
      }
    }
  }

  WarnAboutWindowsNames(entries, err);
  if (!CheckCaseCollisions(entries, target, err)) {
    return kExitFailure;
  }

  ProgressMeter meter(err, progressAllowed && !settings.quiet);
  WriteOptions options;
  options.level = settings.level;
  options.unixModes = target == Target::kNative;
  options.threads =
      settings.threads != 0 ? settings.threads : std::max(1u, std::thread::hardware_concurrency());
  options.progress = [&meter](std::uint64_t done, std::uint64_t total) {
    meter.Update(done, total);
  };
  WriteSummary summary;
  const bool written = WriteArchive(entries, archivePath, options, summary, reason);
  meter.Finish();
  if (!written) {
    err << "pack: " << reason << '\n';
    return kExitFailure;
  }
  if (!settings.quiet) {
    out << "pack: " << done << ": " << summary.entries
        << " entries (files: " << summary.deflatedFiles << " deflated, " << summary.storedFiles
        << " stored), " << summary.archiveSize << " bytes from " << summary.inputBytes << " in "
        << Seconds(started) << '\n';
  }
  return kExitSuccess;
}

int RunPack(const Settings& settings, std::ostream& out, std::ostream& err, bool progressAllowed) {
  const std::string& output = settings.output;
  NodeInfo outputFolder;
  if (!CheckOutputPath(output, "archive", outputFolder, err)) {
    return kExitFailure;
  }
  return PackFolder(settings, settings.target, settings.positional[0], outputFolder, output,
                    "wrote " + DisplayName(output), out, err, progressAllowed);
}

// The starter opens its archive with the ZIP reader: an archive it cannot
// open, or one without the program to run, makes a useless starter.
bool CheckReadyArchive(const MappedFile& archive, const std::string& source,
                       const Settings& settings, std::ostream& err) {
  if (archive.size() > UINT32_MAX) {
    err << "pack: " << DisplayName(source) << ": the archive is 4 GiB or larger; a starter "
        << "carries less\n";
    return false;
  }
  zip::ZipArchive reader;
  if (!zip::ZipOpenMemory(reader, archive.data(), archive.size())) {
    err << "pack: " << DisplayName(source) << ": the starter could not open it as an archive: "
        << zip::ZipErrorText(zip::ZipTakeLastError(reader)) << '\n';
    return false;
  }
  bool found = false;
  zip::ZipEntryRecord record;
  for (std::uint32_t i = 0; !found && i < zip::ZipEntryCount(reader); ++i) {
    found = zip::ZipReadEntryRecord(reader, i, record) && !record.isDirectory &&
            record.central.name == settings.exePath;
  }
  zip::ZipClose(reader);
  if (!found) {
    err << "pack: " << (settings.requireExe ? "error" : "warning") << ": " << DisplayName(source)
        << " has no " << DisplayName(settings.exePath)
        << (settings.requireExe ? "" : " (the starter will have nothing to run)") << '\n';
  }
  return found || !settings.requireExe;
}

int RunStub(const Settings& settings, std::ostream& out, std::ostream& err, bool progressAllowed) {
  const auto started = std::chrono::steady_clock::now();
  const std::string& source = settings.positional[0];
  const std::string& output = settings.output;
  std::string reason;
  NodeInfo outputFolder;
  if (!CheckOutputPath(output, "starter", outputFolder, err)) {
    return kExitFailure;
  }
  MappedFile stub;
  if (!stub.Open(settings.stub, reason)) {
    err << "pack: " << DisplayName(settings.stub) << ": " << reason << '\n';
    return kExitFailure;
  }
  StubKind kind = StubKind::kPosix;
  if (!StubKindOf(stub.data(), stub.size(), kind)) {
    err << "pack: " << DisplayName(settings.stub)
        << ": not a starter stub: neither a Windows nor an ELF executable\n";
    return kExitFailure;
  }
  const Target target = kind == StubKind::kWindows ? Target::kWindows : Target::kNative;
  if (settings.targetGiven && settings.target != target) {
    err << "pack: --target " << (settings.target == Target::kWindows ? "windows" : "native")
        << " does not fit the stub " << DisplayName(settings.stub) << ", "
        << (kind == StubKind::kWindows ? "a Windows" : "an ELF (native)")
        << " stub\n(see pack --help)\n";
    return kExitUsage;
  }
  NodeInfo sourceInfo;
  if (!InspectNode(source, true, sourceInfo, reason)) {
    err << "pack: " << DisplayName(source) << ": " << reason << '\n';
    return kExitFailure;
  }

  // A folder is packed into a temporary archive beside the starter, removed
  // once the starter is written. The archive writer replaces the reserved
  // name, which it can only do to a closed file on Windows.
  OutputFile packed;
  std::string archivePath = source;
  if (sourceInfo.kind == NodeKind::kFolder) {
    if (!packed.Create(output, reason)) {
      err << "pack: " << DisplayName(output)
          << ": cannot create a temporary archive beside it: " << reason << '\n';
      return kExitFailure;
    }
    packed.CloseKeepingTemporary();
    archivePath = packed.temporaryPath();
    const int status = PackFolder(settings, target, source, outputFolder, archivePath,
                                  "packed " + DisplayName(source), out, err, progressAllowed);
    if (status != kExitSuccess) {
      return status;
    }
  } else if (sourceInfo.kind != NodeKind::kFile) {
    err << "pack: " << DisplayName(source) << ": is neither a folder nor an archive\n";
    return kExitFailure;
  }
  MappedFile archive;
  if (!archive.Open(archivePath, reason)) {
    err << "pack: " << DisplayName(archivePath) << ": " << reason << '\n';
    return kExitFailure;
  }
  if (!CheckReadyArchive(archive, source, settings, err)) {
    return kExitFailure;
  }

  // The starter passes the name unquoted (as every starter does), so the
  // application sees each blank-separated part as an argument of its own.
  if (settings.appName.find(' ') != std::string::npos) {
    err << "pack: warning: the application name '" << DisplayName(settings.appName)
        << "' holds a blank: the application receives it as more than one argument\n";
  }
  StarterIdentity identity;
  identity.appName = settings.appName;
  identity.executablePath = settings.exePath;
  StarterParts parts;
  if (!BuildStarterParts(stub.data(), stub.size(), archive.data(), archive.size(), identity, parts,
                         reason)) {
    err << "pack: " << DisplayName(settings.stub) << ": " << reason << '\n';
    return kExitFailure;
  }
  if (!WriteStarter(parts, output, reason)) {
    err << "pack: " << reason << '\n';
    return kExitFailure;
  }
  if (!settings.quiet) {
    const std::uint64_t size = parts.front.size() + parts.archiveSize + parts.back.size();
    out << "pack: wrote " << DisplayName(output) << ": a "
        << (parts.kind == StubKind::kWindows ? "Windows" : "POSIX") << " starter for "
        << DisplayName(settings.appName) << ", " << size << " bytes (stub " << stub.size()
        << ", archive " << archive.size() << ") in " << Seconds(started) << '\n';
  }
  return kExitSuccess;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   bool progressAllowed) {
  Settings settings;
  std::string error;
  if (!ParseArguments(args, settings, error)) {
    err << "pack: " << error << "\n(see pack --help)\n";
    return kExitUsage;
  }
  if (settings.help) {
    out << kUsage;
    return kExitSuccess;
  }
  if (settings.version) {
    out << "pack " << kPackVersion << '\n';
    return kExitSuccess;
  }
  if (settings.list) {
    return RunList(settings, out, err);
  }
  if (settings.checkNames) {
    return kExitSuccess;  // the names passed their checks while being parsed
  }
  return settings.stub.empty() ? RunPack(settings, out, err, progressAllowed)
                               : RunStub(settings, out, err, progressAllowed);
}

}  // namespace pack
