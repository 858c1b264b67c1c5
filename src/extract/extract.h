// Unpacking the embedded archive into the destination folder, with a progress log and one line on
// standard error for each entry that fails.
#ifndef STARTER_EXTRACT_EXTRACT_H
#define STARTER_EXTRACT_EXTRACT_H

#include <cstddef>
#include <string>

#include "zip/zip_reader.h"

/// The progress log: pieces joined back to back, emptied by each ExtractPayload call and only
/// appended to after that; never written out.
extern std::wstring g_extractLog;

/// The process's one archive reader: opened by ExtractPayload and closed at the end of its walk;
/// closed at program start.
extern zip::ZipArchive g_zipArchive;

/// Unpacks the archive of `length` bytes at `archive` (read in place) into the folder
/// `destination`, the file data written by `workers` threads (0: the build's
/// STARTER_EXTRACT_WORKERS, or one per core; 1: the calling thread), which change nothing in the
/// outcome. Not re-entrant. Returns g_extractLog's text, valid until the log next changes.
///
/// An archive that does not open throws std::runtime_error("Failed opening zip "), the log exactly
/// "open error ", nothing created. Then an existing destination must pass CheckDestinationFolder, a
/// missing one is made by CreateDestinationFolder (a refusal throws std::runtime_error), and the
/// files' unpacked size, less what files at their paths hold, must fit the free space, or
/// std::filesystem::filesystem_error (no_space_on_device) says how much is needed and free. Every
/// entry is then written in index order through the destination held open, never through a symbolic
/// link (on Windows, a reparse point), and g_zipArchive is closed. A file at an output path is
/// replaced by a new one, so that its other hard links keep their content. An entry not written
/// (also for a name leading outside, or a link on its way: "file open failed") gets a line on
/// standard error and a log piece, and the walk goes on. A failed file-system operation throws
/// std::filesystem::filesystem_error naming it ("exists", "create_directories", "create_directory"
/// or "absolute"), leaving the archive open and what was written on disk.
///
/// Polls ThrowIfInterrupted before each entry and after the last; the writes poll
/// InterruptionRecorded between buffers and pieces, and once one is recorded the files being
/// written stop as far as they got, those queued are not begun, and none of them is reported.
/// Outcomes read as if each file had been written before the next entry began: an entry whose path
/// is, lies above or below a file in flight waits for it, and the files begun are finished (or
/// stopped) and reported before anything is thrown. All workers have ended when the call returns or
/// throws.
const wchar_t* ExtractPayload(const void* archive, std::size_t length, const wchar_t* destination,
                              unsigned workers = 0);

#endif  // STARTER_EXTRACT_EXTRACT_H
