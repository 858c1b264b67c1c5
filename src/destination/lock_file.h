// The destination module's lock file: one open of it, its byte-range locks,
// its record, and its removal, implemented once per platform. The protocol
// that uses them is described in destination.h.
#ifndef STARTER_DESTINATION_LOCK_FILE_H
#define STARTER_DESTINATION_LOCK_FILE_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

/// One open of a lock file. Its locks belong to this open alone (two opens in
/// one process exclude each other like two processes) and go when it is
/// closed or its process dies. Never inherited by a child process. Not
/// copyable; the destructor closes.
class SharedLockFile {
 public:
  SharedLockFile() = default;
  ~SharedLockFile();
  SharedLockFile(const SharedLockFile&) = delete;
  SharedLockFile& operator=(const SharedLockFile&) = delete;

  /// Opens `path`, creating it (empty, private to the user on POSIX) when
  /// missing, never through a link. Returns false, with `error` set, when the
  /// system refuses (see MayBeRemovedName). Throws std::runtime_error
  /// ("Refusing to unpack into <destination>: its lock file <path> <why>")
  /// when what stands there is a link, no regular file, or (POSIX) another
  /// user's or writable by others. Call once.
  bool Open(const std::filesystem::path& path, const std::filesystem::path& destination,
            std::error_code& error);

  /// True when a failed Open's `error` may pass by itself: on Windows the name
  /// of a removed lock file that others still hold open cannot be opened
  /// (ERROR_ACCESS_DENIED) until they have closed it. False on POSIX.
  static bool MayBeRemovedName(const std::error_code& error);

  /// Takes the one-byte lock at `offset`, exclusive or shared, without
  /// waiting: false when another open holds a conflicting lock. Throws
  /// std::filesystem::filesystem_error on any other failure.
  bool TryLock(std::uint64_t offset, bool exclusive);
  /// Releases the lock at `offset`. Never throws.
  void Unlock(std::uint64_t offset);

  /// True while this open's file is still the one the path names (the last
  /// run out removes it, and another may have created a new one since).
  bool StillNamed();

  /// The first `length` bytes of the file (fewer when it is shorter), and
  /// writing `bytes` at its start. Both throw
  /// std::filesystem::filesystem_error when the system fails them.
  std::string ReadStart(std::size_t length);
  void WriteStart(const std::string& bytes);

  /// Removes the file's name; this open stays usable until closed. On Windows
  /// the file goes once every open of it is closed, and its start is marked
  /// as removed, so that StillNamed is false for every open of it. Never
  /// throws.
  void Remove();

  /// Releases every lock and the file. Never throws.
  void Close();

 private:
  std::filesystem::path path_;
  std::intptr_t handle_ = -1;  // descriptor (POSIX) or HANDLE (Windows)
};

#endif  // STARTER_DESTINATION_LOCK_FILE_H
