#include "pack/stub_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pack/pe_test_support.h"
#include "pack/stub_test_support.h"
#include "payload/payload_trailer.h"
#include "testing/temp_folder.h"
#include "zip/zip_format.h"

namespace {

using stub_test::Get;
using testing_support::ReadFileBytes;
using testing_support::TempFolder;

constexpr std::size_t kFilled = 16;
constexpr std::size_t kNameLength = 20;
constexpr std::size_t kExeLength = 22;
constexpr std::size_t kName = 24;
constexpr std::size_t kExe = 152;

// Bytes that open as an archive's end record does; what follows is no archive.
std::string EndRecordLead(const std::string& rest) {
  std::string bytes;
  zip::AppendLe32(bytes, zip::kEndRecordSignature);
  return bytes + rest;
}

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

pack::StarterIdentity Identity(const std::string& name, const std::string& exe) {
  pack::StarterIdentity identity;
  identity.appName = name;
  identity.executablePath = exe;
  return identity;
}

const pack::StarterIdentity kDefaultIdentity =
    Identity("quillorbite", "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe");

std::string Joined(const pack::StarterParts& parts) {
  return std::string(parts.front.begin(), parts.front.end()) +
         std::string(reinterpret_cast<const char*>(parts.archive), parts.archiveSize) +
         std::string(parts.back.begin(), parts.back.end());
}

// The identity block of a starter's bytes, found by its marker.
std::string BlockOf(const std::string& starter) {
  const std::size_t at = starter.find(stub_test::Marker());
  return at == std::string::npos ? std::string() : starter.substr(at, 672);
}

// A Windows stub: the identity block in `.rdata` (or wherever `blockSection`
// says), the manifest as the one resource.
std::string WindowsStub(const std::string& block = stub_test::IdentityBlock(),
                        std::size_t blockSection = 2) {
  pe_test::Image image;
  image.sections = {{".text", pe_test::kCode, std::string(500, '\xC3')},
                    {".data", pe_test::kWritableData, "writable"},
                    {".rdata", pe_test::kReadOnlyData, "constants"},
                    {".rsrc", pe_test::kReadOnlyData, ""},
                    {".reloc", 0x42000040, "relocations"}};
  image.sections[blockSection].data += block;
  image.resources = {{24, 1, 2057, "<assembly/>"}};
  return pe_test::Build(image);
}

// A POSIX stub: the identity block in a read-only segment (or a writable one).
std::string PosixStub(const std::string& block = stub_test::IdentityBlock(),
                      bool writable = false) {
  return stub_test::PosixStub("code and constants " + block, writable);
}

bool Build(const std::string& stub, const std::string& archive,
           const pack::StarterIdentity& identity, pack::StarterParts& parts, std::string& error) {
  return pack::BuildStarterParts(Bytes(stub), stub.size(), Bytes(archive), archive.size(), identity,
                                 parts, error);
}

// The reason BuildStarterParts gives for refusing `stub`, or "" when it
// accepts it.
std::string Refusal(const std::string& stub) {
  pack::StarterParts parts;
  std::string error;
  return Build(stub, "PK archive", kDefaultIdentity, parts, error) ? std::string() : error;
}

TEST(StubKindOf, TellsWindowsFromPosixStubsByTheirFirstBytes) {
  const auto kindOf = [](const std::string& bytes, pack::StubKind& kind) {
    return pack::StubKindOf(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            kind);
  };
  pack::StubKind kind = pack::StubKind::kPosix;
  EXPECT_TRUE(kindOf("MZ", kind));
  EXPECT_EQ(kind, pack::StubKind::kWindows);
  EXPECT_TRUE(
      kindOf("\x7F"
             "ELF rest",
             kind));
  EXPECT_EQ(kind, pack::StubKind::kPosix);
  EXPECT_FALSE(kindOf("M", kind));
  EXPECT_FALSE(
      kindOf("\x7F"
             "EL",
             kind));
  EXPECT_FALSE(kindOf("PK\x03\x04", kind));
}

TEST(FindIdentityBlock, FindsTheOneMarker) {
  const std::string bytes = "front matter" + stub_test::IdentityBlock() + "back matter";
  std::uint64_t offset = 0;
  std::string error;
  ASSERT_TRUE(pack::FindIdentityBlock(Bytes(bytes), bytes.size(), offset, error)) << error;
  EXPECT_EQ(offset, 12u);
}

TEST(FindIdentityBlock, RefusesNoMarkerTwoMarkersAndACutBlock) {
  std::uint64_t offset = 0;
  std::string error;
  const std::string none = std::string(2000, '\x89') + stub_test::Marker().substr(0, 15);
  EXPECT_FALSE(pack::FindIdentityBlock(Bytes(none), none.size(), offset, error));
  EXPECT_NE(error.find("no identity block"), std::string::npos) << error;
  const std::string two = stub_test::IdentityBlock() + stub_test::IdentityBlock();
  EXPECT_FALSE(pack::FindIdentityBlock(Bytes(two), two.size(), offset, error));
  EXPECT_NE(error.find("2 times"), std::string::npos) << error;
  const std::string cut = stub_test::IdentityBlock().substr(0, 671);
  EXPECT_FALSE(pack::FindIdentityBlock(Bytes(cut), cut.size(), offset, error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
}

TEST(FillIdentityBlock, WritesTheTextsInUtf16AndMarksTheBlockFilled) {
  std::string block = stub_test::IdentityBlock();
  std::string error;
  ASSERT_TRUE(pack::FillIdentityBlock(reinterpret_cast<unsigned char*>(&block[0]),
                                      Identity("Grüße-\xF0\x9F\x98\x80", "Other App/bin/run"),
                                      error))
      << error;
  EXPECT_EQ(block.substr(0, 16), stub_test::Marker());
  EXPECT_EQ(Get(block, kFilled, 4), 1u);
  ASSERT_EQ(Get(block, kNameLength, 2), 8u);
  EXPECT_EQ(stub_test::BlockText(block, kName, 8), u"Grüße-\U0001F600");
  ASSERT_EQ(Get(block, kExeLength, 2), 18u);
  EXPECT_EQ(stub_test::BlockText(block, kExe, 18), u"\\Other App\\bin\\run");
  // What was left of the longer defaults is cleared.
  EXPECT_EQ(stub_test::BlockText(block, kName + 16, 56), std::u16string(56, u'\0'));
  EXPECT_EQ(stub_test::BlockText(block, kExe + 36, 242), std::u16string(242, u'\0'));
}

TEST(FillIdentityBlock, RefusesAFilledOrDamagedBlockAndChangesNothing) {
  for (const std::uint32_t state : {1u, 7u}) {
    std::string block = stub_test::IdentityBlock(state);
    const std::string before = block;
    std::string error;
    EXPECT_FALSE(pack::FillIdentityBlock(reinterpret_cast<unsigned char*>(&block[0]),
                                         kDefaultIdentity, error));
    EXPECT_EQ(block, before);
    EXPECT_NE(error.find(state == 1 ? "already filled" : "damaged"), std::string::npos) << error;
  }
  std::string block = stub_test::IdentityBlock();
  const std::string before = block;
  std::string error;
  EXPECT_FALSE(pack::FillIdentityBlock(reinterpret_cast<unsigned char*>(&block[0]),
                                       Identity("a/b", "x.exe"), error));
  EXPECT_EQ(block, before);
}

TEST(BuildStarterParts, MakesAWindowsStarterWithTheArchiveAsResource101) {
  const std::string stub = WindowsStub();
  const std::string archive = EndRecordLead(" an archive, byte for byte");
  pack::StarterParts parts;
  std::string error;
  ASSERT_TRUE(Build(stub, archive, Identity("renamed", "bin/app.exe"), parts, error)) << error;
  EXPECT_EQ(parts.kind, pack::StubKind::kWindows);
  EXPECT_EQ(parts.archive, Bytes(archive));
  const std::string starter = Joined(parts);
  std::uint32_t language = 0;
  EXPECT_EQ(pe_test::FindResource(starter, 10, 101, &language), archive);
  EXPECT_EQ(language, 2057u);
  EXPECT_EQ(pe_test::FindResource(starter, 24, 1), "<assembly/>");
  EXPECT_EQ(pe_test::Optional32(starter, 64), pe_test::ReferenceChecksum(starter));

  const std::string block = BlockOf(starter);
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(Get(block, kFilled, 4), 1u);
  EXPECT_EQ(stub_test::BlockText(block, kName, Get(block, kNameLength, 2)), u"renamed");
  EXPECT_EQ(stub_test::BlockText(block, kExe, Get(block, kExeLength, 2)), u"\\bin\\app.exe");
  // The block was filled in place: it is where the stub had it.
  EXPECT_EQ(starter.find(stub_test::Marker()), stub.find(stub_test::Marker()));
}

TEST(BuildStarterParts, MakesAPosixStarterWithTheArchiveInItsSlotSegment) {
  const std::string stub = PosixStub();
  const std::string archive = EndRecordLead(" appended");
  pack::StarterParts parts;
  std::string error;
  ASSERT_TRUE(Build(stub, archive, kDefaultIdentity, parts, error)) << error;
  EXPECT_EQ(parts.kind, pack::StubKind::kPosix);
  const std::string starter = Joined(parts);
  // The slot is the third program header; its address is 0x3000.
  const std::size_t slotHeader = 64 + 2 * 56;
  const std::uint64_t slotAddress = Get(stub, slotHeader + 16, 8);
  const std::optional<PayloadTrailer> trailer =
      ParsePayloadTrailer(Bytes(starter) + starter.size() - kPayloadTrailerSize, starter.size());
  ASSERT_TRUE(trailer.has_value());
  const std::uint64_t at = trailer->archiveOffset;
  // The archive starts at the first offset after the stub's bytes that the
  // slot's address allows, zero bytes between.
  EXPECT_GE(at, stub.size());
  EXPECT_LT(at, stub.size() + 0x1000);
  EXPECT_EQ(at % 0x1000, slotAddress % 0x1000);
  EXPECT_EQ(starter.find_first_not_of('\0', stub.size()), at);
  EXPECT_EQ(trailer->archiveLength, archive.size());
  ASSERT_EQ(starter.size(), at + archive.size() + kPayloadTrailerSize);
  EXPECT_EQ(starter.compare(at, archive.size(), archive), 0);
  // The slot's program header maps the archive and the trailer at its address.
  EXPECT_EQ(Get(starter, slotHeader + 0, 4), 1u);  // PT_LOAD
  EXPECT_EQ(Get(starter, slotHeader + 4, 4), 4u);  // read-only
  EXPECT_EQ(Get(starter, slotHeader + 8, 8), at);  // p_offset
  EXPECT_EQ(Get(starter, slotHeader + 16, 8), slotAddress);
  EXPECT_EQ(Get(starter, slotHeader + 32, 8), archive.size() + kPayloadTrailerSize);
  EXPECT_EQ(Get(starter, slotHeader + 40, 8), archive.size() + kPayloadTrailerSize);
  EXPECT_EQ(Get(BlockOf(starter), kFilled, 4), 1u);
  // Only the block's fields and the slot's sizes and offset changed.
  const std::size_t block = stub.find(stub_test::Marker());
  EXPECT_EQ(starter.compare(0, slotHeader + 8, stub, 0, slotHeader + 8), 0);
  EXPECT_EQ(starter.compare(slotHeader + 48, block + kFilled - slotHeader - 48, stub,
                            slotHeader + 48, block + kFilled - slotHeader - 48),
            0);
  EXPECT_EQ(starter.compare(block + 672, stub.size() - block - 672, stub, block + 672,
                            stub.size() - block - 672),
            0);
}

TEST(BuildStarterParts, RefusesAPosixStubWithoutAnOpenSlot) {
  const std::string front = "code and constants " + stub_test::IdentityBlock();
  const std::string noSlot = stub_test::Elf({{front, false}, {"data", true}});
  EXPECT_NE(Refusal(noSlot).find("no payload slot"), std::string::npos) << Refusal(noSlot);
  // A slot that is writable, or lies below another segment, cannot take the
  // archive: the archive would be writable, or overlap that segment.
  const std::string writableSlot =
      stub_test::Elf({{front, false}, {"data", true}, {stub_test::OpenSlot(), true}});
  EXPECT_NE(Refusal(writableSlot).find("writable"), std::string::npos);
  const std::string lowSlot =
      stub_test::Elf({{front, false}, stub_test::SlotSegment(), {"d", true}});
  EXPECT_NE(Refusal(lowSlot).find("not above"), std::string::npos);
}

TEST(BuildStarterParts, RefusesStubsThatAreNotOurs) {
  EXPECT_NE(Refusal("#!/bin/sh\necho not a stub\n").find("neither"), std::string::npos);
  EXPECT_NE(Refusal(WindowsStub("")).find("no identity block"), std::string::npos);
  EXPECT_NE(Refusal(PosixStub("")).find("no identity block"), std::string::npos);
  EXPECT_NE(
      Refusal(WindowsStub(stub_test::IdentityBlock() + stub_test::IdentityBlock())).find("2 times"),
      std::string::npos);
  EXPECT_NE(Refusal(WindowsStub(stub_test::IdentityBlock(1))).find("already filled"),
            std::string::npos);
  EXPECT_NE(Refusal(PosixStub(stub_test::IdentityBlock(1))).find("already filled"),
            std::string::npos);
  EXPECT_NE(Refusal(WindowsStub(stub_test::IdentityBlock(), 1)).find("read-only"),
            std::string::npos);
  EXPECT_NE(Refusal(PosixStub(stub_test::IdentityBlock(), true)).find("read-only"),
            std::string::npos);
  std::string i386 = WindowsStub();
  pe_test::Put16(i386, pe_test::kPeOffset + 4, 0x014C);
  EXPECT_NE(Refusal(i386).find("x86-64"), std::string::npos);
}

TEST(BuildStarterParts, RefusesASignedWindowsStub) {
  pe_test::Image image;
  image.sections = {{".rdata", pe_test::kReadOnlyData, stub_test::IdentityBlock()},
                    {".rsrc", pe_test::kReadOnlyData, ""}};
  image.resources = {{24, 1, 2057, "<assembly/>"}};
  image.overlay = std::string(32, 'C');
  image.securityOffset = 0x1000;
  image.securitySize = 32;
  EXPECT_NE(Refusal(pe_test::Build(image)).find("certificate"), std::string::npos);
}

TEST(BuildStarterParts, RefusesAPosixStubThatAlreadyCarriesAnArchive) {
  const std::string stub = PosixStub();
  const std::string archive = "PK earlier";
  const auto trailer = EncodePayloadTrailer(stub.size(), archive.size());
  const std::string carrying = stub + archive + std::string(trailer.begin(), trailer.end());
  EXPECT_NE(Refusal(carrying).find("already carries"), std::string::npos);
  // A starter this packer made, identity block opened again: its slot is
  // filled, whatever follows the file's end.
  pack::StarterParts parts;
  std::string error;
  const std::string archived = EndRecordLead("");
  ASSERT_TRUE(Build(stub, archived, kDefaultIdentity, parts, error)) << error;
  std::string made = Joined(parts) + "appended by a download tool";
  stub_test::Put(made, made.find(stub_test::Marker()) + kFilled, 0, 4);
  EXPECT_NE(Refusal(made).find("already carries"), std::string::npos) << Refusal(made);
}

TEST(BuildStarterParts, RefusesAnArchiveOfFourGibibytes) {
  const std::string stub = PosixStub();
  const std::string archive = "PK";
  pack::StarterParts parts;
  std::string error;
  // The archive's bytes are not read before its size is refused.
  EXPECT_FALSE(pack::BuildStarterParts(Bytes(stub), stub.size(), Bytes(archive),
                                       std::uint64_t{1} << 32, kDefaultIdentity, parts, error));
  EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
}

TEST(WriteStarter, WritesTheStarterAndLeavesNothingElse) {
  TempFolder folder("stub-writer-");
  const std::string stub = WindowsStub();
  const std::string archive = pe_test::ResourceSection({{1, 2, 3, "some bytes"}}, 0x1000);
  pack::StarterParts parts;
  std::string error;
  ASSERT_TRUE(Build(stub, archive, kDefaultIdentity, parts, error)) << error;
  const std::string path = (folder / "starter.exe").string();
  ASSERT_TRUE(pack::WriteStarter(parts, path, error)) << error;

  EXPECT_EQ(ReadFileBytes(path), Joined(parts));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
