#include "pack/entry_header.h"

#include <gtest/gtest.h>

namespace {

TEST(PackEntryHeader, UnixAttributesPutTheModeAboveTheMsDosAttributes) {
  EXPECT_EQ(pack::UnixExternalAttributes(false, 0644), (0100644u << 16) | 0x20u);
  EXPECT_EQ(pack::UnixExternalAttributes(true, 0755), (040755u << 16) | 0x10u);
  EXPECT_EQ(pack::UnixExternalAttributes(false, 04755), (0104755u << 16) | 0x20u);
  // Bits beyond the permissions cannot pose as another file type.
  EXPECT_EQ(pack::UnixExternalAttributes(false, 0170644), (0100644u << 16) | 0x20u);
  EXPECT_EQ(pack::kVersionMadeByUnix63, 0x033F);
}

}  // namespace
