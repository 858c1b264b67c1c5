// Lists an archive in memory and tells which properties of the starter's archive form (as
// WriteArchive writes it) it breaks.
#ifndef PACK_LISTER_H
#define PACK_LISTER_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "zip/zip_reader.h"

namespace pack {

/// One property of the form that the archive breaks: `rule` a short fixed label ("order", "zip64",
/// ...), `detail` where and how.
struct FormBreak {
  std::string rule;
  std::string detail;
};

struct ArchiveReport {
  // In central-directory order, with views into the inspected bytes.
  std::vector<zip::ZipEntryRecord> entries;
  std::vector<FormBreak> breaks;  // empty when the archive conforms
  /// Findings that break nothing: a piece index that does not describe its entry (rule "piece
  /// index"), which the starter ignores.
  std::vector<FormBreak> notes;
};

struct InspectOptions {
  std::string executablePath;  // a file entry that must be present; empty: none
};

/// Inspects the `size` bytes at `data` (which must outlive the report) with the ZIP reader. Returns
/// false with `error` set when they cannot be read as an archive at all (too small, no end record,
/// refused by the reader; bytes after the end record only break the form). Otherwise fills `report`
/// with every entry and every way in which the archive differs from what WriteArchive writes
/// (archive_writer.h), down to names, MS-DOS dates, the executable and data that must decode to its
/// size and CRC-32; a piece index that does not describe its entry is a note.
bool InspectArchive(const unsigned char* data, std::uint64_t size, const InspectOptions& options,
                    ArchiveReport& report, std::string& error);

/// One line per entry (method, sizes, MS-DOS date and time, name) under a heading, then the totals.
void PrintEntries(const ArchiveReport& report, std::ostream& out);

/// The verdict and the breaks grouped by rule (at most `perRule` each, then how many more), then
/// the notes marked "note:".
void PrintBreaks(const ArchiveReport& report, std::ostream& out, std::size_t perRule = 5);

}  // namespace pack

#endif  // PACK_LISTER_H
