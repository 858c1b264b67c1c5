// Reads an archive in memory, lists its entries, and tells which properties of
// the starter's archive form (as WriteArchive produces it) it breaks.
#ifndef PACK_LISTER_H
#define PACK_LISTER_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "zip/zip_reader.h"

namespace pack {

/// One property of the form that the archive breaks. `rule` is a short fixed
/// label (e.g. "order", "extra field", "zip64"); `detail` says where and how.
struct FormBreak {
  std::string rule;
  std::string detail;
};

/// What an inspection found.
struct ArchiveReport {
  // In central-directory order; names, extra fields and comments are views
  // into the inspected bytes.
  std::vector<zip::ZipEntryRecord> entries;
  std::vector<FormBreak> breaks;  // empty when the archive conforms
  /// Findings that break nothing, in the same form: a piece index that does
  /// not describe its entry (rule "piece index"), which the starter then
  /// ignores, decoding the entry in one pass.
  std::vector<FormBreak> notes;
};

/// What to check besides the fixed form.
struct InspectOptions {
  /// Relative path of a file entry that must be present; empty: none.
  std::string executablePath;
  /// Also decompress every entry and check its size and CRC-32.
  bool checkData = true;
};

/// Inspects the `size` bytes at `data` through the ZIP reader (zip_reader.h),
/// which checks every offset and length before use. The report's entries
/// refer into `data`, which must outlive them.
///
/// Returns false with `error` set when the bytes cannot be read as a ZIP
/// archive at all: fewer than 22 bytes, no end record, or an archive the
/// reader refuses to open (a central directory that does not fit or does not
/// end at the end records, a bad record or Zip64 value, several disks); bytes
/// after the end record are left out of what the reader is given.
///
/// Otherwise returns true with `report` holding every entry and every break
/// found: entry order (depth first, folder entry directly before its
/// contents, siblings by CompareSiblingNames) and missing folder entries;
/// version made by and external attributes (either the MS-DOS form, 0x003F
/// with attributes 0x10 or 0x20, or the Unix form of a native starter's
/// archive, 0x033F with a folder's or a file's mode above them, one form for
/// every entry) and internal ones (must be 0); version needed;
/// flags (encryption, data descriptor, the UTF-8 bit matching a non-ASCII
/// name); extra fields (none in local headers; in a central record only a
/// zip::PieceIndex alone); data descriptors; comments; local
/// headers not back to back from offset 0 or disagreeing with the central
/// record; anything between the pieces; Zip64 records; methods (only stored
/// or deflate; folders and empty files stored; deflate only when smaller);
/// folder sizes and CRC; names ('\', invalid UTF-8, absolute, empty, "." or
/// ".." components, duplicates); names Windows cannot create as they are
/// (WindowsNameProblem); invalid MS-DOS dates; multi-disk archives; the
/// missing executable; damaged data (with `checkData`). A piece index that
/// zip::ZipPiecesFromIndex refuses, that sits on an entry that is not
/// deflated, or (with `checkData`) whose pieces do not each decode alone to
/// the entry's content, is a note, not a break.
bool InspectArchive(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
                    ArchiveReport& report, std::string& error);

/// Prints one line per entry (method, compressed and uncompressed sizes,
/// MS-DOS date and time, name) under a heading, then a line of totals.
void PrintEntries(const ArchiveReport& report, std::ostream& out);

/// Prints whether the archive conforms and, if not, its breaks grouped by
/// rule (at most `perRule` details each, then how many more); then the notes,
/// one line each, marked "note:".
void PrintBreaks(const ArchiveReport& report, std::ostream& out, std::size_t perRule = 5);

}  // namespace pack

#endif  // PACK_LISTER_H
