// The destination folder: where it is, whether it was there before the run,
// and its removal after the run.
#ifndef STARTER_STARTER_DESTINATION_H
#define STARTER_STARTER_DESTINATION_H

#include <string>

/// The folder kAppName directly inside the user's temporary directory: the
/// temporary directory's path with kAppName appended as plain text, with one
/// separator between them only when that path does not end in one.
/// Throws std::filesystem::filesystem_error naming "temp_directory_path" when
/// the temporary directory cannot be obtained or is not a directory.
std::wstring MakeDestinationPath();

/// True when something (a folder, a file, a link, even a dangling one) stands
/// at `path`. Only a "not found" answer of the system counts as absence; any
/// other failure of the probe counts as presence, so that the run never
/// removes a folder whose absence it did not establish. Never throws.
bool PathExists(const std::wstring& path);

/// Removes the folder `path` and everything beneath it, contents first.
/// Symbolic links (and on Windows every reparse point) met inside are removed
/// themselves, never followed. A missing `path` is no error. Throws
/// std::filesystem::filesystem_error naming "remove_all" with the system's code
/// and `path` when something cannot be removed; what was not removed stays.
void RemoveDestinationTree(const std::wstring& path);

#endif  // STARTER_STARTER_DESTINATION_H
