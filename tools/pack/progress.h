// A one-line progress display for long runs on a terminal.
#ifndef PACK_PROGRESS_H
#define PACK_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace pack {

/// Formats a progress line: bytes done of the total (with a percentage), the
/// rate so far and the estimated time left, e.g.
/// "12.0 MiB of 300.0 MiB (4%), 6.0 MiB/s, 0:48 left". The rate and time left
/// read "-" until `seconds` is positive and some bytes are done.
std::string FormatProgress(std::uint64_t done, std::uint64_t total, double seconds);

/// Shows FormatProgress lines on `out`, redrawn in place with '\r', at most a
/// few times a second, and only once the run has lasted `delay`. Does
/// nothing at all when not `enabled`.
class ProgressMeter {
 public:
  ProgressMeter(std::ostream& out, bool enabled,
                std::chrono::milliseconds delay = std::chrono::milliseconds(1000));

  /// Reports `done` bytes of `total`.
  void Update(std::uint64_t done, std::uint64_t total);

  /// Clears the line if one was shown. Call once at the end.
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

#endif  // PACK_PROGRESS_H
