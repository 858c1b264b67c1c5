// Unpacking the embedded archive into the destination folder, with a progress
// log and one line on standard error for each entry that fails.
#ifndef STARTER_EXTRACT_EXTRACT_H
#define STARTER_EXTRACT_EXTRACT_H

#include <cstddef>
#include <string>

#include "zip/zip_reader.h"

/// The progress log: pieces joined back to back, emptied by each
/// ExtractPayload call and only appended to after that; never written out.
extern std::wstring g_extractLog;

/// The process's one archive reader: opened by ExtractPayload and closed at
/// the end of its walk; closed at program start.
extern zip::ZipArchive g_zipArchive;

/// Unpacks the archive of `length` bytes at `archive` (read in place) into the
/// folder `destination`, the file data written by `workers` threads (0: the
/// build's STARTER_EXTRACT_WORKERS, or one per core; 1: the calling thread).
/// The outcome on disk, in the log, on standard error and in what is thrown
/// does not depend on `workers`. Not re-entrant. Returns g_extractLog's text,
/// valid until the log next changes.
///
/// An archive that does not open throws std::runtime_error("Failed opening
/// zip ") with the log exactly "open error " and nothing created. Otherwise
/// every entry is written below the folder in index order and g_zipArchive is
/// closed. First an existing destination must pass CheckDestinationFolder and
/// a missing one is made by CreateDestinationFolder (a refusal throws
/// std::runtime_error), and the file entries' unpacked size, less what files
/// already at their paths hold, must fit the volume's free space, or
/// std::filesystem::filesystem_error (std::errc::no_space_on_device) says how
/// much is needed and free.
///
/// Everything is written through the checked destination, held open: nothing
/// below it is reached through a symbolic link (on Windows, a reparse point).
/// An existing file at an output path is replaced by a new one, so that its
/// other hard links keep their content. An entry that cannot be written (also
/// a name leading outside the destination, or a link on its way or place:
/// "file open failed") gets one line on standard error and a log piece, and
/// the walk goes on. A failed file-system operation throws
/// std::filesystem::filesystem_error naming it ("exists",
/// "create_directories", "create_directory" or "absolute"), leaving the
/// archive open and what was written on disk.
///
/// The walk polls ThrowIfInterrupted before each entry and after the last; the
/// file writes poll InterruptionRecorded between buffers and pieces: once an
/// interruption is recorded, the files being written stop where they got,
/// those queued are not begun, and none of them is reported.
///
/// Only file data is written by the workers; all else runs in index order on
/// the calling thread, and the outcomes read as if each file had been written
/// before the next entry began: an entry whose path is, lies above or below a
/// file still being written waits for it, and before anything is thrown the
/// files begun earlier are finished (or stopped) and reported. All workers
/// have ended when the call returns or throws.
const wchar_t* ExtractPayload(const void* archive, std::size_t length, const wchar_t* destination,
                              unsigned workers = 0);

#endif  // STARTER_EXTRACT_EXTRACT_H
