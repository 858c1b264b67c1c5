// The destination module's own query for the user's temporary directory,
// implemented once per platform.
#ifndef STARTER_DESTINATION_TEMPORARY_DIRECTORY_H
#define STARTER_DESTINATION_TEMPORARY_DIRECTORY_H

#include <filesystem>

/// The user's temporary directory as the platform reports it, checked to be an
/// existing directory. POSIX: the first of TMPDIR, TMP, TEMP and TEMPDIR that
/// is set to a non-empty text (ignored when the program runs with raised
/// privileges), else /tmp; its path must hold no '\' and no '"' and be
/// well-formed UTF-8, since the starter cannot pass such a path on unchanged.
/// Throws std::filesystem::filesystem_error naming "temp_directory_path", with
/// the path obtained, when the directory cannot be obtained, is not a
/// directory, or its path breaks that rule (the message then says why).
std::filesystem::path TemporaryDirectory();

#endif  // STARTER_DESTINATION_TEMPORARY_DIRECTORY_H
