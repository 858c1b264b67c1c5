#include "pack/pe_image.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "pack/pe_test_support.h"

namespace {

using pe_test::Build;
using pe_test::FindResource;
using pe_test::Image;
using pe_test::Optional32;
using pe_test::Sections;

constexpr std::uint32_t kTypeRcData = 10;
constexpr std::uint32_t kTypeManifest = 24;

const std::string kManifest = "<assembly><requestedExecutionLevel level=\"asInvoker\"/></assembly>";

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// The section layout of a MinGW-built starter: the resources come before
// the base relocations.
Image StubLikeImage() {
  Image image;
  image.sections = {{".text", pe_test::kCode, std::string(700, '\xC3')},
                    {".data", pe_test::kWritableData, "writable"},
                    {".rdata", pe_test::kReadOnlyData, std::string(300, 'r')},
                    {".rsrc", pe_test::kReadOnlyData, ""},
                    {".reloc", 0x42000040, "relocations"}};
  image.resources = {{kTypeManifest, 1, 2057, kManifest}};
  return image;
}

// The same with the resources last.
Image ResourcesLastImage() {
  Image image = StubLikeImage();
  image.sections.erase(image.sections.begin() + 4);
  return image;
}

bool Parse(const std::string& bytes, pack::PeImage& image, std::string& error) {
  return pack::ParsePeImage(Bytes(bytes), bytes.size(), image, error);
}

pack::PeResource ArchiveResource(const std::string& archive) {
  pack::PeResource resource;
  resource.type = kTypeRcData;
  resource.name = 101;
  resource.language = 2057;
  resource.data = Bytes(archive);
  resource.size = archive.size();
  return resource;
}

// Adds `archive` to `stub` and returns the new image's bytes.
std::string AddArchive(const std::string& stub, const std::string& archive) {
  pack::PeImage image;
  std::string error;
  EXPECT_TRUE(Parse(stub, image, error)) << error;
  std::vector<unsigned char> front;
  std::vector<unsigned char> back;
  EXPECT_TRUE(pack::AddPeResource(image, ArchiveResource(archive), front, back, error)) << error;
  return std::string(front.begin(), front.end()) + archive + std::string(back.begin(), back.end());
}

// Whether adding `archive` to `image` is refused; `error` says why.
bool Refused(const pack::PeImage& image, const std::string& archive, std::string& error) {
  std::vector<unsigned char> front;
  std::vector<unsigned char> back;
  return !pack::AddPeResource(image, ArchiveResource(archive), front, back, error);
}

std::string SomeArchive(std::size_t size) {
  std::mt19937 engine(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(engine());
  }
  return bytes;
}

// What the loader relies on: sections in address order without gaps beyond
// the alignment, raw data aligned and inside the file, the image size
// covering the last section.
void ExpectWellFormedLayout(const std::string& bytes) {
  const std::vector<pe_test::ReadSection> sections = Sections(bytes);
  const std::uint32_t fileAlignment = Optional32(bytes, 36);
  const std::uint32_t sectionAlignment = Optional32(bytes, 32);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const pe_test::ReadSection& s = sections[i];
    EXPECT_EQ(s.virtualAddress % sectionAlignment, 0u) << s.name;
    EXPECT_EQ(s.rawOffset % fileAlignment, 0u) << s.name;
    EXPECT_EQ(s.rawSize % fileAlignment, 0u) << s.name;
    EXPECT_LE(std::uint64_t{s.rawOffset} + s.rawSize, bytes.size()) << s.name;
    if (i > 0) {
      const pe_test::ReadSection& p = sections[i - 1];
      EXPECT_EQ(s.virtualAddress,
                pe_test::AlignUp(p.virtualAddress + p.virtualSize, sectionAlignment))
          << s.name;
    }
  }
  const pe_test::ReadSection& last = sections.back();
  EXPECT_EQ(Optional32(bytes, 56),
            pe_test::AlignUp(last.virtualAddress + last.virtualSize, sectionAlignment));
}

TEST(ParsePeImage, ReadsTheSectionsAndTheResources) {
  const std::string bytes = Build(StubLikeImage());
  pack::PeImage image;
  std::string error;
  ASSERT_TRUE(Parse(bytes, image, error)) << error;
  ASSERT_EQ(image.sections.size(), 5u);
  EXPECT_EQ(image.sections[2].name, ".rdata");
  EXPECT_EQ(image.resourceSection, 3);
  EXPECT_EQ(image.fileAlignment, 0x200u);
  ASSERT_EQ(image.resources.size(), 1u);
  EXPECT_EQ(image.resources[0].type, kTypeManifest);
  EXPECT_EQ(image.resources[0].name, 1u);
  EXPECT_EQ(image.resources[0].language, 2057u);
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(image.resources[0].data), image.resources[0].size),
      kManifest);
}

TEST(ParsePeImage, RefusesTruncatedHeadersAndSections) {
  const std::string bytes = Build(StubLikeImage());
  const std::size_t cuts[] = {
      0,
      1,
      63,                                    // inside the MS-DOS header
      pe_test::kPeOffset + 2,                // inside the signature
      pe_test::kPeOffset + 10,               // inside the COFF header
      pe_test::kOptionalOffset + 1,          // inside the magic
      pe_test::kOptionalOffset + 100,        // before the data directories
      pe_test::kSectionTableOffset + 20,     // inside the section table
      Sections(bytes).back().rawOffset + 4,  // inside the last section's data
      bytes.size() - 1,                      // one byte short
  };
  for (const std::size_t cut : cuts) {
    pack::PeImage image;
    std::string error;
    EXPECT_FALSE(Parse(bytes.substr(0, cut), image, error)) << "cut at " << cut;
    EXPECT_FALSE(error.empty());
  }
}

TEST(ParsePeImage, RefusesOtherMachinesAnd32BitImages) {
  Image image = StubLikeImage();
  image.machine = 0x014C;  // i386
  pack::PeImage parsed;
  std::string error;
  EXPECT_FALSE(Parse(Build(image), parsed, error));
  EXPECT_NE(error.find("x86-64"), std::string::npos) << error;

  image = StubLikeImage();
  image.magic = 0x10B;  // PE32
  EXPECT_FALSE(Parse(Build(image), parsed, error));
  EXPECT_NE(error.find("PE32+"), std::string::npos) << error;

  std::string bytes = Build(StubLikeImage());
  bytes[pe_test::kPeOffset + 1] = 'X';  // "PX\0\0"
  EXPECT_FALSE(Parse(bytes, parsed, error));
  bytes = Build(StubLikeImage());
  bytes[0] = 'Z';
  EXPECT_FALSE(Parse(bytes, parsed, error));
}

TEST(ParsePeImage, RefusesASignedImage) {
  Image image = StubLikeImage();
  image.overlay = std::string(64, 'S');  // where a certificate would lie
  image.securityOffset = 0x2000;
  image.securitySize = 64;
  pack::PeImage parsed;
  std::string error;
  EXPECT_FALSE(Parse(Build(image), parsed, error));
  EXPECT_NE(error.find("certificate"), std::string::npos) << error;
}

TEST(ParsePeImage, RefusesAResourceTreeThatLeavesItsSection) {
  const Image image = StubLikeImage();
  std::string bytes = Build(image);
  const pe_test::ReadSection rsrc = Sections(bytes)[3];
  pack::PeImage parsed;
  std::string error;
  ASSERT_TRUE(Parse(bytes, parsed, error)) << error;

  // The root's one entry pointing to a type directory past the section.
  std::string damaged = bytes;
  pe_test::Put32(damaged, rsrc.rawOffset + 20, 0x80000000u | 0x7000);
  EXPECT_FALSE(Parse(damaged, parsed, error));

  // The root claiming more entries than the section holds.
  damaged = bytes;
  pe_test::Put16(damaged, rsrc.rawOffset + 14, 0xFFFF);
  EXPECT_FALSE(Parse(damaged, parsed, error));

  // The data entry's address outside every section.
  damaged = bytes;
  const std::uint32_t dataEntry = rsrc.rawOffset + 16 + 8 + 16 + 8 + 16 + 8;
  pe_test::Put32(damaged, dataEntry, 0x00900000);
  EXPECT_FALSE(Parse(damaged, parsed, error));

  // A named entry instead of an id.
  damaged = bytes;
  pe_test::Put16(damaged, rsrc.rawOffset + 12, 1);
  pe_test::Put16(damaged, rsrc.rawOffset + 14, 0);
  EXPECT_FALSE(Parse(damaged, parsed, error));
  EXPECT_NE(error.find("names"), std::string::npos) << error;
}

TEST(ParsePeImage, RefusesSectionDataInsideTheHeaders) {
  Image image;
  image.sections = {{".text", pe_test::kCode, std::string(700, '\xC3')},
                    {".rsrc", pe_test::kReadOnlyData, ""}};
  std::string bytes = Build(image);
  const pe_test::ReadSection rsrc = Sections(bytes)[1];
  // The resource section's data said to be the whole file from its first
  // byte, where the MS-DOS header reads as an empty resource directory; the
  // headers that adding a resource rewrites would lie inside the section
  // that it replaces.
  const std::uint32_t header = pe_test::kSectionTableOffset + 40;
  pe_test::Put32(bytes, header + 8, static_cast<std::uint32_t>(bytes.size()));   // VirtualSize
  pe_test::Put32(bytes, header + 16, static_cast<std::uint32_t>(bytes.size()));  // SizeOfRawData
  pe_test::Put32(bytes, header + 20, 0);                                         // PointerToRawData
  pe_test::Put32(bytes, pe_test::kOptionalOffset + 112 + 8 * 2, rsrc.virtualAddress);
  pe_test::Put32(bytes, pe_test::kOptionalOffset + 116 + 8 * 2, 16);
  pack::PeImage parsed;
  std::string error;
  EXPECT_FALSE(Parse(bytes, parsed, error));
  EXPECT_NE(error.find("the data of section .rsrc overlaps the headers"), std::string::npos)
      << error;
}

// Under a megabyte of section describing 3.6e9 directories: 60,000 types
// that all name one directory of 60,000 names, which all name one empty
// language directory.
std::string SharedDirectoriesTree(std::uint32_t fanOut) {
  const std::uint32_t nameDirectory = 16 + 8 * fanOut;
  const std::uint32_t languageDirectory = nameDirectory + 16 + 8 * fanOut;
  std::string tree(languageDirectory + 16, '\0');
  pe_test::Put16(tree, 14, fanOut);                  // root: number of id entries
  pe_test::Put16(tree, nameDirectory + 14, fanOut);  // the name directory: number of id entries
  for (std::uint32_t i = 0; i < fanOut; ++i) {
    pe_test::Put32(tree, 16 + 8 * i, i + 1);                                            // type id
    pe_test::Put32(tree, 20 + 8 * i, nameDirectory | 0x80000000u);                      // -> names
    pe_test::Put32(tree, nameDirectory + 16 + 8 * i, i + 1);                            // name id
    pe_test::Put32(tree, nameDirectory + 20 + 8 * i, languageDirectory | 0x80000000u);  // -> none
  }
  // The language directory: no entries at all (all zero).
  return tree;
}

// An image whose resource directory is the section ".tree" holding `tree`.
std::string ImageWithResourceTree(const std::string& tree) {
  Image image;
  image.sections = {{".text", pe_test::kCode, std::string(700, '\xC3')},
                    {".tree", pe_test::kReadOnlyData, tree}};
  std::string bytes = Build(image);
  const pe_test::ReadSection section = Sections(bytes)[1];
  pe_test::Put32(bytes, pe_test::kOptionalOffset + 112 + 8 * 2, section.virtualAddress);
  pe_test::Put32(bytes, pe_test::kOptionalOffset + 116 + 8 * 2, section.virtualSize);
  return bytes;
}

TEST(ParsePeImage, RefusesAResourceTreeThatNamesItsDirectoriesOverAndOver) {
  pack::PeImage parsed;
  std::string error;
  // A few types sharing a name directory are read in a blink: accepted.
  ASSERT_TRUE(Parse(ImageWithResourceTree(SharedDirectoriesTree(3)), parsed, error)) << error;
  EXPECT_TRUE(parsed.resources.empty());
  // Walking the tree above in full would visit 3.6e9 directories; the walk
  // stops once it has read as many bytes as the section holds.
  EXPECT_FALSE(Parse(ImageWithResourceTree(SharedDirectoriesTree(60000)), parsed, error));
  EXPECT_NE(error.find("refers to the same directories over and over"), std::string::npos) << error;
}

TEST(IsInReadOnlySection, TellsReadOnlyDataFromWritableDataAndCode) {
  const std::string bytes = Build(StubLikeImage());
  pack::PeImage image;
  std::string error;
  ASSERT_TRUE(Parse(bytes, image, error)) << error;
  const std::vector<pe_test::ReadSection> sections = Sections(bytes);
  EXPECT_TRUE(pack::IsInReadOnlySection(image, sections[2].rawOffset + 10, 200));
  EXPECT_FALSE(pack::IsInReadOnlySection(image, sections[1].rawOffset, 4));  // .data
  EXPECT_FALSE(pack::IsInReadOnlySection(image, sections[0].rawOffset, 4));  // .text
  // Past the virtual size: padding that is not loaded.
  EXPECT_FALSE(pack::IsInReadOnlySection(image, sections[2].rawOffset + 290, 20));
  EXPECT_FALSE(pack::IsInReadOnlySection(image, 0, 16));  // the headers
}

TEST(AddPeResource, AppendsASectionAfterTheRelocationsAndLeavesTheOldOneUnreferenced) {
  const std::string stub = Build(StubLikeImage());
  const std::string archive = SomeArchive(100003);
  const std::string out = AddArchive(stub, archive);

  const std::vector<pe_test::ReadSection> before = Sections(stub);
  const std::vector<pe_test::ReadSection> after = Sections(out);
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_EQ(after[3].name, ".oldrsrc");
  EXPECT_EQ(after[4].name, ".reloc");
  const pe_test::ReadSection& added = after.back();
  EXPECT_EQ(added.name, ".rsrc");
  EXPECT_EQ(added.characteristics, 0x40000040u);
  EXPECT_EQ(added.rawOffset, pe_test::AlignUp(static_cast<std::uint32_t>(stub.size()), 0x200));
  EXPECT_EQ(out.size(), std::size_t{added.rawOffset} + added.rawSize);
  // The stub's bytes are all still there, the headers aside.
  EXPECT_EQ(out.compare(0x400, stub.size() - 0x400, stub, 0x400, stub.size() - 0x400), 0);
  ExpectWellFormedLayout(out);

  // The resource directory is the new section and nothing else.
  EXPECT_EQ(Optional32(out, 112 + 16), added.virtualAddress);
  EXPECT_EQ(Optional32(out, 116 + 16), added.virtualSize);
  std::uint32_t language = 0;
  EXPECT_EQ(FindResource(out, 10, 101, &language), archive);
  EXPECT_EQ(language, 2057u);
  EXPECT_EQ(FindResource(out, 24, 1, &language), kManifest);
  EXPECT_EQ(language, 2057u);
  EXPECT_FALSE(FindResource(out, 10, 102).has_value());
  // The archive is the section's last bytes before the padding.
  const std::size_t archiveAt = out.find(archive);
  EXPECT_EQ(archiveAt + archive.size(), std::size_t{added.rawOffset} + added.virtualSize);
  EXPECT_EQ(archiveAt % 8, 0u);

  const std::uint32_t initializedBefore = Optional32(stub, 8);
  EXPECT_EQ(Optional32(out, 8), initializedBefore + added.rawSize);
}

TEST(AddPeResource, ReplacesTheResourceSectionWhenItIsLast) {
  const std::string stub = Build(ResourcesLastImage());
  const std::string archive = SomeArchive(5000);
  const std::string out = AddArchive(stub, archive);
  const std::vector<pe_test::ReadSection> before = Sections(stub);
  const std::vector<pe_test::ReadSection> after = Sections(out);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.back().name, ".rsrc");
  EXPECT_EQ(after.back().virtualAddress, before.back().virtualAddress);
  EXPECT_EQ(after.back().rawOffset, before.back().rawOffset);
  EXPECT_EQ(out.size(), std::size_t{after.back().rawOffset} + after.back().rawSize);
  ExpectWellFormedLayout(out);
  EXPECT_EQ(FindResource(out, 10, 101), archive);
  EXPECT_EQ(FindResource(out, 24, 1), kManifest);
  EXPECT_EQ(Optional32(out, 8), Optional32(stub, 8) - before.back().rawSize + after.back().rawSize);
}

TEST(AddPeResource, KeepsBytesAfterTheLastSection) {
  Image image = ResourcesLastImage();
  image.overlay = "a symbol table, say";
  const std::string stub = Build(image);
  const std::string out = AddArchive(stub, SomeArchive(3000));
  EXPECT_EQ(out.compare(stub.size() - image.overlay.size(), image.overlay.size(), image.overlay),
            0);
  EXPECT_GE(Sections(out).back().rawOffset, stub.size());
  ExpectWellFormedLayout(out);
}

TEST(AddPeResource, AddsAResourceSectionToAnImageWithoutResources) {
  Image image = StubLikeImage();
  image.sections.erase(image.sections.begin() + 3);
  image.resources.clear();
  const std::string stub = Build(image);
  const std::string archive = SomeArchive(777);
  const std::string out = AddArchive(stub, archive);
  ASSERT_EQ(Sections(out).size(), 5u);
  EXPECT_EQ(Sections(out).back().name, ".rsrc");
  ExpectWellFormedLayout(out);
  EXPECT_EQ(FindResource(out, 10, 101), archive);
  EXPECT_FALSE(FindResource(out, 24, 1).has_value());
}

TEST(AddPeResource, SortsTheTreeByTypeNameAndLanguage) {
  Image image = StubLikeImage();
  image.resources = {{3, 7, 1033, "icon"}, {16, 1, 0, "version"}, {24, 1, 2057, kManifest}};
  const std::string out = AddArchive(Build(image), "zip");
  EXPECT_EQ(FindResource(out, 3, 7), "icon");
  EXPECT_EQ(FindResource(out, 16, 1), "version");
  EXPECT_EQ(FindResource(out, 24, 1), kManifest);
  EXPECT_EQ(FindResource(out, 10, 101), "zip");
  // The root's ids in ascending order: 3, 10, 16, 24.
  const std::uint32_t root = *pe_test::FileOffset(out, Optional32(out, 112 + 16));
  ASSERT_EQ(pe_test::Get16(out, root + 14), 4u);
  EXPECT_EQ(pe_test::Get32(out, root + 16), 3u);
  EXPECT_EQ(pe_test::Get32(out, root + 24), 10u);
  EXPECT_EQ(pe_test::Get32(out, root + 32), 16u);
  EXPECT_EQ(pe_test::Get32(out, root + 40), 24u);
}

TEST(AddPeResource, RefusesAnImageThatAlreadyCarriesTheResource) {
  Image image = StubLikeImage();
  image.resources.insert(image.resources.begin(), {10, 101, 2057, "an archive"});
  const std::string bytes = Build(image);
  pack::PeImage parsed;
  std::string error;
  ASSERT_TRUE(Parse(bytes, parsed, error)) << error;
  EXPECT_TRUE(Refused(parsed, "another", error));
  EXPECT_NE(error.find("101"), std::string::npos) << error;
}

TEST(AddPeResource, RefusesWhenTheHeadersHaveNoRoomForAnotherSection) {
  const std::string archive = "zip";
  pack::PeImage parsed;
  std::string error;

  // Four sections end the table at 0x1E8: another header would pass the
  // headers' end at 0x200.
  Image full = StubLikeImage();
  full.sections.erase(full.sections.begin() + 2);
  full.headerRoom = 0;
  ASSERT_TRUE(Parse(Build(full), parsed, error)) << error;
  ASSERT_EQ(parsed.sizeOfHeaders, 0x200u);
  EXPECT_TRUE(Refused(parsed, archive, error));
  EXPECT_NE(error.find("room"), std::string::npos) << error;

  // Room enough, but something else lives in the bytes after the table.
  Image taken = StubLikeImage();
  std::string bytes = Build(taken);
  const std::uint32_t tableEnd = pe_test::kSectionTableOffset + 5 * 40;
  for (std::uint32_t at = tableEnd; at < tableEnd + 40; ++at) {
    bytes[at] = 'x';
  }
  ASSERT_TRUE(Parse(bytes, parsed, error)) << error;
  EXPECT_TRUE(Refused(parsed, archive, error));
  EXPECT_NE(error.find("room"), std::string::npos) << error;
}

TEST(AddPeResource, WritesTheChecksumOfTheWholeFile) {
  for (const Image& image : {StubLikeImage(), ResourcesLastImage()}) {
    const std::string out = AddArchive(Build(image), SomeArchive(40001));
    EXPECT_EQ(Optional32(out, 64), pe_test::ReferenceChecksum(out));
    EXPECT_NE(Optional32(out, 64), 0u);
  }
}

TEST(PeChecksum, FoldsCarriesAndAddsTheLength) {
  const unsigned char three[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(pack::PeChecksum({{three, 3}}), 0x0201u + 0x0003u + 3u);

  const unsigned char ones[] = {0xFF, 0xFF, 0xFF, 0xFF};
  // 0xFFFF + 0xFFFF = 0x1FFFE, folded to 0xFFFF, plus the length 4.
  EXPECT_EQ(pack::PeChecksum({{ones, 4}}), 0xFFFFu + 4u);
}

TEST(PeChecksum, GivesTheSameValueForAnySplitIntoPieces) {
  // The checksum field zeroed, as the function expects it and the reference
  // skips it.
  const std::string image = Build(StubLikeImage()) + SomeArchive(10001);
  std::string zeroed = image;
  pe_test::Put32(zeroed, pe_test::kOptionalOffset + 64, 0);
  const std::uint32_t expected = pe_test::ReferenceChecksum(image);
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{3}, std::size_t{4096}, std::size_t{7777}, zeroed.size()}) {
    pack::PePieces pieces;
    for (std::size_t at = 0; at < zeroed.size(); at += piece) {
      pieces.emplace_back(Bytes(zeroed) + at, std::min(piece, zeroed.size() - at));
    }
    EXPECT_EQ(pack::PeChecksum(pieces), expected) << "pieces of " << piece;
  }
}

}  // namespace
