// The destination folder: where it is, whether it was there before the run,
// whether it may receive what is unpacked, its creation, and its removal
// after the run.
#ifndef STARTER_DESTINATION_DESTINATION_H
#define STARTER_DESTINATION_DESTINATION_H

#include <filesystem>
#include <string>

/// The folder `appName` directly inside the user's temporary directory: the
/// temporary directory's path with `appName` appended as plain text, with one
/// separator between them only when that path does not end in one.
/// Throws std::filesystem::filesystem_error naming "temp_directory_path" when
/// the temporary directory cannot be obtained or is not a directory. POSIX: an
/// empty TMPDIR (or TMP, TEMP, TEMPDIR) counts as unset, and a temporary
/// directory whose path holds '\' or '"' or is not well-formed UTF-8 throws
/// the same error with a message saying why, since the starter could not pass
/// that path on unchanged.
std::wstring MakeDestinationPath(const std::wstring& appName);

/// True when something (a folder, a file, a link, even a dangling one) stands
/// at `path`. Only a "not found" answer of the system counts as absence; any
/// other failure of the probe counts as presence, so that the run never
/// removes a folder whose absence it did not establish. Never throws.
bool PathExists(const std::wstring& path);

/// Checks that the existing folder `path` may receive what the starter will
/// run, touching nothing. POSIX, where the temporary directory is often shared
/// by all users: its parent (and the symbolic link the parent may be) must
/// belong to the user running the starter or to root and either be closed to
/// writes by group and others or be sticky, as /tmp is; `path` itself must be
/// a real folder (not a symbolic link), owned by the user running the starter,
/// and not writable by group or others. Windows: it must be a folder and not a
/// reparse point (a symbolic link or junction); its parent is not checked.
/// Throws std::runtime_error("Refusing to unpack into <path>: <why>") when not;
/// for the parent, <why> begins "its parent <parent> ".
void CheckDestinationFolder(const std::filesystem::path& path);

/// Creates the missing folder `path` and its missing parents. On POSIX the
/// parent must pass CheckDestinationFolder's rule for parents before the
/// folder itself is made, with mode 0700; when someone else creates it first,
/// it must pass CheckDestinationFolder. Throws std::filesystem::filesystem_error
/// naming "create_directories" when it cannot be created, and what
/// CheckDestinationFolder throws.
void CreateDestinationFolder(const std::filesystem::path& path);

/// Removes the folder `path` and everything beneath it, contents first.
/// Symbolic links (and on Windows every reparse point) met inside are removed
/// themselves, never followed. Depth is no limit (on Windows the tree is
/// walked in the \\?\ long-path form). A missing `path` is no error; below
/// it, a folder that cannot be reached is one. Throws
/// std::filesystem::filesystem_error naming "remove_all" with the system's code
/// and `path` when something cannot be removed; what was not removed stays.
void RemoveDestinationTree(const std::wstring& path);

#endif  // STARTER_DESTINATION_DESTINATION_H
