#include "payload/payload.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/temp_folder.h"

namespace {

// The Windows test binary carries a known block of bytes as its archive
// resource, the way a starter carries its archive (see tests/CMakeLists.txt).
TEST(FindPayload, YieldsTheEmbeddedBytesExactly) {
  const std::string expected = testing_support::ReadFileBytes(STARTER_EMBEDDED_PROBE_FILE);
  ASSERT_FALSE(expected.empty());
  const std::optional<Payload> payload = FindPayload();
  ASSERT_TRUE(payload.has_value());
  ASSERT_NE(payload->bytes, nullptr);
  ASSERT_EQ(payload->length, expected.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload->bytes), payload->length), expected);
}

TEST(FindPayload, YieldsTheSameMappingEachTime) {
  const std::optional<Payload> first = FindPayload();
  const std::optional<Payload> second = FindPayload();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->bytes, second->bytes);
}

}  // namespace
