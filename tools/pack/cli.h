// The `pack` command line: packing an application folder, making a starter
// from a stub, listing and checking an archive, and checking names.
#ifndef PACK_CLI_H
#define PACK_CLI_H

#include <ostream>
#include <string>
#include <vector>

namespace pack {

/// The executable an application folder is expected to hold, unless --exe
/// names another ('/'-separated; the build's default application).
extern const char kDefaultExecutablePath[];

/// Exit statuses of the command.
enum ExitStatus : int {
  kExitSuccess = 0,       // done; for `list`: the archive conforms
  kExitFailure = 1,       // bad input or I/O failure; nothing was written
  kExitUsage = 2,         // bad command line
  kExitNonConforming = 3  // `list`: the archive breaks the form
};

/// Runs the command line `args` (without the program name) as `pack --help`
/// describes it. A name CheckAppName or CheckExecutablePath (entry_names.h)
/// refuses is a bad command line in every command.
/// Normal output goes to `out`, messages (prefixed "pack: ") to `err`. A
/// progress line is drawn on `err` only when `progressAllowed` (the caller
/// has found it to be a terminal) and not --quiet. Returns an ExitStatus.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   bool progressAllowed);

}  // namespace pack

#endif  // PACK_CLI_H
