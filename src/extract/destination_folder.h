// The destination folder as the extraction meets it: trusted before anything
// is unpacked into it, and created private when it is missing.
#ifndef STARTER_EXTRACT_DESTINATION_FOLDER_H
#define STARTER_EXTRACT_DESTINATION_FOLDER_H

#include <filesystem>

/// Checks that the existing folder `path` may receive what the starter will
/// run, touching nothing. POSIX, where the temporary directory is often shared
/// by all users: it must be a real folder (not a symbolic link), owned by the
/// user running the starter, and not writable by group or others. Windows: it
/// must be a folder and not a reparse point (a symbolic link or junction).
/// Throws std::runtime_error("Refusing to unpack into <path>: <why>") when not.
void CheckDestinationFolder(const std::filesystem::path& path);

/// Creates the missing folder `path` and its missing parents. On POSIX the
/// folder itself gets mode 0700; when someone else creates it first, it must
/// pass CheckDestinationFolder. Throws std::filesystem::filesystem_error
/// naming "create_directories" when it cannot be created, and what
/// CheckDestinationFolder throws.
void CreateDestinationFolder(const std::filesystem::path& path);

#endif  // STARTER_EXTRACT_DESTINATION_FOLDER_H
