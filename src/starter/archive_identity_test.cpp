#include "starter/archive_identity.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(IdentifyArchive, BytesThatAreNoArchiveGetTheirLengthAlone) {
  const std::string text = "This is no archive, just text.";
  const ArchiveIdentity identity = Identify(text);
  EXPECT_EQ(identity.length, text.size());
  EXPECT_EQ(identity.directoryCrc32, 0u);
}

}  // namespace
