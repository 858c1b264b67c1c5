// Making a complete starter from a stub without a compiler or a linker: a copy of the stub with its
// identity block filled and the archive added, as a resource of a Windows stub (pe_image.h) or in
// the payload slot of a POSIX one (elf_image.h, payload/payload_trailer.h).
#ifndef PACK_STUB_WRITER_H
#define PACK_STUB_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

/// The build's default application name, used unless --app-name gives another.
extern const char kDefaultAppName[];

/// What the identity block is filled with, as UTF-8: the destination folder's name (and the child's
/// argument), and the executable inside the archive, relative and '/'-separated.
struct StarterIdentity {
  std::string appName = kDefaultAppName;
  std::string executablePath;
};

/// Finds the identity block in `size` bytes by its marker, which must occur exactly once with a
/// whole block after it; otherwise false with `error` set.
bool FindIdentityBlock(const unsigned char* bytes, std::uint64_t size, std::uint64_t& offset,
                       std::string& error);

/// Fills the kIdentityBlockSize bytes at `block` with `identity` (UTF-16, the executable path as
/// "\dir\file", unused units zeroed) and marks it filled. Refuses, changing nothing, a block
/// already filled or texts that CheckAppName or CheckExecutablePath (entry_names.h) refuse.
bool FillIdentityBlock(unsigned char* block, const StarterIdentity& identity, std::string& error);

enum class StubKind { kWindows, kPosix };

/// Tells a stub's kind by its first bytes ("MZ" for Windows, "\x7FELF" for POSIX); false for
/// anything else. Whether it is usable is for BuildStarterParts to say.
bool StubKindOf(const unsigned char* stub, std::uint64_t size, StubKind& kind);

/// A starter in three parts, written one after the other: `front`, the archive's bytes unchanged,
/// `back`.
struct StarterParts {
  StubKind kind = StubKind::kPosix;
  std::vector<unsigned char> front;
  const unsigned char* archive = nullptr;
  std::uint64_t archiveSize = 0;
  std::vector<unsigned char> back;
};

/// Lays out the starter made of `stub` and `archive`: the stub's identity block, which must lie in
/// read-only data, is filled with `identity`; on Windows the archive becomes resource RCDATA 101,
/// language 2057; on POSIX it follows the stub (zero bytes up to the offset its payload slot
/// needs), then the trailer, and the slot is pointed at both. Returns false with `error` saying why
/// the stub cannot be used (neither a PE32+ x86-64 image nor a 64-bit little-endian ELF executable,
/// malformed, signed, its identity block missing, filled or not read-only, already carrying an
/// archive, no payload slot on POSIX) or that the archive has 4 GiB or more.
bool BuildStarterParts(const unsigned char* stub, std::uint64_t stubSize,
                       const unsigned char* archive, std::uint64_t archiveSize,
                       const StarterIdentity& identity, StarterParts& parts, std::string& error);

/// Writes `parts` to `outputPath` through a temporary file beside it, renamed into place only when
/// complete, executable by whoever may read it (less the umask). Returns false with `error` set,
/// leaving nothing behind.
bool WriteStarter(const StarterParts& parts, const std::string& outputPath, std::string& error);

}  // namespace pack

#endif  // PACK_STUB_WRITER_H
