#include "pack/stub_writer.h"

#include <cstring>

#include "pack/elf_image.h"
#include "pack/entry_names.h"
#include "pack/host_io.h"
#include "pack/pe_format.h"
#include "pack/pe_image.h"
#include "payload/payload.h"
#include "payload/payload_trailer.h"
#include "starter/identity_block.h"
#include "text/entry_name.h"
#include "zip/zip_format.h"

#ifndef PACK_DEFAULT_APP_NAME
#error "PACK_DEFAULT_APP_NAME comes from the build"
#endif

namespace pack {

const char kDefaultAppName[] = PACK_DEFAULT_APP_NAME;

namespace {

// Why `identity` cannot fill a block, or "".
std::string IdentityProblem(const StarterIdentity& identity) {
  std::string problem = CheckAppName(identity.appName);
  if (!problem.empty()) {
    return "the application name '" + DisplayName(identity.appName) + "' " + problem;
  }
  problem = CheckExecutablePath(identity.executablePath);
  if (!problem.empty()) {
    return "the executable path '" + DisplayName(identity.executablePath) + "' " + problem;
  }
  return std::string();
}

// The identity block's texts are UTF-16 in 16-bit little-endian units.
constexpr std::size_t kTextUnitSize = 2;

void PutText(unsigned char* at, std::size_t capacity, const std::u16string& text) {
  std::memset(at, 0, kTextUnitSize * capacity);
  for (std::size_t i = 0; i < text.size(); ++i) {
    zip::StoreLe16(at + kTextUnitSize * i, text[i]);
  }
}

// The language the archive resource is stored under: English (United
// Kingdom), as the resource script of a compiled starter declares it.
constexpr std::uint32_t kPayloadLanguage = 2057;

}  // namespace

bool FindIdentityBlock(const unsigned char* bytes, std::uint64_t size, std::uint64_t& offset,
                       std::string& error) {
  std::uint64_t found = 0;
  std::uint64_t at = 0;
  while (size - at >= sizeof kIdentityMarker) {
    const void* first =
        std::memchr(bytes + at, kIdentityMarker[0],
                    static_cast<std::size_t>(size - at - sizeof kIdentityMarker + 1));
    if (first == nullptr) {
      break;
    }
    at = static_cast<std::uint64_t>(static_cast<const unsigned char*>(first) - bytes);
    if (std::memcmp(bytes + at, kIdentityMarker, sizeof kIdentityMarker) == 0) {
      if (++found == 1) {
        offset = at;
      }
    }
    ++at;
  }
  if (found == 0) {
    error = "it has no identity block";
    return false;
  }
  if (found > 1) {
    error = "its identity marker occurs " + std::to_string(found) + " times";
    return false;
  }
  if (size - offset < kIdentityBlockSize) {
    error = "its identity block is cut short";
    return false;
  }
  return true;
}

bool FillIdentityBlock(unsigned char* block, const StarterIdentity& identity, std::string& error) {
  const std::uint32_t filled = zip::LoadLe32(block + kIdentityFilledOffset);
  if (filled == kIdentityFilled) {
    error = "its identity block is already filled: it is a complete starter, not a stub";
    return false;
  }
  if (filled != kIdentityOpen) {
    error = "its identity block is damaged";
    return false;
  }
  const std::string problem = IdentityProblem(identity);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  const std::u16string name = Utf8ToUtf16(identity.appName);
  std::u16string exePath = u"\\" + Utf8ToUtf16(identity.executablePath);
  for (char16_t& unit : exePath) {
    unit = unit == u'/' ? u'\\' : unit;
  }
  zip::StoreLe16(block + kIdentityNameLengthOffset, static_cast<std::uint16_t>(name.size()));
  zip::StoreLe16(block + kIdentityExePathLengthOffset, static_cast<std::uint16_t>(exePath.size()));
  PutText(block + kIdentityNameOffset, kIdentityNameCapacity, name);
  PutText(block + kIdentityExePathOffset, kIdentityExePathCapacity, exePath);
  zip::StoreLe32(block + kIdentityFilledOffset, kIdentityFilled);
  return true;
}

bool StubKindOf(const unsigned char* stub, std::uint64_t size, StubKind& kind) {
  if (size >= pe::kDosMagicSize && std::memcmp(stub, pe::kDosMagic, pe::kDosMagicSize) == 0) {
    kind = StubKind::kWindows;
    return true;
  }
  if (size >= kElfMagicSize && std::memcmp(stub, kElfMagic, kElfMagicSize) == 0) {
    kind = StubKind::kPosix;
    return true;
  }
  return false;
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
    error = "the archive is 4 GiB or larger; a starter carries less";
    return false;
  }
  StubKind kind = StubKind::kPosix;
  if (!StubKindOf(stub, stubSize, kind)) {
    error = "not a starter stub: neither a Windows nor an ELF executable";
    return false;
  }
  const bool windows = kind == StubKind::kWindows;
  const bool posix = kind == StubKind::kPosix;
  std::vector<unsigned char> bytes(stub, stub + stubSize);
  std::string reason;
  PeImage pe;
  ElfImage elf;
  const bool parsed = windows ? ParsePeImage(bytes.data(), bytes.size(), pe, reason)
                              : ParseElfImage(bytes.data(), bytes.size(), elf, reason);
  std::uint64_t block = 0;
  if (!parsed || !FindIdentityBlock(bytes.data(), bytes.size(), block, reason)) {
    error = "not a starter stub: " + reason;
    return false;
  }
  const bool readOnly = windows ? IsInReadOnlySection(pe, block, kIdentityBlockSize)
                                : IsInReadOnlySegment(elf, block, kIdentityBlockSize);
  if (!readOnly) {
    error = "not a starter stub: its identity block is not in read-only data";
    return false;
  }
  if (posix && stubSize >= kPayloadTrailerSize &&
      ParsePayloadTrailer(stub + stubSize - kPayloadTrailerSize, stubSize)) {
    error = "not a starter stub: it already carries an archive";
    return false;
  }
  std::uint64_t archiveOffset = 0;
  if (posix &&
      !FillPayloadSlot(bytes, elf, archiveSize + kPayloadTrailerSize, archiveOffset, reason)) {
    error = "not a starter stub: " + reason;
    return false;
  }
  if (!FillIdentityBlock(bytes.data() + block, identity, reason)) {
    error = "not a starter stub: " + reason;
    return false;
  }

  if (posix) {
    parts.kind = StubKind::kPosix;
    const auto trailer =
        EncodePayloadTrailer(archiveOffset, static_cast<std::uint32_t>(archiveSize));
    parts.front = std::move(bytes);
    // The slot's address decides where in the file the archive starts.
    parts.front.resize(static_cast<std::size_t>(archiveOffset), 0);
    parts.archive = archive;
    parts.archiveSize = archiveSize;
    parts.back.assign(trailer.begin(), trailer.end());
    return true;
  }
  PeResource payload;
  payload.type = kPeResourceTypeRcData;
  payload.name = kPayloadResourceId;
  payload.language = kPayloadLanguage;
  payload.data = archive;
  payload.size = archiveSize;
  PeOutput output;
  if (!AddPeResource(pe, payload, output, reason)) {
    error = "cannot add the archive to the stub: " + reason;
    return false;
  }
  parts.kind = StubKind::kWindows;
  parts.front = std::move(output.front);
  parts.archive = output.archive;
  parts.archiveSize = output.archiveSize;
  parts.back = std::move(output.back);
  return true;
}

bool WriteStarter(const StarterParts& parts, const std::string& outputPath, std::string& error) {
  OutputFile file;
  if (!file.Create(outputPath, error)) {
    error = DisplayName(outputPath) + ": cannot create: " + error;
    return false;
  }
  file.MarkExecutable();
  const std::uint64_t archiveAt = parts.front.size();
  const std::uint64_t backAt = archiveAt + parts.archiveSize;
  if (!file.WriteAt(0, parts.front.data(), parts.front.size(), error) ||
      (parts.archiveSize > 0 &&
       !file.WriteAt(archiveAt, parts.archive, static_cast<std::size_t>(parts.archiveSize),
                     error)) ||
      !file.WriteAt(backAt, parts.back.data(), parts.back.size(), error) || !file.Commit(error)) {
    error = DisplayName(outputPath) + ": cannot write: " + error;
    return false;
  }
  return true;
}

}  // namespace pack
