// The `pack` command line: packing an application folder, making a starter
// from a stub, listing and checking an archive, and checking names; and the
// progress line it draws on a terminal.
#ifndef PACK_CLI_H
#define PACK_CLI_H

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace pack {

/// The executable an application folder must hold unless --exe names another.
extern const char kDefaultExecutablePath[];

/// Exit statuses of the command.
enum ExitStatus : int {
  kExitSuccess = 0,       // done; for `list`: the archive conforms
  kExitFailure = 1,       // bad input or I/O failure; nothing was written
  kExitUsage = 2,         // bad command line
  kExitNonConforming = 3  // `list`: the archive breaks the form
};

/// Runs `args` (without the program name) as `pack --help` describes, a name
/// entry_names.h refuses being a bad command line in every command. Output
/// goes to `out`, messages ("pack: ...") to `err`, with a progress line only
/// when `progressAllowed` (a terminal) and not --quiet. Returns an ExitStatus.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   bool progressAllowed);

/// A progress line: bytes done of the total, the rate and the time left, e.g.
/// "12.0 MiB of 300.0 MiB (4%), 6.0 MiB/s, 0:48 left"; the rate and time left
/// read "-" until `seconds` is positive and some bytes are done.
std::string FormatProgress(std::uint64_t done, std::uint64_t total, double seconds);

/// Redraws a FormatProgress line on `out` with '\r', a few times a second
/// once the run has lasted `delay`; draws nothing when not `enabled`.
class ProgressMeter {
 public:
  ProgressMeter(std::ostream& out, bool enabled,
                std::chrono::milliseconds delay = std::chrono::milliseconds(1000));

  void Update(std::uint64_t done, std::uint64_t total);

  /// Clears the line if one was shown; once, at the end.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& out_;
  bool enabled_;
  std::chrono::milliseconds delay_;
  Clock::time_point start_;
  Clock::time_point lastShown_;
  bool shown_ = false;
  std::size_t width_ = 0;
};

}  // namespace pack

#endif  // PACK_CLI_H
