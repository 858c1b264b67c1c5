// The way below the destination folder for everything unpacked and run there.
// The destination is held open once it has been checked, and every path
// below it is walked one level at a time from there, never following a
// symbolic link (or, on Windows, any reparse point): a link planted inside the
// destination cannot send a file, a folder or the launch anywhere else.
#ifndef STARTER_DESTINATION_FOLDER_WALKER_H
#define STARTER_DESTINATION_FOLDER_WALKER_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

/// Paths below the folder are given as UTF-8 text with '/' between levels
/// (an archive entry name, which must pass IsSafeEntryName; a trailing '/' is
/// allowed). Not copyable; the folder is released when the object goes.
class FolderWalker {
 public:
  FolderWalker() = default;
  ~FolderWalker();
  FolderWalker(const FolderWalker&) = delete;
  FolderWalker& operator=(const FolderWalker&) = delete;

  /// Opens the existing folder `folder`, which must not itself be a link.
  /// Success: returns true and the walker is ready. Failure: returns false,
  /// `error` holds the system's code, and the walker stays unusable. Must be
  /// called once, before any other call. On Windows the folder cannot be
  /// renamed or removed while the walker holds it, and neither can the
  /// folders of the last way a call below walked, which stay held until a
  /// later call leaves them or the walker goes.
  bool Open(const std::filesystem::path& folder, std::error_code& error);

  /// Creates the folder `name`, whose parent must exist; a folder already
  /// there is no error (as std::filesystem::create_directory). Returns false,
  /// creating nothing, when the way meets a link, the folder's own place
  /// included. Throws std::filesystem::filesystem_error naming
  /// "create_directory" (with the folder's path) when a parent is missing or is
  /// no folder, something else than a folder stands at `name`, or the system
  /// refuses.
  bool CreateFolder(const std::string& name);

  /// Creates the missing folders on the way to the file `name` (as
  /// std::filesystem::create_directories on its parent). Returns false when
  /// the way meets a link; what was created before it stays. Throws
  /// std::filesystem::filesystem_error naming "exists" when an existing folder
  /// on the way cannot be entered, "create_directories" when one cannot be
  /// created or something else than a folder stands in its place.
  bool CreateParents(const std::string& name);

  /// Opens a new, empty file `name` for reading and writing (so that it can
  /// be mapped into memory); its folders must exist. A
  /// regular file already there is removed first, so that its other hard
  /// links keep their content. On POSIX the file gets `posixMode & 0777` less
  /// the umask. Success: returns true and `file` holds the descriptor (POSIX)
  /// or HANDLE (Windows), which the caller closes. Failure: returns false,
  /// `file` is -1, nothing is written and `error` holds the system's code: a
  /// link on the way or at `name` itself gives ELOOP on POSIX and
  /// ERROR_REPARSE_POINT_ENCOUNTERED (4395) on Windows; anything else than a
  /// regular file at `name` is left in place.
  bool CreateFileForWriting(const std::string& name, std::uint32_t posixMode, std::intptr_t& file,
                            std::error_code& error);

  /// Opens what stands at `name` for reading (a folder or other non-regular
  /// file included: the caller looks at what it got), through no link.
  /// Success and failure as CreateFileForWriting; something missing gives
  /// the system's "not found" code.
  bool OpenExisting(const std::string& name, std::intptr_t& file, std::error_code& error);

  /// The levels of `name` as the walker follows them: without empty ones
  /// and ".".
  static std::vector<std::string> Components(const std::string& name);

  /// What entering one level found (for each platform's part).
  enum class Step { kEntered, kMissing, kLink, kNotFolder, kFailed };

 private:
  /// Walks to the level above the last of `parts` (at least one), entering
  /// existing folders only: kEntered, or the step that stopped it (`error` set).
  Step EnterParent(const std::vector<std::string>& parts, std::error_code& error);
  /// EnterParent for the file `name`, which must name something below the
  /// folder; `file` is -1. On success `last` is the file's own level.
  bool EnterParentOfFile(const std::string& name, std::string& last, std::intptr_t& file,
                         std::error_code& error);

  // Each platform's steps, at the walk's one level: the walker's folder or
  // one entered below it.

  /// Puts the walk at the deepest level it may keep on the way to the first
  /// `count` of `parts` (POSIX: the folder; Windows: the last held level the
  /// way shares, releasing the others). Returns how many of `parts` that is.
  std::size_t Restart(const std::vector<std::string>& parts, std::size_t count);
  /// Enters the folder `part`; only kEntered moves the walk. Otherwise `error`
  /// holds "not found" for kMissing, the link code for kLink (see
  /// CreateFileForWriting), or the system's code.
  Step Enter(const std::string& part, std::error_code& error);
  /// Creates the folder `part`; one already there is no error.
  bool Make(const std::string& part, std::error_code& error);
  /// Creates the folder `part`: kEntered when made or a folder already,
  /// kLink for a link, else kFailed with `error` set.
  Step MakeLast(const std::string& part, std::error_code& error);
  /// CreateFileForWriting and OpenExisting of `part`.
  bool CreateFileHere(const std::string& part, std::uint32_t posixMode, std::intptr_t& file,
                      std::error_code& error);
  bool OpenHere(const std::string& part, std::intptr_t& file, std::error_code& error);
  /// The code a file call gets for the walker's own folder.
  static std::error_code FolderItself();

  std::filesystem::path path_;  // the folder, as given to Open
  std::intptr_t folder_ = -1;   // its descriptor or HANDLE, -1 before Open
  // POSIX: the descriptor of the walk's level, folder_ or one of its own.
  std::intptr_t level_ = -1;
  std::wstring extendedPath_;  // Windows: the folder's long-path form
  std::wstring levelPath_;     // Windows: the long path of the walk's level
  // Windows: the folders of the last way walked below it (name, HANDLE),
  // held open.
  std::vector<std::pair<std::string, std::intptr_t>> held_;
};

#endif  // STARTER_DESTINATION_FOLDER_WALKER_H
