// The starter's whole job, from the destination folder to the exit status.
#ifndef STARTER_STARTER_RUN_SEQUENCE_H
#define STARTER_STARTER_RUN_SEQUENCE_H

/// The child ran and ended, and the clean-up (where due) succeeded. The
/// child's own exit code has no influence.
constexpr int kExitSuccess = 0;
/// The child process could not be created. On POSIX, where an exit status
/// keeps 8 bits, it shows as 45 (9005 modulo 256).
constexpr int kExitLaunchFailed = 9005;
/// The image carries no archive. On POSIX it shows as 255.
constexpr int kExitNoPayload = -1;
/// An exception ended the run (its message went to standard error). None of
/// the statuses above, on Windows or in its low 8 bits on POSIX.
constexpr int kExitUnhandledError = 70;

/// The banner written to standard output before the archive is unpacked.
constexpr const char* kBanner = "VORTAKEN-Cruncher decrunches while loading...";

/// Runs the starter once: destination, the child's command line, the payload
/// lookup, the banner, the turn at the destination shared with other runs of
/// the same application name (see SharedDestination), extraction or the tree
/// in use as it stands, the child and the wait, and the clean-up by the last
/// run out. Returns kExitSuccess, kExitLaunchFailed or kExitNoPayload. Catches
/// nothing: a failed file-system operation, an archive that does not open, a
/// tree in use by runs of another archive and allocation failure leave as
/// exceptions, and no later step takes place. An image that carries an
/// archive it cannot reach (a damaged POSIX starter) throws
/// std::runtime_error naming the cause right after the banner, as an archive
/// that does not open does, and nothing is written to disk.
///
/// The whole run lies under an InterruptionGuard. An interruption while the
/// run waits for its turn stops it there; during the unpacking it stops the
/// files being written at their next buffer or piece, and no file waiting its
/// turn is begun. The destination is then removed when this run created it,
/// no child is started, and Interrupted leaves the call. One that the guard
/// passes on to the child (see interruption.h) lets the run wait for the
/// child and clean up as usual; then Interrupted leaves the call instead of
/// the return. main ends the process with EndAsInterrupted.
int RunStarter();

#endif  // STARTER_STARTER_RUN_SEQUENCE_H
