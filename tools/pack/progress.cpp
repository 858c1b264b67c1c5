#include "pack/progress.h"

#include <algorithm>
#include <cstdio>

namespace pack {

namespace {

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

}  // namespace

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
  if (!enabled_) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - start_ < delay_ || (shown_ && now - lastShown_ < std::chrono::milliseconds(200))) {
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
