#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "payload/payload_trailer.h"
#include "testing/appended_payload.h"
#include "testing/temp_folder.h"

extern "C" const unsigned char starter_payload_slot[] __attribute__((weak));

namespace {

using testing_support::FindAppendedPayload;

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

// The open slot of a stub: its marker, then zero bytes up to 32.
std::string OpenSlot() {
  std::string slot(reinterpret_cast<const char*>(kPayloadOpenSlotMarker),
                   sizeof kPayloadOpenSlotMarker);
  slot.resize(kPayloadSlotSize, '\0');
  return slot;
}

std::optional<Payload> ReadSegment(const std::string& segment) {
  return ReadPayloadSegment(reinterpret_cast<const unsigned char*>(segment.data()), segment.size());
}

TEST(ReadPayloadSegment, FindsNoArchiveInTheOpenSlotOfAStub) {
  EXPECT_FALSE(ReadSegment(OpenSlot()).has_value());
}

TEST(ReadPayloadSegment, FindsTheArchiveInFrontOfTheTrailerThatEndsTheSegment) {
  const std::string archive = SomeBytes(5000, 6);
  const std::string segment = archive + TrailerBytes(0x4000, archive.size());
  const std::optional<Payload> payload = ReadSegment(segment);
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(payload->damage, nullptr);
  EXPECT_EQ(payload->bytes, reinterpret_cast<const unsigned char*>(segment.data()));
  EXPECT_EQ(payload->length, archive.size());
  // An empty archive is no damage either: the archive reader refuses it.
  const std::optional<Payload> empty = ReadSegment(TrailerBytes(0x4000, 0));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->damage, nullptr);
  EXPECT_EQ(empty->length, 0u);
  // strip moves the segment's bytes in the file: the trailer's file offset
  // is then stale, and the archive is still whole in memory.
  const std::string moved = archive + TrailerBytes(0x9999, archive.size());
  const std::optional<Payload> stripped = ReadSegment(moved);
  ASSERT_TRUE(stripped.has_value());
  EXPECT_EQ(stripped->damage, nullptr);
  EXPECT_EQ(stripped->length, archive.size());
}

TEST(ReadPayloadSegment, NamesEachDamage) {
  const std::string archive = SomeBytes(3000, 7);
  const std::string good = archive + TrailerBytes(0x4000, archive.size());
  std::string checksum = good;
  checksum[good.size() - 1] ^= 0x01;  // the trailer's checksum, one bit off
  std::string length = good;
  length[good.size() - kPayloadTrailerSize + 16] ^= 0x01;  // the archive length, checksum stale
  std::string version = good;
  version[good.size() - kPayloadTrailerSize + 24] = 2;  // an unknown version ...
  const auto versionTrailer = reinterpret_cast<unsigned char*>(&version[good.size() - 32]);
  const std::uint32_t sum = bytes::Fnv1a32(versionTrailer, 28);
  bytes::StoreLe32(versionTrailer + 28, sum);  // ... under a matching checksum
  std::string openSlotGrown = OpenSlot() + std::string(32, '\0');
  const struct {
    const char* what;
    std::string segment;
    const char* says;
  } cases[] = {
      {"a segment shorter than a trailer", good.substr(good.size() - 31), "too short"},
      {"an open slot grown by a file cut within its last page", openSlotGrown, "record is missing"},
      {"zero bytes in place of the trailer", archive + std::string(32, '\0'), "record is missing"},
      {"a wrong checksum", checksum, "wrong checksum"},
      {"a changed length", length, "wrong checksum"},
      {"an unknown version", version, "unknown version"},
      {"a segment with bytes in front", "x" + good, "does not fit"},
      {"a segment shorter than the archive", good.substr(1), "does not fit"},
  };
  for (const auto& c : cases) {
    const std::optional<Payload> payload = ReadSegment(c.segment);
    ASSERT_TRUE(payload.has_value()) << c.what;
    ASSERT_NE(payload->damage, nullptr) << c.what;
    EXPECT_EQ(payload->bytes, nullptr) << c.what;
    EXPECT_NE(std::string(payload->damage).find(c.says), std::string::npos)
        << c.what << ": " << payload->damage;
  }
}

TEST(ReadPayloadSegment, SaysSoWhenTheFileEndsBeforeTheSegment) {
  TempFolder folder("payload-segment-");
  const long page = sysconf(_SC_PAGESIZE);
  ASSERT_GT(page, 0);
  const std::string archive = SomeBytes(3 * static_cast<std::size_t>(page), 8);
  const std::string whole = archive + TrailerBytes(0, archive.size());
  // The file lost its last page and more, as a download interrupted.
  const std::string path = (folder / "cut").string();
  ASSERT_TRUE(WriteFileBytes(path, whole.substr(0, whole.size() - page - 100)));
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* mapped = mmap(nullptr, whole.size(), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  ASSERT_NE(mapped, MAP_FAILED);
  const std::optional<Payload> payload =
      ReadPayloadSegment(static_cast<const unsigned char*>(mapped), whole.size());
  munmap(mapped, whole.size());
  ASSERT_TRUE(payload.has_value());
  ASSERT_NE(payload->damage, nullptr);
  EXPECT_NE(std::string(payload->damage).find("cut short"), std::string::npos) << payload->damage;
}

// The test binary reserves an open payload slot, as a stub does (see
// tests/CMakeLists.txt): the lookup finds the slot's segment among the
// program headers and no archive in it, not a damaged one.
TEST(FindPayload, FindsTheOpenSlotOfTheImageEmpty) {
  ASSERT_NE(starter_payload_slot, nullptr);
  EXPECT_FALSE(FindPayload().has_value());
}

}  // namespace
