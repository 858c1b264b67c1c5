#include "pack/elf_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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

TEST(ParseElfImage, RefusesSectionHeadersOutsideTheFile) {
  std::string bytes = stub_test::Elf({{"rodata", false}, stub_test::SlotSegment()}, 2, true);
  pack::ElfImage image;
  std::string error;
  ASSERT_TRUE(pack::ParseElfImage(Bytes(bytes), bytes.size(), image, error)) << error;
  EXPECT_EQ(image.sectionCount, 3u);
  stub_test::Put(bytes, 60, 4, 2);  // e_shnum: one more than the file holds
  EXPECT_FALSE(pack::ParseElfImage(Bytes(bytes), bytes.size(), image, error));
  EXPECT_NE(error.find("section headers"), std::string::npos) << error;
}

// The stub image `bytes` with its payload slot pointed at `contentSize`
// bytes; `error` says why not.
bool Fill(std::string& bytes, std::uint64_t contentSize, std::uint64_t& offset,
          std::string& error) {
  pack::ElfImage image;
  if (!pack::ParseElfImage(Bytes(bytes), bytes.size(), image, error)) {
    return false;
  }
  std::vector<unsigned char> image_bytes(bytes.begin(), bytes.end());
  const bool filled = pack::FillPayloadSlot(image_bytes, image, contentSize, offset, error);
  bytes.assign(image_bytes.begin(), image_bytes.end());
  return filled;
}

TEST(FillPayloadSlot, PointsTheSlotAtContentAfterTheImageAtAnOffsetItsAddressAllows) {
  // Addresses 0x700 above the file offsets: the slot is at 0x3700 while the
  // file ends at 0x3020.
  const std::string stub = stub_test::Elf(
      {{"rodata", false}, {"data", true}, stub_test::SlotSegment()}, 2, false, 0x700);
  std::string bytes = stub;
  std::uint64_t offset = 0;
  std::string error;
  ASSERT_TRUE(Fill(bytes, 5000, offset, error)) << error;
  EXPECT_EQ(offset, 0x3700u);
  const std::size_t slot = 64 + 2 * 56;
  EXPECT_EQ(stub_test::Get(bytes, slot + 8, 8), 0x3700u);   // p_offset
  EXPECT_EQ(stub_test::Get(bytes, slot + 16, 8), 0x3700u);  // p_vaddr: unchanged
  EXPECT_EQ(stub_test::Get(bytes, slot + 32, 8), 5000u);    // p_filesz
  EXPECT_EQ(stub_test::Get(bytes, slot + 40, 8), 5000u);    // p_memsz
  // Nothing else changed.
  EXPECT_EQ(bytes.compare(0, slot + 8, stub, 0, slot + 8), 0);
  EXPECT_EQ(bytes.compare(slot + 48, std::string::npos, stub, slot + 48), 0);

  // A file already past the slot's page offset: the next page's.
  std::string later =
      stub_test::Elf({{"rodata", false}, {"data", true}, stub_test::SlotSegment()}, 2, false, 0x10);
  ASSERT_TRUE(Fill(later, 1, offset, error)) << error;
  EXPECT_EQ(offset, 0x4010u);
}

TEST(FillPayloadSlot, MovesTheSlotsSectionAlong) {
  std::string bytes = stub_test::Elf({{"rodata", false}, stub_test::SlotSegment()}, 2, true);
  const std::size_t sections = static_cast<std::size_t>(stub_test::Get(bytes, 40, 8));
  const std::size_t slotSection = sections + 2 * 64;
  std::uint64_t offset = 0;
  std::string error;
  ASSERT_TRUE(Fill(bytes, 777, offset, error)) << error;
  EXPECT_EQ(stub_test::Get(bytes, slotSection + 16, 8), 0x2000u);  // sh_addr: unchanged
  EXPECT_EQ(stub_test::Get(bytes, slotSection + 24, 8), offset);   // sh_offset
  EXPECT_EQ(stub_test::Get(bytes, slotSection + 32, 8), 777u);     // sh_size
  EXPECT_EQ(stub_test::Get(bytes, sections + 64 + 32, 8), 6u);     // the other one: as it was
}

TEST(FillPayloadSlot, RefusesAnImageWithoutAUsableOpenSlot) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* says;
  };
  std::string grown = stub_test::OpenSlot();
  grown += "x";  // one byte more than the open slot
  std::string filled = stub_test::Elf({{"rodata", false}, stub_test::SlotSegment()});
  std::uint64_t ignored = 0;
  std::string error;
  ASSERT_TRUE(Fill(filled, 32, ignored, error)) << error;
  filled.resize(ignored, '\0');
  filled += std::string(32, 'g');
  const Case cases[] = {
      {"no slot", stub_test::Elf({{"rodata", false}, {"data", true}}), "no payload slot"},
      {"a longer segment", stub_test::Elf({{"rodata", false}, {grown, false}}), "no payload slot"},
      {"writable", stub_test::Elf({{"rodata", false}, {stub_test::OpenSlot(), true}}), "writable"},
      {"below data", stub_test::Elf({{"rodata", false}, stub_test::SlotSegment(), {"data", true}}),
       "not above"},
      // Filled with 32 bytes that are no trailer: neither open nor carrying.
      {"filled with nothing", filled, "no payload slot"},
  };
  for (const Case& c : cases) {
    std::string bytes = c.bytes;
    std::uint64_t offset = 0;
    EXPECT_FALSE(Fill(bytes, 100, offset, error)) << c.what;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(bytes, c.bytes) << c.what << ": changed";
  }
}

TEST(FillPayloadSlot, RefusesContentThatWouldPassTheEndOfTheAddressSpace) {
  const std::string stub =
      stub_test::Elf({{"rodata", false}, stub_test::SlotSegment()}, 2, false, 0xFFFFFFFFFFF00000);
  std::string bytes = stub;
  std::uint64_t offset = 0;
  std::string error;
  EXPECT_FALSE(Fill(bytes, std::uint64_t{1} << 32, offset, error));
  EXPECT_NE(error.find("address space"), std::string::npos) << error;
  EXPECT_EQ(bytes, stub);
}

}  // namespace
