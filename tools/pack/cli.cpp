#include "pack/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "pack/archive_writer.h"
#include "pack/entry_names.h"
#include "pack/host_io.h"
#include "pack/lister.h"
#include "pack/stub_writer.h"
#include "pack/tree_walk.h"
#include "text/entry_name.h"
#include "zip/zip_reader.h"

namespace pack {

const char kDefaultExecutablePath[] = PACK_DEFAULT_EXECUTABLE_PATH;

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
    "  pack check-names [--app-name NAME]... [--exe PATH]...\n"
    "                                      only check the names, as packing and\n"
    "                                      making a starter would, and report\n"
    "                                      each one refused\n"
    "  pack --help | --version\n"
    "\n"
    "Packing options:\n"
    "  -o, --output ARCHIVE  the archive to write (replaced only on success)\n"
    "  --level N             deflate level 0-9 (0: store everything; default 6)\n"
    "  --store-below PERCENT\n"
    "                        keep the 1 MiB pieces of a file that deflate\n"
    "                        shrinks by less than PERCENT percent as they\n"
    "                        are, inside the deflate stream, to be copied\n"
    "                        rather than decoded (0: deflate every piece;\n"
    "                        default 2)\n"
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

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 4) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string FormatDuration(double seconds) {
  const unsigned long long whole = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  }
  return text;
}

// Writes "pack: <message>" to `err`; returns false, for a failed step.
bool Fail(std::ostream& err, const std::string& message) {
  err << "pack: " << message << '\n';
  return false;
}

// Writes "pack: <message>" and where to read more to `err`; returns kExitUsage.
int UsageError(std::ostream& err, const std::string& message) {
  err << "pack: " << message << "\n(see pack --help)\n";
  return kExitUsage;
}

// The commands, as bits so that an option can name those it is for.
enum Command : unsigned { kPackCommand = 1, kListCommand = 2, kCheckNamesCommand = 4 };

// What the command line asks for, the archive writer's options among it.
struct Settings : WriteOptions {
  Settings() { threads = std::max(1u, std::thread::hardware_concurrency()); }

  Command command = kPackCommand;
  bool help = false;
  bool version = false;
  bool quiet = false;
  bool followSymlinks = false;
  bool requireExe = false;
  std::string exePath = kDefaultExecutablePath;
  bool exeGiven = false;
  std::optional<StubKind> target;  // the kind of starter the archive is for
  std::string output;
  std::string stub;
  std::string appName = kDefaultAppName;
  bool appNameGiven = false;
  std::vector<std::string> positional;
  bool showProgress = false;  // on a terminal, unless --quiet
  std::string refusedNames;   // check-names: why each name is refused, a message a line
};

// The options' setters: each stores `value` or sets `error` and returns false.
template <bool Settings::*kFlag>
bool SetFlag(const char*, const std::string&, Settings& settings, std::string&) {
  settings.*kFlag = true;
  return true;
}

// A path, given at most once and never empty.
template <std::string Settings::*kPath>
bool SetPath(const char* option, const std::string& value, Settings& settings, std::string& error) {
  const std::string what = std::string("the ") + (option + 2);
  error = value.empty()               ? what + " path is empty"
          : (settings.*kPath).empty() ? ""
                                      : what + " is given twice";
  settings.*kPath = error.empty() ? value : settings.*kPath;
  return error.empty();
}

// A whole number from kLow to kHigh.
template <auto kField, long long kLow, long long kHigh>
bool SetNumber(const char* option, const std::string& value, Settings& settings,
               std::string& error) {
  const bool digits = !value.empty() && value.size() <= 9 &&
                      value.find_first_not_of("0123456789") == std::string::npos;
  const long long number = digits ? std::stoll(value) : -1;
  if (number < kLow || number > kHigh) {
    error = std::string(option) + " needs a number from " + std::to_string(kLow) + " to " +
            std::to_string(kHigh) + ", not '" + DisplayName(value) + "'";
    return false;
  }
  settings.*kField = static_cast<std::remove_reference_t<decltype(settings.*kField)>>(number);
  return true;
}

// Why the name given with `option` (--app-name or --exe) is refused, as a
// message naming both, or "".
std::string NameProblem(const std::string& option, const std::string& name) {
  const std::string problem = option == "--app-name" ? CheckAppName(name)
                              : name.empty()         ? "is empty: a starter needs a program to run"
                                                     : CheckExecutablePath(name);
  return problem.empty() ? problem : option + " '" + DisplayName(name) + "' " + problem;
}

// check-names reports every name it is given; the other commands stop at
// the first bad one, and there an empty --exe turns the check for the program off.
template <std::string Settings::*kName, bool Settings::*kGiven>
bool SetName(const char* option, const std::string& value, Settings& settings, std::string& error) {
  settings.*kName = value;
  settings.*kGiven = true;
  const bool checkNames = settings.command == kCheckNamesCommand;
  const bool noProgram = value.empty() && kName == &Settings::exePath && !checkNames;
  const std::string problem = noProgram ? "" : NameProblem(option, value);
  std::string& report = checkNames ? settings.refusedNames : error;
  report += (report.empty() || problem.empty() ? "" : "\npack: ") + problem;
  return checkNames || problem.empty();
}

bool SetTarget(const char*, const std::string& value, Settings& settings, std::string& error) {
  error = settings.target ? "the target is given twice"
          : value != "windows" && value != "native"
              ? "--target needs windows or native, not '" + DisplayName(value) + "'"
              : "";
  if (error.empty()) {
    settings.target = value == "windows" ? StubKind::kWindows : StubKind::kPosix;
  }
  return error.empty();
}

struct OptionRule {
  const char* shortName;  // "-o", or null
  const char* longName;   // "--output"
  bool takesValue;
  unsigned commands;  // the Command bits of the commands it is for
  bool (*set)(const char* option, const std::string& value, Settings& settings, std::string& error);
};

static_assert(kDefaultStoreBelowPercent == 2, "--store-below's help names the default");

// The options, as kUsage lists them.
const OptionRule kOptions[] = {
    {"-o", "--output", true, kPackCommand, SetPath<&Settings::output>},
    {nullptr, "--level", true, kPackCommand, SetNumber<&Settings::level, 0, 9>},
    {nullptr, "--store-below", true, kPackCommand, SetNumber<&Settings::storeBelowPercent, 0, 100>},
    {nullptr, "--threads", true, kPackCommand, SetNumber<&Settings::threads, 1, 1024>},
    {nullptr, "--follow-symlinks", false, kPackCommand, SetFlag<&Settings::followSymlinks>},
    {nullptr, "--exe", true, kPackCommand | kListCommand | kCheckNamesCommand,
     SetName<&Settings::exePath, &Settings::exeGiven>},
    {nullptr, "--require-exe", false, kPackCommand | kListCommand, SetFlag<&Settings::requireExe>},
    {nullptr, "--target", true, kPackCommand, SetTarget},
    {nullptr, "--stub", true, kPackCommand, SetPath<&Settings::stub>},
    {nullptr, "--app-name", true, kPackCommand | kCheckNamesCommand,
     SetName<&Settings::appName, &Settings::appNameGiven>},
    {"-q", "--quiet", false, kPackCommand | kListCommand, SetFlag<&Settings::quiet>},
    {"-h", "--help", false, kPackCommand | kListCommand | kCheckNamesCommand,
     SetFlag<&Settings::help>},
    {nullptr, "--version", false, kPackCommand | kListCommand, SetFlag<&Settings::version>},
};

// An option argument's name and the value it carries (--name=value, -oPATH).
std::pair<std::string, std::optional<std::string>> SplitOption(const std::string& arg) {
  const std::size_t equals = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
    return {arg.substr(0, equals), arg.substr(equals + 1)};
  }
  if (arg.compare(0, 2, "-o") == 0 && arg.size() > 2) {
    return {"-o", arg.substr(2)};
  }
  return {arg, std::nullopt};
}

// Applies the option at args[i], moving `i` past a value in the next argument.
bool ParseOption(const std::vector<std::string>& args, std::size_t& i, Settings& settings,
                 std::string& error) {
  auto [name, value] = SplitOption(args[i]);
  const auto rule =
      std::find_if(std::begin(kOptions), std::end(kOptions), [&key = name](const auto& o) {
        return key == o.longName || (o.shortName && key == o.shortName);
      });
  if (rule == std::end(kOptions) || (rule->commands & settings.command) == 0) {
    error = settings.command == kCheckNamesCommand ? "option " + name + " is not for check-names"
            : rule != std::end(kOptions) ? "option " + name + " is for packing, not for list"
                                         : "unknown option '" + DisplayName(args[i]) + "'";
    return false;
  }
  if (rule->takesValue && !value && i + 1 < args.size()) {
    value = args[++i];
  }
  if (rule->takesValue != value.has_value()) {
    error = "option " + name + (value ? " takes no value" : " needs a value");
    return false;
  }
  return rule->set(rule->longName, value.value_or(""), settings, error);
}

// Checks the operands against the command, and for check-names, the names.
bool CheckOperands(const Settings& settings, std::string& error) {
  const std::size_t operands = settings.positional.size();
  if (settings.help || settings.version) {
    error.clear();
  } else if (settings.command == kListCommand) {
    error = operands != 1 ? "list needs exactly one archive" : "";
  } else if (settings.command == kCheckNamesCommand) {
    error = operands != 0 ? "check-names takes no folder or archive"
            : !settings.appNameGiven && !settings.exeGiven
                ? "check-names needs --app-name NAME or --exe PATH"
                : settings.refusedNames;
  } else {
    error = operands == 0             ? "no application folder given"
            : operands > 1            ? "more than one application folder given"
            : settings.output.empty() ? "no output archive given (-o ARCHIVE)"
            : settings.appNameGiven && settings.stub.empty()
                ? "--app-name is for making a starter (--stub STUB)"
            : !settings.stub.empty() && settings.exePath.empty() ? NameProblem("--exe", "")
                                                                 : "";
  }
  return error.empty();
}

bool ParseArguments(const std::vector<std::string>& args, Settings& settings, std::string& error) {
  std::size_t i = 0;
  if (!args.empty() && (args[0] == "list" || args[0] == "check-names")) {
    settings.command = args[0] == "list" ? kListCommand : kCheckNamesCommand;
    i = 1;
  }
  bool optionsEnded = false;
  for (; i < args.size(); ++i) {
    if (optionsEnded || args[i].size() < 2 || args[i][0] != '-') {
      settings.positional.push_back(args[i]);
    } else if (SplitOption(args[i]).first == "--") {
      optionsEnded = true;
    } else if (!ParseOption(args, i, settings, error)) {
      return false;
    }
  }
  return CheckOperands(settings, error);
}

// Writes the first ten `lines` after `prefix`, then how many `more` there are.
void ReportSome(const std::vector<std::string>& lines, const std::string& prefix, const char* more,
                std::ostream& err) {
  constexpr std::size_t kShown = 10;
  for (std::size_t i = 0; i < lines.size() && i < kShown; ++i) {
    err << prefix << lines[i] << '\n';
  }
  if (lines.size() > kShown) {
    err << prefix << "... and " << (lines.size() - kShown) << " more such " << more << '\n';
  }
}

// Warns of names the starter on Windows refuses at run time (saying so now
// is cheaper than a failed start). Two names that differ only in case would
// make a Windows starter write both into one file or folder, so they are
// refused there (returns false: nothing may be written); a native starter on
// a case-sensitive file system keeps them apart, so there it is a warning.
bool CheckTreeNames(const std::vector<TreeEntry>& entries, StubKind target, std::ostream& err) {
  std::vector<std::string> names;
  std::vector<std::string> warnings;
  for (const TreeEntry& entry : entries) {
    names.push_back(entry.name);
    const std::string name =
        entry.isFolder ? entry.name.substr(0, entry.name.size() - 1) : entry.name;
    const std::string problem = WindowsNameProblem(name.substr(name.find_last_of('/') + 1));
    if (!problem.empty()) {
      warnings.push_back(DisplayName(entry.name) + ": the name " + problem +
                         "; the starter on Windows will refuse it");
    }
  }
  ReportSome(warnings, "pack: warning: ", "names", err);
  const bool refused = target == StubKind::kWindows;
  std::vector<std::string> pairs;
  for (const CaseCollision& collision : FindCaseCollisions(names)) {
    pairs.push_back(
        DisplayName(collision.first) + " and " + DisplayName(collision.second) +
        " differ only in case; " +
        (refused ? "a Windows starter" : "a starter on a case-insensitive file system") +
        " would unpack both into one");
  }
  ReportSome(pairs, refused ? "pack: " : "pack: warning: ", "pairs", err);
  if (refused && !pairs.empty()) {
    err << "pack: nothing written: rename one of each pair, or pack for a native starter\n";
  }
  return !refused || pairs.empty();
}

int RunList(const Settings& settings, std::ostream& out, std::ostream& err) {
  const std::string& path = settings.positional[0];
  // An archive need not hold the build's default program; only a program
  // asked for makes its absence break the form.
  const bool exeRequired = settings.exeGiven || settings.requireExe;
  const InspectOptions options{exeRequired ? settings.exePath : std::string()};
  MappedFile file;
  ArchiveReport report;
  std::string reason;
  if (!file.Open(path, reason) ||
      !InspectArchive(file.data(), file.size(), options, report, reason)) {
    Fail(err, DisplayName(path) + ": " + reason);
    return kExitFailure;
  }
  if (!settings.quiet) {
    PrintEntries(report, out);
  }
  if (!exeRequired && !settings.exePath.empty() &&
      std::none_of(report.entries.begin(), report.entries.end(),
                   [&](const auto& entry) { return entry.central.name == settings.exePath; })) {
    out << "note: no " << DisplayName(settings.exePath)
        << " in the archive (the default program; give --exe PATH to check for another, "
           "--require-exe to require it)\n";
  }
  PrintBreaks(report, out);
  return report.breaks.empty() ? kExitSuccess : kExitNonConforming;
}

// Checks that `output` can be written (its folder exists and it is not a
// folder) and fills `folder` with its folder's identity.
bool CheckOutputPath(const std::string& output, const char* what, NodeInfo& folder,
                     std::ostream& err) {
  std::string reason;
  if (!InspectNode(FolderOfPath(output), true, folder, reason) ||
      folder.kind != NodeKind::kFolder) {
    return Fail(err, DisplayName(output) + ": the folder for the " + what + " " +
                         (reason.empty() ? "is not a folder" : "cannot be used: " + reason));
  }
  NodeInfo existing;
  if (InspectNode(output, true, existing, reason) && existing.kind == NodeKind::kFolder) {
    return Fail(err, DisplayName(output) + ": is a folder, not " +
                         (std::string(what) == "archive" ? "an " : "a ") + what + " path");
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

// Unless `found`, reports that `source` lacks the executable: an error with
// --require-exe (returns false), otherwise a warning.
bool AcceptMissingExe(bool found, const std::string& source, const Settings& settings,
                      std::ostream& err) {
  if (!found) {
    err << "pack: " << (settings.requireExe ? "error" : "warning") << ": " << DisplayName(source)
        << " has no " << DisplayName(settings.exePath)
        << (settings.requireExe ? "" : " (the starter will have nothing to run)") << '\n';
  }
  return found || !settings.requireExe;
}

// Packs the folder `root`, but `outputFolder`, into `archivePath` for a
// starter of kind `target`; the summary starts with `done` ("wrote ARCHIVE").
bool PackFolder(const Settings& settings, StubKind target, const std::string& root,
                const NodeInfo& outputFolder, const std::string& archivePath,
                const std::string& done, std::ostream& out, std::ostream& err) {
  const auto started = std::chrono::steady_clock::now();
  std::string reason;
  WalkOptions walkOptions;
  walkOptions.followSymlinks = settings.followSymlinks;
  walkOptions.hasExcludedFolder = true;
  walkOptions.excludedDevice = outputFolder.device;
  walkOptions.excludedInode = outputFolder.inode;
  std::vector<TreeEntry> entries;
  if (!WalkTree(root, walkOptions, entries, reason)) {
    return Fail(err, reason);
  }

  const bool found =
      settings.exePath.empty() || std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
        return !e.isFolder && e.name == settings.exePath;
      });
  if (!AcceptMissingExe(found, root, settings, err) || !CheckTreeNames(entries, target, err)) {
    return false;
  }

  ProgressMeter meter(err, settings.showProgress);
  WriteOptions options = settings;
  options.unixModes = target == StubKind::kPosix;
  options.progress = [&meter](std::uint64_t done, std::uint64_t total) {
    meter.Update(done, total);
  };
  WriteSummary summary;
  const bool written = WriteArchive(entries, archivePath, options, summary, reason);
  meter.Finish();
  if (!written) {
    return Fail(err, reason);
  }
  if (!settings.quiet) {
    out << "pack: " << done << ": " << summary.entries
        << " entries (files: " << summary.deflatedFiles << " deflated, " << summary.storedFiles
        << " stored), " << summary.archiveSize << " bytes from " << summary.inputBytes << " in "
        << Seconds(started) << '\n';
  }
  return true;
}

// Maps the archive the starter carries: SOURCE itself, or for a folder an
// archive packed into `packed`, a temporary file beside the starter that is
// removed with `packed`. The archive writer replaces that reserved name,
// which it can only do to a closed file on Windows.
bool PrepareArchive(const Settings& settings, StubKind kind, const NodeInfo& outputFolder,
                    OutputFile& packed, MappedFile& archive, std::ostream& out, std::ostream& err) {
  const std::string& source = settings.positional[0];
  std::string reason;
  NodeInfo sourceInfo;
  if (!InspectNode(source, true, sourceInfo, reason)) {
    return Fail(err, DisplayName(source) + ": " + reason);
  }
  if (sourceInfo.kind != NodeKind::kFile && sourceInfo.kind != NodeKind::kFolder) {
    return Fail(err, DisplayName(source) + ": is neither a folder nor an archive");
  }
  std::string path = source;
  if (sourceInfo.kind == NodeKind::kFolder) {
    if (!packed.Create(settings.output, reason)) {
      return Fail(err, DisplayName(settings.output) +
                           ": cannot create a temporary archive beside it: " + reason);
    }
    packed.CloseKeepingTemporary();
    path = packed.temporaryPath();
    if (!PackFolder(settings, kind, source, outputFolder, path, "packed " + DisplayName(source),
                    out, err)) {
      return false;
    }
  }
  return archive.Open(path, reason) || Fail(err, DisplayName(path) + ": " + reason);
}

// The starter opens its archive with the ZIP reader: an archive it cannot
// open, or one without the program to run, makes a useless starter. A packed
// folder's program was already looked for (`programChecked`).
bool CheckReadyArchive(const MappedFile& archive, const std::string& source, bool programChecked,
                       const Settings& settings, std::ostream& err) {
  if (archive.size() > UINT32_MAX) {
    return Fail(err,
                DisplayName(source) + ": the archive is 4 GiB or larger; a starter carries less");
  }
  zip::ZipArchive reader;
  if (!zip::ZipOpenMemory(reader, archive.data(), archive.size())) {
    return Fail(err, DisplayName(source) + ": the starter could not open it as an archive: " +
                         zip::ZipErrorText(zip::ZipTakeLastError(reader)));
  }
  bool found = programChecked;
  zip::ZipEntryRecord record;
  for (std::uint32_t i = 0; !found && i < zip::ZipEntryCount(reader); ++i) {
    found = zip::ZipReadEntryRecord(reader, i, record) && !record.isDirectory &&
            record.central.name == settings.exePath;
  }
  zip::ZipClose(reader);
  return AcceptMissingExe(found, source, settings, err);
}

bool WriteStarterFile(const Settings& settings, const MappedFile& stub, const MappedFile& archive,
                      StarterParts& parts, std::ostream& err) {
  // The starter passes the name unquoted (as every starter does), so the
  // application sees each blank-separated part as an argument of its own.
  if (settings.appName.find(' ') != std::string::npos) {
    err << "pack: warning: the application name '" << DisplayName(settings.appName)
        << "' holds a blank: the application receives it as more than one argument\n";
  }
  const StarterIdentity identity{settings.appName, settings.exePath};
  std::string reason;
  if (!BuildStarterParts(stub.data(), stub.size(), archive.data(), archive.size(), identity, parts,
                         reason)) {
    return Fail(err, DisplayName(settings.stub) + ": " + reason);
  }
  return WriteStarter(parts, settings.output, reason) || Fail(err, reason);
}

int RunStub(const Settings& settings, const NodeInfo& outputFolder, std::ostream& out,
            std::ostream& err) {
  const auto started = std::chrono::steady_clock::now();
  MappedFile stub;
  StubKind kind = StubKind::kPosix;
  std::string reason;
  if (!stub.Open(settings.stub, reason) || !StubKindOf(stub.data(), stub.size(), kind)) {
    Fail(err, DisplayName(settings.stub) + ": " +
                  (reason.empty() ? "not a starter stub: neither a Windows nor an ELF executable"
                                  : reason));
    return kExitFailure;
  }
  // The stub decides the kind of starter; a --target given must agree.
  if (settings.target && settings.target != kind) {
    return UsageError(err, std::string("--target ") +
                               (settings.target == StubKind::kWindows ? "windows" : "native") +
                               " does not fit the stub " + DisplayName(settings.stub) + ", " +
                               (kind == StubKind::kWindows ? "a Windows" : "an ELF (native)") +
                               " stub");
  }
  OutputFile packed;
  MappedFile archive;
  StarterParts parts;
  if (!PrepareArchive(settings, kind, outputFolder, packed, archive, out, err) ||
      !CheckReadyArchive(archive, settings.positional[0], !packed.temporaryPath().empty(), settings,
                         err) ||
      !WriteStarterFile(settings, stub, archive, parts, err)) {
    return kExitFailure;
  }
  if (!settings.quiet) {
    const std::uint64_t size = parts.front.size() + parts.archiveSize + parts.back.size();
    out << "pack: wrote " << DisplayName(settings.output) << ": a "
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
    return UsageError(err, error);
  }
  settings.showProgress = progressAllowed && !settings.quiet;
  if (settings.help || settings.version) {
    out << (settings.help ? kUsage : "pack " PACK_VERSION "\n");
    return kExitSuccess;
  }
  if (settings.command != kPackCommand) {
    // check-names checked the names with the command line.
    return settings.command == kListCommand ? RunList(settings, out, err) : kExitSuccess;
  }
  const bool starter = !settings.stub.empty();
  NodeInfo outputFolder;
  if (!CheckOutputPath(settings.output, starter ? "starter" : "archive", outputFolder, err)) {
    return kExitFailure;
  }
  if (starter) {
    return RunStub(settings, outputFolder, out, err);
  }
  const bool packed =
      PackFolder(settings, settings.target.value_or(StubKind::kWindows), settings.positional[0],
                 outputFolder, settings.output, "wrote " + DisplayName(settings.output), out, err);
  return packed ? kExitSuccess : kExitFailure;
}

std::string FormatProgress(std::uint64_t done, std::uint64_t total, double seconds) {
  const unsigned percent =
      total == 0 ? 100u : static_cast<unsigned>(static_cast<double>(done) * 100.0 / total);
  std::string line = FormatBytes(static_cast<double>(done)) + " of " +
                     FormatBytes(static_cast<double>(total)) + " (" + std::to_string(percent) +
                     "%), ";
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    const double left = done >= total ? 0.0 : static_cast<double>(total - done) / rate;
    line += FormatBytes(rate) + "/s, " + FormatDuration(left) + " left";
  } else {
    line += "- /s, - left";
  }
  return line;
}

ProgressMeter::ProgressMeter(std::ostream& out, bool enabled, std::chrono::milliseconds delay)
    : out_(out), enabled_(enabled), delay_(delay), start_(Clock::now()), lastShown_(start_) {}

void ProgressMeter::Update(std::uint64_t done, std::uint64_t total) {
  const Clock::time_point now = Clock::now();
  if (!enabled_ || now - start_ < delay_ ||
      (shown_ && now - lastShown_ < std::chrono::milliseconds(200))) {
    return;
  }
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::string line = FormatProgress(done, total, seconds);
  // Pad over the rest of a longer previous line.
  width_ = std::max(width_, line.size());
  line.resize(width_, ' ');
  out_ << '\r' << line << std::flush;
  shown_ = true;
  lastShown_ = now;
}

void ProgressMeter::Finish() {
  if (shown_) {
    out_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    shown_ = false;
  }
}

}  // namespace pack
