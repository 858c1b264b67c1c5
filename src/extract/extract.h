// Unpacking the embedded archive into the destination folder, with a progress
// log and one line on standard error for each entry that fails.
#ifndef STARTER_EXTRACT_EXTRACT_H
#define STARTER_EXTRACT_EXTRACT_H

#include <cstddef>
#include <string>

#include "zip/zip_reader.h"

/// The progress log: a diagnostic text of pieces joined back to back, emptied
/// at the start of each ExtractPayload call and only appended to after that.
/// It is never written to a stream or a file.
extern std::wstring g_extractLog;

/// The one archive reader of the process: opened by ExtractPayload, closed by
/// ExtractPayload at the end of its walk. Closed at program start.
extern zip::ZipArchive g_zipArchive;

/// Unpacks the archive of `length` bytes at `archive` (read in place, never
/// copied) into the folder `destination` (NUL-terminated wide text), the file
/// data written by `workers` threads: 0 (the starter's) takes the build's
/// count (STARTER_EXTRACT_WORKERS, or one per core), 1 writes everything on
/// the calling thread. The outcome, on disk, in the log, on standard error and
/// in what is thrown, does not depend on `workers`. Not re-entrant.
///
/// Returns the text of g_extractLog, valid until the log next changes. An
/// archive that does not open throws std::runtime_error("Failed opening zip ")
/// with the log exactly "open error " and nothing created on disk. Otherwise
/// every entry of the open g_zipArchive is written below the folder, in index
/// order, and g_zipArchive is closed.
///
/// Before anything is written, an existing destination must pass
/// CheckDestinationFolder and a missing one is made with
/// CreateDestinationFolder (a refusal throws std::runtime_error), and the
/// unpacked size of the file entries (less what files already at their paths
/// hold) must fit the free space of the destination's volume, or
/// std::filesystem::filesystem_error (std::errc::no_space_on_device) says how
/// much is needed and how much is free.
///
/// Everything is written through the checked destination, held open: no
/// folder or file below it is reached through a symbolic link (on Windows, any
/// reparse point). An existing file at an output path is replaced by a new
/// one, so that its other hard links keep their content.
///
/// An entry that cannot be written (also one whose name would lead outside the
/// destination, and one whose way or place holds a link: "file open failed")
/// gets one line on standard error and a log piece, and the walk goes on. A
/// failed file-system operation throws std::filesystem::filesystem_error
/// naming it ("exists", "create_directories", "create_directory" or
/// "absolute"), leaving the archive open and what was written on disk.
///
/// The walk polls for an interruption (ThrowIfInterrupted) before each entry
/// and after the last: a recorded one throws Interrupted, as above. The file
/// writes poll (InterruptionRecorded) between buffers and pieces: once an
/// interruption is recorded, the files being written stop, those queued are
/// not begun, and none of them is reported (they stay as far as they got, for
/// the caller's clean-up).
///
/// Only file data is decoded and written by the workers; everything else runs
/// in index order on the calling thread, and the files' outcomes are reported
/// as if each had been written before the next entry began: an entry whose
/// path is, lies above or below a file still being written waits for it, and
/// before anything is thrown the files begun earlier are finished (or
/// stopped) and reported. All workers have ended when the call returns or
/// throws.
const wchar_t* ExtractPayload(const void* archive, std::size_t length, const wchar_t* destination,
                              unsigned workers = 0);

#endif  // STARTER_EXTRACT_EXTRACT_H
