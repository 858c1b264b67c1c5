// Writes the list of entries from a tree walk as one ZIP archive of the fixed
// form the starter expects, compressing in parallel.
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

/// The deflate level used when none is chosen.
constexpr int kDefaultLevel = 6;

/// Files are compressed in independent pieces of this many bytes (see
/// DeflatePiece). Each piece starts without history, which costs a little
/// size: on the bench's payload 1 MiB pieces made the archive 0.16% larger
/// than one history-carrying stream (2 MiB: 0.07%, 4 MiB: 0.03%). The
/// smallest size within 0.3% was chosen, as a piece is what a decoding
/// thread holds in memory.
constexpr std::uint32_t kDefaultPieceSize = 1024 * 1024;

/// A piece whose deflating saves less than this percentage of its size is
/// stored within the deflate stream instead (StorePiece): decoding it is then
/// a copy. Provisional, to be tuned by measurement.
constexpr unsigned kDefaultStoreBelowPercent = 2;

/// "Version made by" 6.3 on a Unix host: the external attributes carry a
/// Unix mode in their high 16 bits.
constexpr std::uint16_t kVersionMadeByUnix63 =
    (zip::kHostUnix << 8) | (zip::kVersionMadeByMsDos63 & 0xFF);

/// The Unix file type bits of a mode (S_IFREG, S_IFDIR), as the high half of
/// the external attributes holds them.
constexpr std::uint32_t kUnixTypeFile = 0100000;
constexpr std::uint32_t kUnixTypeFolder = 0040000;

/// The external attributes of an entry made on a Unix host: the mode (the
/// type of a folder or a file and `permissions`, 07777 at most) above the
/// MS-DOS attributes the MS-DOS form gives the entry.
constexpr std::uint32_t UnixExternalAttributes(bool folder, std::uint32_t permissions) {
  const std::uint32_t mode = (folder ? kUnixTypeFolder : kUnixTypeFile) | (permissions & 07777);
  return mode << 16 | (folder ? zip::kDosAttributeDirectory : zip::kDosAttributeArchive);
}

/// How to write.
struct WriteOptions {
  int level = kDefaultLevel;  // 0 stores every file; 1-9 deflate
  unsigned threads = 1;       // compressing threads, at least 1
  /// The archive must stay strictly below this many bytes (tests inject a
  /// small value; the real one is where Zip64 would become necessary).
  std::uint64_t sizeLimit = kArchiveSizeLimit;
  /// Piece size; the archive's bytes depend on it, never on `threads`.
  std::uint32_t pieceSize = kDefaultPieceSize;
  /// Pieces deflate shrinks by less than this percentage are stored within
  /// the stream; 0 deflates every piece.
  unsigned storeBelowPercent = kDefaultStoreBelowPercent;
  /// Record each entry's Unix permissions, for a starter on a POSIX system:
  /// made by 0x033F, external attributes UnixExternalAttributes (above).
  /// Otherwise the MS-DOS form below.
  bool unixModes = false;
  /// Called from the writing thread now and then with the bytes of file data
  /// processed so far and the total; may be empty.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

/// What was written.
struct WriteSummary {
  std::uint64_t archiveSize = 0;
  std::uint64_t entries = 0;
  std::uint64_t inputBytes = 0;  // sum of the files' sizes
  std::uint64_t deflatedFiles = 0;
  std::uint64_t storedFiles = 0;
};

/// Writes `entries` (in the given order, see WalkTree) to `outputPath`.
///
/// Each entry: a local header without extra field directly followed by its
/// data, from offset 0 on; then the central directory and one end record.
/// Folders: stored, sizes and CRC 0, attributes 0x10, version needed 20.
/// Files: attributes 0x20; deflated (version needed 20) unless that would not
/// make them smaller, then stored (version needed 10); empty files stored.
/// Deflated in independent pieces of `pieceSize` bytes (DeflatePiece), a
/// piece that deflating shrinks by less than `storeBelowPercent` percent as
/// stored blocks instead (StorePiece; so a file whose every piece is such is
/// stored, as it is not made smaller); a deflated file of more than one
/// piece carries a zip::PieceIndex as its central record's extra field, or no
/// extra field when the index would not fit in one.
/// Made by 0x003F, or with `unixModes` the Unix form described there; MS-DOS
/// stamps from `modified` as local time; flags 0, or 0x0800 for a name that
/// is not ASCII. Memory stays bounded by a few pieces per thread, whatever
/// the file sizes. The bytes written depend only on the entries, the files'
/// contents, times (and with `unixModes` permissions), `level`, `pieceSize`
/// and `storeBelowPercent`.
///
/// Each file is opened once, as `name` below the walked `root` and without
/// following symbolic links unless the walk reached it through one, and all
/// its bytes are read from that one open file, whatever happens to the path
/// meanwhile. It must be the file the walk saw (same device and inode, size
/// and modification time), and still have that size and time once read.
///
/// The archive is built in a temporary file beside `outputPath` and renamed
/// to it only on success. On failure returns false with `error` naming the
/// problem (and the file, when one is to blame), and leaves nothing behind:
/// a file that cannot be opened or read, that is not a regular file, that is
/// not the file the walk saw (another file or a symbolic link took its
/// place), or that changed size or modification time; more than 65535
/// entries; a name longer than 65535 bytes; an archive that would reach
/// `sizeLimit` bytes; the output that cannot be created or written.
bool WriteArchive(const std::vector<TreeEntry>& entries, const std::string& outputPath,
                  const WriteOptions& options, WriteSummary& summary, std::string& error);

}  // namespace pack

#endif  // PACK_ARCHIVE_WRITER_H
