// The way below the destination folder for everything unpacked and run there: the folder is held
// open once checked, and every path below it is walked one level at a time from there, never
// through a symbolic link (on Windows, any reparse point), so that a link planted inside cannot
// send a file, a folder or the launch anywhere else.
#ifndef STARTER_DESTINATION_FOLDER_WALKER_H
#define STARTER_DESTINATION_FOLDER_WALKER_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

/// Paths below the folder are UTF-8 archive entry names that pass IsSafeEntryName ('/' between
/// levels, a trailing '/' allowed). Not copyable; the folder is released when the walker goes.
class FolderWalker {
 public:
  FolderWalker() = default;
  ~FolderWalker();
  FolderWalker(const FolderWalker&) = delete;
  FolderWalker& operator=(const FolderWalker&) = delete;

  /// Opens the existing folder `folder`, itself no link; called once, first. False, with the
  /// system's code in `error`, leaves the walker unusable. On Windows the folder, and the folders
  /// of the last way a call below walked until a later call leaves them, cannot be renamed or
  /// removed meanwhile.
  bool Open(const std::filesystem::path& folder, std::error_code& error);

  /// Creates the folder `name` in its existing parent; one already there is no error. False,
  /// creating nothing, when the way or the place itself is a link. Throws
  /// std::filesystem::filesystem_error naming "create_directory" and the folder when a parent is
  /// missing or no folder, something else stands at `name`, or the system refuses.
  bool CreateFolder(const std::string& name);

  /// Creates the missing folders on the way to the file `name`. False when the way meets a link
  /// (what was created stays). Throws std::filesystem::filesystem_error naming "exists" when an
  /// existing folder cannot be entered, "create_directories" when one cannot be created or
  /// something else stands in its place.
  bool CreateParents(const std::string& name);

  /// Opens a new, empty file `name` in existing folders for reading and writing (to be mapped),
  /// first removing a regular file there so that its other hard links keep their content; POSIX
  /// mode `posixMode & 0777` less the umask. True with `file` the descriptor or HANDLE, which the
  /// caller closes; false with `file` -1, nothing written, `error` the system's code: ELOOP (POSIX)
  /// or ERROR_REPARSE_POINT_ENCOUNTERED (4395, Windows) for a link on the way or at `name`.
  /// Anything but a regular file stays in place.
  bool CreateFileForWriting(const std::string& name, std::uint32_t posixMode, std::intptr_t& file,
                            std::error_code& error);

  /// Opens what stands at `name` for reading, through no link, whatever it is (the caller looks at
  /// what it got). As CreateFileForWriting otherwise; something missing gives the system's "not
  /// found" code.
  bool OpenExisting(const std::string& name, std::intptr_t& file, std::error_code& error);

  /// The levels of `name` the walker follows: without empty ones and ".".
  static std::vector<std::string> Components(const std::string& name);

  /// What entering one level found (for each platform's part).
  enum class Step { kEntered, kMissing, kLink, kNotFolder, kFailed };

 private:
  /// Walks to the level above the last of `parts` (at least one), entering existing folders only:
  /// kEntered, or the step that stopped it.
  Step EnterParent(const std::vector<std::string>& parts, std::error_code& error);
  /// EnterParent for the file `name`, which must be below the folder, after setting `file` to -1
  /// and clearing `error`; `last` is the file's level.
  bool EnterParentOfFile(const std::string& name, std::string& last, std::intptr_t& file,
                         std::error_code& error);

  // Each platform's steps, at the walk's level: the folder or one below it.
  /// Puts the walk at the deepest level it may keep on the way to the first `count` of `parts`
  /// (POSIX: the folder; Windows: the last held level that way shares, releasing the others),
  /// returning how many of `parts` that is.
  std::size_t Restart(const std::vector<std::string>& parts, std::size_t count);
  /// Enters the folder `part`; only kEntered moves the walk. Else `error` is "not found" for
  /// kMissing, the link code for kLink, or the system's code.
  Step Enter(const std::string& part, std::error_code& error);
  /// Creates the folder `part`; one already there is no error.
  bool Make(const std::string& part, std::error_code& error);
  /// Creates the folder `part`: kEntered when made or a folder already, kLink for a link, else
  /// kFailed with `error` set.
  Step MakeLast(const std::string& part, std::error_code& error);
  bool CreateFileHere(const std::string& part, std::uint32_t posixMode, std::intptr_t& file,
                      std::error_code& error);
  bool OpenHere(const std::string& part, std::intptr_t& file, std::error_code& error);
  /// The code a file call gets for the walker's own folder.
  static std::error_code FolderItself();

  std::filesystem::path path_;  // the folder, as given to Open
  std::intptr_t folder_ = -1;   // its descriptor or HANDLE, -1 before Open
  std::intptr_t level_ = -1;    // POSIX: the walk's level, folder_ or below
  std::wstring extendedPath_;   // Windows: the folder's long-path form
  std::wstring levelPath_;      // Windows: the long path of the walk's level
  // Windows: the folders of the last way walked (name, HANDLE), held open.
  std::vector<std::pair<std::string, std::intptr_t>> held_;
};

#endif  // STARTER_DESTINATION_FOLDER_WALKER_H
