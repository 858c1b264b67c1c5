#include "pack/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

namespace {

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
