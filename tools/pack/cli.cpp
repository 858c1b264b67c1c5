#include "pack/cli.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "extract/entry_name.h"
#include "pack/archive_writer.h"
#include "pack/entry_names.h"
#include "pack/host_io.h"
#include "pack/lister.h"
#include "pack/progress.h"
#include "pack/tree_walk.h"

namespace pack {

namespace {

const char kUsage[] =
    "Usage:\n"
    "  pack APP_DIR -o ARCHIVE [options]   pack the folder APP_DIR into ARCHIVE\n"
    "  pack list [--exe PATH] [--quiet] ARCHIVE\n"
    "                                      list ARCHIVE and check its form\n"
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
    "                        quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe;\n"
    "                        empty: no check)\n"
    "  --require-exe         a missing executable is an error, not a warning\n"
    "  -q, --quiet           no progress display and no summary (list: only\n"
    "                        the verdict, not the entries)\n"
    "\n"
    "A first argument 'list' selects listing; to pack a folder named list,\n"
    "write ./list.\n"
    "\n"
    "Exit status: 0 success (list: the archive conforms), 1 failure (nothing\n"
    "written), 2 bad command line, 3 list: the archive breaks the form.\n";

struct Settings {
  bool help = false;
  bool version = false;
  bool list = false;
  bool quiet = false;
  bool followSymlinks = false;
  bool requireExe = false;
  int level = kDefaultLevel;
  unsigned threads = 0;
  std::string exePath = kDefaultExecutablePath;
  std::string output;
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

bool ParseArguments(const std::vector<std::string>& args, Settings& settings, std::string& error) {
  std::size_t i = 0;
  if (!args.empty() && args[0] == "list") {
    settings.list = true;
    i = 1;
  }
  bool optionsEnded = false;
  bool outputGiven = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      settings.positional.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    const std::size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasValue = true;
    } else if (arg.compare(0, 2, "-o") == 0 && arg.size() > 2) {
      name = "-o";
      value = arg.substr(2);
      hasValue = true;
    }
    const auto takeValue = [&]() {
      if (hasValue) {
        return true;
      }
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    const auto noValue = [&]() {
      if (hasValue) {
        error = "option " + name + " takes no value";
        return false;
      }
      return true;
    };
    const bool packOnly = name == "-o" || name == "--output" || name == "--level" ||
                          name == "--threads" || name == "--follow-symlinks" ||
                          name == "--require-exe";
    if (settings.list && packOnly) {
      error = "option " + name + " is for packing, not for list";
      return false;
    }
    long long number = 0;
    if (name == "--") {
      optionsEnded = true;
    } else if (name == "-h" || name == "--help") {
      if (!noValue()) {
        return false;
      }
      settings.help = true;
    } else if (name == "--version") {
      if (!noValue()) {
        return false;
      }
      settings.version = true;
    } else if (name == "-o" || name == "--output") {
      if (!takeValue()) {
        return false;
      }
      if (outputGiven) {
        error = "the output is given twice";
        return false;
      }
      if (value.empty()) {
        error = "the output path is empty";
        return false;
      }
      outputGiven = true;
      settings.output = value;
    } else if (name == "--level") {
      if (!takeValue()) {
        return false;
      }
      if (!ParseNumber(value, 0, 9, number)) {
        error = "--level needs a number from 0 to 9, not '" + DisplayName(value) + "'";
        return false;
      }
      settings.level = static_cast<int>(number);
    } else if (name == "--threads") {
      if (!takeValue()) {
        return false;
      }
      if (!ParseNumber(value, 1, 1024, number)) {
        error = "--threads needs a number from 1 to 1024, not '" + DisplayName(value) + "'";
        return false;
      }
      settings.threads = static_cast<unsigned>(number);
    } else if (name == "--exe") {
      if (!takeValue()) {
        return false;
      }
      const std::string problem = value.empty() ? std::string() : CheckRelativeFilePath(value);
      if (!problem.empty()) {
        error = "--exe '" + DisplayName(value) + "' " + problem;
        return false;
      }
      settings.exePath = value;
    } else if (name == "--follow-symlinks" && noValue()) {
      settings.followSymlinks = true;
    } else if (name == "--require-exe" && noValue()) {
      settings.requireExe = true;
    } else if ((name == "-q" || name == "--quiet") && noValue()) {
      settings.quiet = true;
    } else {
      if (error.empty()) {
        error = "unknown option '" + DisplayName(arg) + "'";
      }
      return false;
    }
  }
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
  if (settings.positional.size() != 1) {
    error = settings.positional.empty() ? "no application folder given"
                                        : "more than one application folder given";
    return false;
  }
  if (!outputGiven) {
    error = "no output archive given (-o ARCHIVE)";
    return false;
  }
  return true;
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

int RunList(const Settings& settings, std::ostream& out, std::ostream& err) {
  const std::string& path = settings.positional[0];
  MappedFile file;
  std::string reason;
  if (!file.Open(path, reason)) {
    err << "pack: " << DisplayName(path) << ": " << reason << '\n';
    return kExitFailure;
  }
  InspectOptions options;
  options.executablePath = settings.exePath;
  ArchiveReport report;
  if (!InspectArchive(file.data(), file.size(), options, report, reason)) {
    err << "pack: " << DisplayName(path) << ": " << reason << '\n';
    return kExitFailure;
  }
  if (!settings.quiet) {
    PrintEntries(report, out);
  }
  PrintBreaks(report, out);
  return report.breaks.empty() ? kExitSuccess : kExitNonConforming;
}

int RunPack(const Settings& settings, std::ostream& out, std::ostream& err, bool progressAllowed) {
  const auto started = std::chrono::steady_clock::now();
  const std::string& root = settings.positional[0];
  const std::string& output = settings.output;
  std::string reason;
  NodeInfo outputFolder;
  if (!InspectNode(FolderOfPath(output), true, outputFolder, reason) ||
      outputFolder.kind != NodeKind::kFolder) {
    err << "pack: " << DisplayName(output) << ": the folder for the archive "
        << (reason.empty() ? "is not a folder" : "cannot be used: " + reason) << '\n';
    return kExitFailure;
  }
  NodeInfo existing;
  if (InspectNode(output, true, existing, reason) && existing.kind == NodeKind::kFolder) {
    err << "pack: " << DisplayName(output) << ": is a folder, not an archive path\n";
    return kExitFailure;
  }

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

  ProgressMeter meter(err, progressAllowed && !settings.quiet);
  WriteOptions options;
  options.level = settings.level;
  options.threads =
      settings.threads != 0 ? settings.threads : std::max(1u, std::thread::hardware_concurrency());
  options.progress = [&meter](std::uint64_t done, std::uint64_t total) {
    meter.Update(done, total);
  };
  WriteSummary summary;
  const bool written = WriteArchive(entries, output, options, summary, reason);
  meter.Finish();
  if (!written) {
    err << "pack: " << reason << '\n';
    return kExitFailure;
  }
  if (!settings.quiet) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.2f s", seconds);
    out << "pack: wrote " << DisplayName(output) << ": " << summary.entries
        << " entries (files: " << summary.deflatedFiles << " deflated, " << summary.storedFiles
        << " stored), " << summary.archiveSize << " bytes from " << summary.inputBytes << " in "
        << timing << '\n';
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
  return settings.list ? RunList(settings, out, err) : RunPack(settings, out, err, progressAllowed);
}

}  // namespace pack
