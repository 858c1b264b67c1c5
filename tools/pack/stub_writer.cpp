#include "pack/stub_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "bytes/bytes.h"
#include "pack/elf_image.h"
#include "pack/entry_names.h"
#include "pack/host_io.h"
#include "pack/pe_image.h"
#include "payload/payload.h"
#include "payload/payload_trailer.h"
#include "starter/identity_block.h"
#include "text/entry_name.h"

#ifndef PACK_DEFAULT_APP_NAME
#error "PACK_DEFAULT_APP_NAME comes from the build"
#endif

namespace pack {

const char kDefaultAppName[] = PACK_DEFAULT_APP_NAME;

namespace {

// How every check below refuses: `error` says why.
bool Refuse(std::string& error, std::string why) {
  error = std::move(why);
  return false;
}

// Why `identity` cannot fill a block, or "".
std::string IdentityProblem(const StarterIdentity& identity) {
  if (const std::string problem = CheckAppName(identity.appName); !problem.empty()) {
    return "the application name '" + DisplayName(identity.appName) + "' " + problem;
  }
  if (const std::string problem = CheckExecutablePath(identity.executablePath); !problem.empty()) {
    return "the executable path '" + DisplayName(identity.executablePath) + "' " + problem;
  }
  return std::string();
}

// The identity block's texts are UTF-16 in 16-bit little-endian units.
constexpr std::size_t kTextUnitSize = 2;

// Writes `text` into the field at `at` and its length at `lengthAt`.
void PutText(unsigned char* at, std::size_t capacity, unsigned char* lengthAt,
             const std::u16string& text) {
  bytes::StoreLe16(lengthAt, static_cast<std::uint16_t>(text.size()));
  std::memset(at, 0, kTextUnitSize * capacity);
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes::StoreLe16(at + kTextUnitSize * i, text[i]);
  }
}

// The language the archive resource is stored under: English (United
// Kingdom), as the resource script of a compiled starter declares it.
constexpr std::uint32_t kPayloadLanguage = 2057;

}  // namespace

bool FindIdentityBlock(const unsigned char* bytes, std::uint64_t size, std::uint64_t& offset,
                       std::string& error) {
  const std::string_view text(reinterpret_cast<const char*>(bytes), size);
  const std::string_view marker(reinterpret_cast<const char*>(kIdentityMarker),
                                sizeof kIdentityMarker);
  std::uint64_t found = 0;
  for (std::size_t at = text.find(marker); at != text.npos; at = text.find(marker, at + 1)) {
    offset = found++ == 0 ? at : offset;
  }
  if (found == 0) {
    return Refuse(error, "it has no identity block");
  }
  if (found > 1) {
    return Refuse(error, "its identity marker occurs " + std::to_string(found) + " times");
  }
  if (size - offset < kIdentityBlockSize) {
    return Refuse(error, "its identity block is cut short");
  }
  return true;
}

bool FillIdentityBlock(unsigned char* block, const StarterIdentity& identity, std::string& error) {
  const std::uint32_t filled = bytes::LoadLe32(block + kIdentityFilledOffset);
  if (filled == kIdentityFilled) {
    return Refuse(error,
                  "its identity block is already filled: it is a complete starter, not a stub");
  }
  if (filled != kIdentityOpen) {
    return Refuse(error, "its identity block is damaged");
  }
  error = IdentityProblem(identity);
  if (!error.empty()) {
    return false;
  }
  std::u16string exePath = u"\\" + Utf8ToUtf16(identity.executablePath);
  std::replace(exePath.begin(), exePath.end(), u'/', u'\\');
  PutText(block + kIdentityNameOffset, kIdentityNameCapacity, block + kIdentityNameLengthOffset,
          Utf8ToUtf16(identity.appName));
  PutText(block + kIdentityExePathOffset, kIdentityExePathCapacity,
          block + kIdentityExePathLengthOffset, exePath);
  bytes::StoreLe32(block + kIdentityFilledOffset, kIdentityFilled);
  return true;
}

bool StubKindOf(const unsigned char* stub, std::uint64_t size, StubKind& kind) {
  const auto startsWith = [&](const char* magic, std::size_t length) {
    return size >= length && std::memcmp(stub, magic, length) == 0;
  };
  kind = startsWith(kPeMagic, kPeMagicSize) ? StubKind::kWindows : StubKind::kPosix;
  return kind == StubKind::kWindows || startsWith(kElfMagic, kElfMagicSize);
}

bool BuildStarterParts(const unsigned char* stub, std::uint64_t stubSize,
                       const unsigned char* archive, std::uint64_t archiveSize,
                       const StarterIdentity& identity, StarterParts& parts, std::string& error) {
  parts = StarterParts();
  error = IdentityProblem(identity);
  if (!error.empty()) {
    return false;
  }
  if (archiveSize > UINT32_MAX) {
    return Refuse(error, "the archive is 4 GiB or larger; a starter carries less");
  }
  if (!StubKindOf(stub, stubSize, parts.kind)) {
    return Refuse(error, "not a starter stub: neither a Windows nor an ELF executable");
  }
  const bool windows = parts.kind == StubKind::kWindows;
  std::vector<unsigned char> bytes(stub, stub + stubSize);
  PeImage pe;
  ElfImage elf;
  std::uint64_t block = 0;
  std::uint64_t archiveOffset = 0;
  std::string reason;
  // The steps in the order whose first failure is reported.
  const auto prepareStub = [&] {
    const bool parsed = windows ? ParsePeImage(bytes.data(), bytes.size(), pe, reason)
                                : ParseElfImage(bytes.data(), bytes.size(), elf, reason);
    if (!parsed || !FindIdentityBlock(bytes.data(), bytes.size(), block, reason)) {
      return false;
    }
    const bool readOnly = windows ? IsInReadOnlySection(pe, block, kIdentityBlockSize)
                                  : IsInReadOnlySegment(elf, block, kIdentityBlockSize);
    if (!readOnly) {
      return Refuse(reason, "its identity block is not in read-only data");
    }
    if (!windows &&
        !FillPayloadSlot(bytes, elf, archiveSize + kPayloadTrailerSize, archiveOffset, reason)) {
      return false;
    }
    return FillIdentityBlock(bytes.data() + block, identity, reason);
  };
  if (!prepareStub()) {
    return Refuse(error, "not a starter stub: " + reason);
  }
  parts.archive = archive;
  parts.archiveSize = archiveSize;
  if (windows) {
    const PeResource payload{
        kPeResourceTypeRcData, kPayloadResourceId, kPayloadLanguage, 0, archive, archiveSize};
    return AddPeResource(pe, payload, parts.front, parts.back, reason) ||
           Refuse(error, "cannot add the archive to the stub: " + reason);
  }
  const auto trailer = EncodePayloadTrailer(archiveOffset, static_cast<std::uint32_t>(archiveSize));
  parts.front = std::move(bytes);
  // The slot's address decides where in the file the archive starts.
  parts.front.resize(static_cast<std::size_t>(archiveOffset), 0);
  parts.back.assign(trailer.begin(), trailer.end());
  return true;
}

bool WriteStarter(const StarterParts& parts, const std::string& outputPath, std::string& error) {
  OutputFile file;
  if (!file.Create(outputPath, error)) {
    return Refuse(error, DisplayName(outputPath) + ": cannot create: " + error);
  }
  file.MarkExecutable();
  const std::uint64_t archiveAt = parts.front.size();
  const std::uint64_t backAt = archiveAt + parts.archiveSize;
  if (!file.WriteAt(0, parts.front.data(), parts.front.size(), error) ||
      (parts.archiveSize > 0 &&
       !file.WriteAt(archiveAt, parts.archive, static_cast<std::size_t>(parts.archiveSize),
                     error)) ||
      !file.WriteAt(backAt, parts.back.data(), parts.back.size(), error) || !file.Commit(error)) {
    return Refuse(error, DisplayName(outputPath) + ": cannot write: " + error);
  }
  return true;
}

}  // namespace pack
