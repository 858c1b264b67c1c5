#include "pack/elf_image.h"

#include <gtest/gtest.h>

#include <string>

#include "pack/stub_test_support.h"

namespace {

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

TEST(ParseElfImage, ReadsTheLoadedSegments) {
  const std::string bytes = stub_test::Elf({{std::string(3000, 'r'), false}, {"data", true}});
  pack::ElfImage image;
  std::string error;
  ASSERT_TRUE(pack::ParseElfImage(Bytes(bytes), bytes.size(), image, error)) << error;
  ASSERT_EQ(image.loaded.size(), 2u);
  EXPECT_EQ(image.loaded[0].fileOffset, 0x1000u);
  EXPECT_EQ(image.loaded[0].fileSize, 3000u);
  EXPECT_FALSE(image.loaded[0].writable);
  EXPECT_TRUE(image.loaded[1].writable);
}

TEST(ParseElfImage, RefusesWhatIsNoUsableElfExecutable) {
  const std::string good = stub_test::Elf({{"rodata", false}});
  pack::ElfImage image;
  std::string error;
  const std::string cases[] = {
      good.substr(0, 63),                      // header cut short
      good.substr(0, 64 + 30),                 // program header cut short
      good.substr(0, 0x1000 + 3),              // segment data cut short
      stub_test::Elf({{"rodata", false}}, 1),  // 32-bit
      "MZ" + good.substr(2),                   // not ELF at all
  };
  for (const std::string& bytes : cases) {
    EXPECT_FALSE(pack::ParseElfImage(Bytes(bytes), bytes.size(), image, error))
        << bytes.size() << " bytes";
    EXPECT_FALSE(error.empty());
  }
  std::string object = good;
  stub_test::Put(object, 16, 1, 2);  // e_type: ET_REL, an object file
  EXPECT_FALSE(pack::ParseElfImage(Bytes(object), object.size(), image, error));
  std::string odd = good;
  stub_test::Put(odd, 54, 64, 2);  // program headers of a size no ELF64 file has
  EXPECT_FALSE(pack::ParseElfImage(Bytes(odd), odd.size(), image, error));
}

TEST(IsInReadOnlySegment, TellsReadOnlyBytesFromWritableOnesAndUnloadedOnes) {
  const std::string bytes = stub_test::Elf({{std::string(3000, 'r'), false}, {"data", true}});
  pack::ElfImage image;
  std::string error;
  ASSERT_TRUE(pack::ParseElfImage(Bytes(bytes), bytes.size(), image, error)) << error;
  EXPECT_TRUE(pack::IsInReadOnlySegment(image, 0x1000, 3000));
  EXPECT_FALSE(pack::IsInReadOnlySegment(image, 0x1000 + 2999, 2));  // runs past its end
  EXPECT_FALSE(pack::IsInReadOnlySegment(image, 0x2000, 4));         // writable
  EXPECT_FALSE(pack::IsInReadOnlySegment(image, 10, 4));             // not loaded
}

}  // namespace
