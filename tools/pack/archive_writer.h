// Writes the entries of a tree walk as one ZIP archive of the fixed form the starter expects,
// compressing in parallel.
#ifndef PACK_ARCHIVE_WRITER_H
#define PACK_ARCHIVE_WRITER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pack/tree_walk.h"
#include "zip/zip_format.h"

namespace pack {

/// The largest archive (in bytes, exclusive) that needs no Zip64 records.
constexpr std::uint64_t kArchiveSizeLimit = std::uint64_t{1} << 32;

constexpr int kDefaultLevel = 6;

/// Files are deflated in independent pieces (DeflatePiece) of this size. A piece starts without
/// history: on the bench's payload 1 MiB pieces cost 0.16% of size against one stream (2 MiB:
/// 0.07%, 4 MiB: 0.03%); the smallest within 0.3% was chosen, as a decoding thread holds one piece.
constexpr std::uint32_t kDefaultPieceSize = 1024 * 1024;

/// A piece that deflating shrinks by less than this percentage is stored within the stream instead
/// (StorePiece), so decoding it is a copy. Provisional, to be tuned by measurement.
constexpr unsigned kDefaultStoreBelowPercent = 2;

/// "Version made by" 6.3 on a Unix host: the external attributes carry a Unix mode in their high 16
/// bits.
constexpr std::uint16_t kVersionMadeByUnix63 =
    (zip::kHostUnix << 8) | (zip::kVersionMadeByMsDos63 & 0xFF);

/// The Unix file type bits S_IFREG and S_IFDIR.
constexpr std::uint32_t kUnixTypeFile = 0100000;
constexpr std::uint32_t kUnixTypeFolder = 0040000;

/// The external attributes of an entry made on a Unix host: its type and `permissions` (07777 at
/// most) above the MS-DOS attributes.
constexpr std::uint32_t UnixExternalAttributes(bool folder, std::uint32_t permissions) {
  const std::uint32_t mode = (folder ? kUnixTypeFolder : kUnixTypeFile) | (permissions & 07777);
  return mode << 16 | (folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive);
}

struct WriteOptions {
  int level = kDefaultLevel;                    // 0 stores every file; 1-9 deflate
  unsigned threads = 1;                         // compressing threads, at least 1
  std::uint64_t sizeLimit = kArchiveSizeLimit;  // the archive stays below (tests: smaller)
  std::uint32_t pieceSize = kDefaultPieceSize;  // the bytes depend on it, never on `threads`
  unsigned storeBelowPercent = kDefaultStoreBelowPercent;  // 0 deflates every piece
  /// Record Unix permissions, for a starter on a POSIX system: made by 0x033F, external attributes
  /// UnixExternalAttributes; else MS-DOS form.
  bool unixModes = false;
  /// Called from the writing thread now and then with the bytes of file data processed so far and
  /// the total; may be empty.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct WriteSummary {
  std::uint64_t archiveSize = 0;
  std::uint64_t entries = 0;
  std::uint64_t inputBytes = 0;  // sum of the files' sizes
  std::uint64_t deflatedFiles = 0;
  std::uint64_t storedFiles = 0;
};

/// Writes `entries` (in the given order, see WalkTree) to `outputPath`: each a local header without
/// extra field followed by its data, from offset 0; then the central directory and one end record.
/// Folders: stored, sizes and CRC 0, attributes 0x10, version needed 20. Files: attributes 0x20;
/// deflated (version 20) in pieces, a piece that saves less than `storeBelowPercent` as stored
/// blocks, unless that does not make the file smaller: then stored (version 10), as empty files
/// are. A deflated file of more than one piece carries a zip::PieceIndex as its central extra
/// field, when it fits in one. Made by 0x003F (or see `unixModes`); MS-DOS stamps from `modified`
/// as local time; flags 0, or 0x0800 for a non-ASCII name. Memory stays bounded by a few pieces per
/// thread. The bytes depend only on the entries, the files' contents, times (and permissions with
/// `unixModes`), `level`, `pieceSize` and `storeBelowPercent`.
///
/// Each file is opened once, as `name` below `root`, following symbolic links only when the walk
/// went through one, and all its bytes come from that open file. It must be the file the walk saw
/// (device and inode, size and modification time), and still have that size and time once read.
///
/// The archive is built in a temporary file renamed to `outputPath` only on success. On failure
/// returns false with `error` naming the problem (and the file to blame) and leaves nothing behind:
/// a file that cannot be opened or read, is not a regular file, is not the file the walk saw or
/// changed; more than 65535 entries; a name longer than 65535 bytes; an archive reaching
/// `sizeLimit` bytes; output that cannot be created or written.
bool WriteArchive(const std::vector<TreeEntry>& entries, const std::string& outputPath,
                  const WriteOptions& options, WriteSummary& summary, std::string& error);

}  // namespace pack

#endif  // PACK_ARCHIVE_WRITER_H
