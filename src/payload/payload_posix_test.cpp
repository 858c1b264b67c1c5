#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "payload/payload_trailer.h"
#include "testing/temp_folder.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempFolder;
using testing_support::WriteFileBytes;

std::string TrailerBytes(std::uint64_t offset, std::uint32_t length) {
  const auto trailer = EncodePayloadTrailer(offset, length);
  return std::string(trailer.begin(), trailer.end());
}

std::string SomeBytes(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 16);
  }
  return bytes;
}

// The line of /proc/self/maps whose range holds `address`, or "".
std::string MappingOf(const void* address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  const auto value = reinterpret_cast<std::uintptr_t>(address);
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    char dash = 0;
    fields >> std::hex >> low >> dash >> high;
    if (low <= value && value < high) {
      return line;
    }
  }
  return "";
}

TEST(FindAppendedPayload, MapsTheArchiveFromTheFileItself) {
  TempFolder folder("payload-trailer-");
  // A front part that ends off a page boundary, as a stub's file does.
  const std::string front = SomeBytes(10007, 1);
  const std::string archive = SomeBytes(9000, 2);
  const std::string path = (folder / "starter").string();
  ASSERT_TRUE(WriteFileBytes(path, front + archive + TrailerBytes(front.size(), archive.size())));

  const std::optional<Payload> payload = FindAppendedPayload(path);
  ASSERT_TRUE(payload.has_value());
  ASSERT_NE(payload->bytes, nullptr);
  ASSERT_EQ(payload->length, archive.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload->bytes), payload->length), archive);
  // In a read-only mapping of the file, not in a copy on the heap.
  const std::string mapping = MappingOf(payload->bytes);
  EXPECT_NE(mapping.find(" r--p "), std::string::npos) << mapping;
  EXPECT_NE(mapping.find(path), std::string::npos) << mapping;
}

TEST(FindAppendedPayload, FindsNothingInAFileWithoutTrailer) {
  TempFolder folder("payload-trailer-");
  const std::string path = (folder / "stub").string();
  ASSERT_TRUE(WriteFileBytes(path, SomeBytes(5000, 3)));
  EXPECT_FALSE(FindAppendedPayload(path).has_value());
  ASSERT_TRUE(WriteFileBytes(path, "short"));
  EXPECT_FALSE(FindAppendedPayload(path).has_value());
  EXPECT_FALSE(FindAppendedPayload((folder / "missing").string()).has_value());
  EXPECT_FALSE(FindAppendedPayload(folder.path().string()).has_value());
}

TEST(FindAppendedPayload, RefusesATrailerWhoseOffsetOrLengthLies) {
  TempFolder folder("payload-trailer-");
  const std::string front = SomeBytes(3000, 4);
  const std::string archive = SomeBytes(2000, 5);
  const std::string path = (folder / "starter").string();
  const struct {
    std::uint64_t offset;
    std::uint32_t length;
  } lies[] = {
      {front.size(), static_cast<std::uint32_t>(archive.size() + 1)},  // reaches into the trailer
      {front.size() + 1, static_cast<std::uint32_t>(archive.size())},  // past the end
      {front.size() - 1, static_cast<std::uint32_t>(archive.size())},  // a gap before the trailer
      {UINT64_MAX - 100, 200},                                         // wraps around
  };
  for (const auto& lie : lies) {
    ASSERT_TRUE(WriteFileBytes(path, front + archive + TrailerBytes(lie.offset, lie.length)));
    EXPECT_FALSE(FindAppendedPayload(path).has_value()) << lie.offset << " " << lie.length;
  }
}

}  // namespace
