// The packer's only contact with the operating system: the command line,
// path syntax, file metadata, folder listings, reading and writing files,
// local time, terminals and signals. Every call reports failure by its return
// value and a message (the system's error text); none prints, throws or exits.
//
// Paths are UTF-8 text, passed to POSIX as they are. On Windows they become
// UTF-16 (text that is not valid UTF-8 names no file), both '/' and '\'
// separate levels, and a path of MAX_PATH characters or more is made absolute
// and given the \\?\ prefix so that it opens all the same. A name read from
// Windows that is not valid UTF-16 (an unpaired surrogate) comes back with the
// surrogate encoded as if it were a character, which is not valid UTF-8, so
// the walker's name check refuses it rather than packing another name.
#ifndef PACK_HOST_IO_H
#define PACK_HOST_IO_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "zip/zip_format.h"

namespace pack {

/// The program's arguments (without the program name) as UTF-8 text. POSIX:
/// `argv` as it is. Windows: the process's UTF-16 command line, split the way
/// CommandLineToArgvW splits it; `argc` and `argv` (in the ANSI code page)
/// are not used.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

/// The folder part of `path`: everything before its last separator ("/" for
/// a path directly below the root, "." when there is no separator). On
/// Windows '\' separates too, and a drive ("C:", "C:\") is kept whole.
std::string FolderOfPath(const std::string& path);

/// What a path names. On Windows a symbolic link or a junction (a reparse
/// point whose tag marks it as naming another object) is kSymlink; any other
/// reparse point (cloud placeholders, deduplicated files) is described as
/// the file or folder it presents.
enum class NodeKind { kFile, kFolder, kSymlink, kOther };

/// Metadata of one file-system object.
struct NodeInfo {
  NodeKind kind = NodeKind::kOther;
  std::uint64_t size = 0;                 // bytes, for a regular file
  std::int64_t modified = 0;              // modification time, seconds since the epoch
  std::uint32_t modifiedNanoseconds = 0;  // and its fraction of a second
  std::uint64_t device = 0;               // identity: device and inode together (Windows:
  std::uint64_t inode = 0;                // volume serial number and file index)
  /// Unix permission bits (07777 of st_mode). Windows has none: a folder is
  /// 0755, a file 0644, or 0444 when it is read-only.
  std::uint32_t permissions = 0;
};

/// Describes `path`. With `follow` false a symbolic link is described itself
/// (kSymlink); with `follow` true its final target is (and a dangling link
/// fails). A device or pipe (Windows: anything but a disk file or folder, such
/// as NUL or CON) is kOther. Returns false with `error` set when the path
/// cannot be examined.
bool InspectNode(const std::string& path, bool follow, NodeInfo& info, std::string& error);

/// Lists the names in folder `path`, without "." and "..", in no particular
/// order. Returns false with `error` set when the folder cannot be read.
bool ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error);

/// Converts `seconds` since the epoch to the local time of this machine.
/// Returns false when it cannot be represented.
bool ToLocalTime(std::int64_t seconds, zip::CivilTime& civil);

/// True when the standard error stream is a terminal (Windows: a console).
bool IsStderrTerminal();

/// A file open for reading at explicit offsets. ReadAt may be called from
/// several threads at once; opening and closing may not overlap any other
/// call. Closed on destruction.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// Opens the file `relative` ('/'-separated levels) below folder `folder`
  /// for reading and fills `info` from what was opened, as InspectNode does.
  /// Unless `follow`, no level below `folder` may be a symbolic link: POSIX
  /// opens one level at a time, each relative to the one above and without
  /// following a link; Windows opens the file as the link it may have become,
  /// which then is not the file it was. It must be a regular file (a FIFO,
  /// device or folder is refused without blocking). Returns false with
  /// `error` set.
  bool Open(const std::string& folder, const std::string& relative, bool follow, NodeInfo& info,
            std::string& error);

  /// Describes the open file as it is now (as InspectNode does). Returns
  /// false with `error` set.
  bool Describe(NodeInfo& info, std::string& error) const;

  /// Reads up to `length` bytes at `offset` into `buffer`, fewer only at the
  /// end of the file. Returns the number read, or -1 with `error` set.
  long long ReadAt(std::uint64_t offset, void* buffer, std::size_t length, std::string& error);

  /// Closes the file (no effect when not open).
  void Close();

 private:
  std::intptr_t handle_ = -1;  // the descriptor (POSIX) or handle (Windows)
};

/// A new file being written: a temporary file beside the final path that
/// becomes the final file only on Commit. Until then it is removed when the
/// object is destroyed, on Discard, and when the process is interrupted: on
/// POSIX by SIGINT, SIGTERM or SIGHUP, which the caller has not set to be
/// ignored (up to four such files at a time); on Windows by Ctrl-C,
/// Ctrl-Break or the console window closing, unless the process ignores
/// Ctrl-C. Windows has no catchable termination request, so a process ended
/// by TerminateProcess (taskkill /F) leaves the temporary file behind.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Creates the temporary file in the folder of `finalPath`. Returns false
  /// with `error` set when it cannot.
  bool Create(const std::string& finalPath, std::string& error);

  /// Writes all `length` bytes at `offset`. Returns false with `error` set.
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t length, std::string& error);

  /// Cuts or extends the file to `length` bytes. Returns false with `error`.
  bool Truncate(std::uint64_t length, std::string& error);

  /// Makes Commit give the file execute permission too, where the system has
  /// such a permission (not on Windows).
  void MarkExecutable() { executable_ = true; }

  /// Flushes the file to disk, gives it the usual permissions and renames it
  /// to the final path, replacing any file there. POSIX: 0666 less the umask,
  /// or 0777 less the umask after MarkExecutable. Windows: no execute bits
  /// exist; the file keeps the access rules it inherited from its folder; a
  /// read-only final file is replaced as on POSIX, but one that another
  /// process holds open without delete sharing is not. Returns false with
  /// `error` set (the temporary is then removed).
  bool Commit(std::string& error);

  /// Closes and removes the temporary file; no effect when none is open.
  void Discard();

  /// Closes the temporary file but keeps its name: it is still removed on
  /// destruction, on Discard and on an interrupt, and another writer may now
  /// replace it (Windows does not replace a file that is open). Writing and
  /// Commit fail after this.
  void CloseKeepingTemporary();

  /// The temporary file's path while one is open, otherwise empty.
  const std::string& temporaryPath() const { return tempPath_; }

 private:
  std::intptr_t handle_ = -1;  // the descriptor (POSIX) or handle (Windows)
  std::string tempPath_;
  std::string finalPath_;
  bool executable_ = false;
};

/// A whole file mapped read-only into memory. Closed on destruction.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  /// Maps regular file `path`. Returns false with `error` set.
  bool Open(const std::string& path, std::string& error);

  /// The file's bytes (null for an empty file) and their number.
  const unsigned char* data() const { return data_; }
  std::uint64_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// What the shared part asks of each platform.

/// Where the folder part of `path` (FolderOfPath) ends and its name begins:
/// just after its last separator, or after a Windows drive "X:" with none.
std::size_t FolderPartLength(const std::string& path);

/// Splits `seconds` since the epoch into the local time of this machine.
bool LocalTimeParts(std::int64_t seconds, std::tm& parts);

/// Closes the descriptor (POSIX) or handle (Windows) `handle` unless it is
/// -1, and sets it to -1.
void CloseHandleValue(std::intptr_t& handle);

/// One read or write of at most `length` bytes at `offset` through the
/// descriptor or handle `handle`: the number of bytes moved (0 at the end of
/// the file when reading), or -1 with `error` set.
long long ReadOnce(std::intptr_t handle, std::uint64_t offset, void* buffer, std::size_t length,
                   std::string& error);
long long WriteOnce(std::intptr_t handle, std::uint64_t offset, const void* data,
                    std::size_t length, std::string& error);

}  // namespace pack

#endif  // PACK_HOST_IO_H
