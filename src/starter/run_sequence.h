// The starter's whole job, from the destination folder to the exit status.
#ifndef STARTER_STARTER_RUN_SEQUENCE_H
#define STARTER_STARTER_RUN_SEQUENCE_H

#include <cstdint>

struct ArchiveIdentity;

/// The exit statuses, whatever the child's own. On POSIX (8 bits) 9005 shows
/// as 45 and -1 as 255; 70 differs from the others there too.
constexpr int kExitSuccess = 0;
constexpr int kExitLaunchFailed = 9005;  // the child process could not be created
constexpr int kExitNoPayload = -1;       // the image carries no archive
constexpr int kExitUnhandledError = 70;  // an exception ended the run (told on stderr)

/// Runs the starter once: destination, the child's command line, payload
/// lookup, banner, the turn at the destination shared with other runs of the
/// application (see SharedDestination), extraction or the tree as it stands,
/// the child and the wait, and the clean-up by the last run out. Returns
/// kExitSuccess, kExitLaunchFailed or kExitNoPayload. Catches nothing: a
/// failed file-system operation, an archive that does not open or cannot be
/// reached (a damaged POSIX starter: thrown right after the banner), a tree in
/// use by runs of another archive and allocation failure leave as exceptions,
/// with no later step. An interruption while the run waits its turn or unpacks
/// stops it there (see interruption.h), removes the destination if this run
/// created it, starts no child and leaves as Interrupted; one passed on to the
/// child lets the run wait and clean up as usual, then leave as Interrupted.
int RunStarter();

/// What tells the archive at `archive` from another one for runs that share
/// the destination: its length and its central directory's CRC-32 (0 for an
/// archive the ZIP reader cannot open: the extraction refuses it anyway).
ArchiveIdentity IdentifyArchive(const unsigned char* archive, std::uint64_t length);

#endif  // STARTER_STARTER_RUN_SEQUENCE_H
