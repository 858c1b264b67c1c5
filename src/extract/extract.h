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
/// copied) into the folder `destination` (NUL-terminated wide text), with
/// the file data written by `workers` threads: 0 (the starter's) takes the
/// build's count (STARTER_EXTRACT_WORKERS, or by default one thread per
/// core); 1 writes everything on the calling thread; tests, the fuzzer and
/// the bench choose others. The outcome, on disk, in the log, on standard
/// error and in what is thrown, does not depend on `workers`.
///
/// Returns the text of g_extractLog, valid until the log next changes. Throws
/// std::runtime_error("Failed opening zip ") when the archive does not open
/// (the log is then exactly "open error " and nothing is created on disk).
/// Otherwise writes every entry of the open g_zipArchive below the folder,
/// in index order, creating that folder when it is missing, then closes
/// g_zipArchive.
///
/// A destination that exists must pass CheckDestinationFolder, and a missing
/// one is made with CreateDestinationFolder (private to the user on POSIX);
/// a refused one ends the call with std::runtime_error before anything is
/// written. Before anything is written, the unpacked size of the file entries (less
/// what files already at their paths hold) is compared with the free space of
/// the destination's volume; when it does not fit, std::filesystem::
/// filesystem_error (std::errc::no_space_on_device) says how much is needed
/// and how much is free, and nothing is created.
///
/// Everything is written through the checked destination, held open: no
/// folder or file below it is reached through a symbolic link (on Windows,
/// any reparse point). An existing file at an output path is replaced by a
/// new one, so that its other hard links keep their content.
///
/// An entry that cannot be written (including one whose name would lead
/// outside the destination, and one whose way or place holds a link: "file
/// open failed") gets one line on standard error and a log piece, and the
/// walk goes on. A failed file-system operation throws
/// std::filesystem::filesystem_error naming it ("exists",
/// "create_directories", "create_directory" or "absolute"); the archive then
/// stays open and what was written stays on disk.
///
/// Before each entry, and once more after the last, the walk polls for an
/// interruption (ThrowIfInterrupted): a recorded one ends it with
/// Interrupted, the archive open and what was written on disk, as above.
/// The file writes poll too (InterruptionRecorded), between buffers and
/// pieces: once an interruption is recorded, the files being written stop
/// at their next buffer or piece, those queued and not yet begun are not
/// written, and none of them is reported (their files stay as far as they
/// got, for the caller's clean-up).
///
/// The walk, with every check, folder, file creation, log piece, line on
/// standard error and exception, runs in index order on the calling thread;
/// only the data of file entries is decoded and written by worker threads,
/// as many as the machine has cores. Their outcomes are reported in index
/// order, as if each file had been written before the next entry began: an
/// entry whose path is, lies above or below a file still being written waits
/// for it, and before anything is thrown, the files begun earlier are
/// finished (or, after an interruption, stopped) and reported. All workers
/// have ended when the call returns or throws. Not re-entrant.
const wchar_t* ExtractPayload(const void* archive, std::size_t length, const wchar_t* destination,
                              unsigned workers = 0);

#endif  // STARTER_EXTRACT_EXTRACT_H
