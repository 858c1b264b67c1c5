#include "starter/run_sequence.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "bytes/bytes.h"
#include "destination/destination.h"
#include "testing/zip_builder.h"

namespace {

using testing_support::ZipBuilder;

ArchiveIdentity Identify(const std::string& archive) {
  return IdentifyArchive(reinterpret_cast<const unsigned char*>(archive.data()), archive.size());
}

std::string TwoFiles(const std::string& second) {
  ZipBuilder builder;
  builder.AddStored("app/readme.txt", "hello");
  builder.AddStored("app/data.bin", second);
  return builder.Build();
}

TEST(IdentifyArchive, TheSameBytesGiveTheSameIdentity) {
  const std::string archive = TwoFiles("abcd");
  EXPECT_EQ(Identify(archive), Identify(std::string(archive)));
  EXPECT_EQ(Identify(archive).length, archive.size());
}

TEST(IdentifyArchive, AnArchiveOfTheSameLengthWithOtherContentDiffers) {
  // Same names and sizes, so the same length: only the entries' CRC-32 in
  // the central directory tells them apart.
  const std::string first = TwoFiles("abcd");
  const std::string second = TwoFiles("abce");
  ASSERT_EQ(first.size(), second.size());
  EXPECT_NE(Identify(first).directoryCrc32, Identify(second).directoryCrc32);
  EXPECT_FALSE(Identify(first) == Identify(second));
}

TEST(IdentifyArchive, TheCrcIsThatOfTheCentralDirectoryBytes) {
  const std::string archive = TwoFiles("abcd");
  // The end record (22 bytes, no comment) holds the directory's size at 12
  // and its offset at 16.
  const auto* bytes = reinterpret_cast<const unsigned char*>(archive.data());
  const unsigned char* end = bytes + archive.size() - 22;
  const std::uint32_t expected = static_cast<std::uint32_t>(
      crc32(0L, bytes + bytes::LoadLe32(end + 16), bytes::LoadLe32(end + 12)));
  EXPECT_EQ(Identify(archive).directoryCrc32, expected);
}

TEST(IdentifyArchive, BytesThatAreNoArchiveGetTheirLengthAlone) {
  const std::string text = "This is no archive, just text.";
  const ArchiveIdentity identity = Identify(text);
  EXPECT_EQ(identity.length, text.size());
  EXPECT_EQ(identity.directoryCrc32, 0u);
}

}  // namespace
