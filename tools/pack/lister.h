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
};

/// Inspects the `size` bytes at `data` through the ZIP reader (zip_reader.h),
/// which checks every offset and length before use. The report's entries
/// refer into `data`, which must outlive them.
///
/// Returns false with `error` set when the bytes cannot be read as a ZIP
/// archive at all: fewer than 22 bytes, no end record, or an archive the
/// reader refuses to open; bytes after the end record are left out of what
/// the reader is given (and break the form).
///
/// Otherwise returns true with `report` holding every entry and every break of
/// the form WriteArchive writes (archive_writer.h): entry order and missing
/// folder entries; version made by, one form (MS-DOS 0x003F or Unix 0x033F) for
/// every entry, with its external attributes; internal attributes, version
/// needed, flags, method and sizes by the kind; extra fields (in a central
/// record only a zip::PieceIndex alone); data descriptors; comments; local
/// headers not back to back from offset 0 or disagreeing with the central
/// record; Zip64 records; names (RelativePathProblem, duplicates,
/// WindowsNameProblem); invalid MS-DOS dates; disks; the missing executable;
/// data that does not decode to its recorded size and CRC-32. A piece index
/// that zip::ZipPiecesFromIndex refuses, that sits on an entry that is not
/// deflated, or whose pieces do not each decode alone to the entry's content,
/// is a note, not a break.
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
