// The packer's only contact with the operating system. A call that fails returns false (or -1) with
// `error` set to the system's text; none prints, throws or exits.
//
// Paths are UTF-8, passed to POSIX as they are. On Windows they become UTF-16 (invalid UTF-8 names
// no file), '/' and '\' both separate, and a path of MAX_PATH characters or more is made absolute
// with the \\?\ prefix. A name read from Windows with an unpaired surrogate comes back as invalid
// UTF-8, so the walker's name check refuses it rather than packing another name.
#ifndef PACK_HOST_IO_H
#define PACK_HOST_IO_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "zip/zip_format.h"

namespace pack {

/// The arguments after the program name, as UTF-8. Windows splits the UTF-16 command line as
/// CommandLineToArgvW does and ignores `argc` and `argv`.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

/// Everything before the last separator of `path` ("/" directly below the root, "." without a
/// separator). Windows: '\' separates too, and a drive ("C:", "C:\") is kept whole.
std::string FolderOfPath(const std::string& path);

/// What a path names. On Windows a symbolic link or junction (a name surrogate reparse point) is
/// kSymlink; any other reparse point (a cloud placeholder, a deduplicated file) is what it
/// presents.
enum class NodeKind { kFile, kFolder, kSymlink, kOther };

struct NodeInfo {
  NodeKind kind = NodeKind::kOther;
  std::uint64_t size = 0;                 // bytes, for a regular file
  std::int64_t modified = 0;              // seconds since the epoch
  std::uint32_t modifiedNanoseconds = 0;  // and its fraction of a second
  std::uint64_t device = 0;               // identity: device and inode (Windows:
  std::uint64_t inode = 0;                // volume serial number and file index)
  std::uint32_t permissions = 0;          // 07777; Windows: folder 0755, file 0644 (0444 read-only)
};

/// Describes `path`: a symbolic link itself unless `follow`, else its final target (a dangling link
/// fails). A device or pipe (Windows: anything but a disk file or folder, such as NUL) is kOther.
bool InspectNode(const std::string& path, bool follow, NodeInfo& info, std::string& error);

/// The names in folder `path` but "." and "..", in no particular order.
bool ListFolder(const std::string& path, std::vector<std::string>& names, std::string& error);

/// `seconds` since the epoch in local time; false when it cannot be represented.
bool ToLocalTime(std::int64_t seconds, zip::CivilTime& civil);

/// True when standard error is a terminal (Windows: a console).
bool IsStderrTerminal();

/// A file open for reading at offsets, closed on destruction. ReadAt may run on several threads at
/// once; Open and Close may not overlap any call.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// Opens the regular file `relative` ('/'-separated) below `folder`, filling `info` from what was
  /// opened. Unless `follow`, no level below `folder` may be a symbolic link (POSIX opens level by
  /// level without following one; Windows opens the file as the link it may have become and refuses
  /// it). A FIFO, device or folder is refused without blocking.
  bool Open(const std::string& folder, const std::string& relative, bool follow, NodeInfo& info,
            std::string& error);

  /// Describes the open file as it is now.
  bool Describe(NodeInfo& info, std::string& error) const;

  /// Reads up to `length` bytes at `offset`, fewer only at the end; returns the number read.
  long long ReadAt(std::uint64_t offset, void* buffer, std::size_t length, std::string& error);

  void Close();

 private:
  std::intptr_t handle_ = -1;  // the descriptor (POSIX) or handle (Windows)
};

/// A new file written as a temporary beside the final path, which becomes the final file only on
/// Commit. Until then it is removed on destruction, on Discard and on an interrupt: POSIX SIGINT,
/// SIGTERM or SIGHUP unless ignored (up to four such files at a time); Windows Ctrl-C, Ctrl-Break
/// or the console closing, unless Ctrl-C is ignored (TerminateProcess leaves it).
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Creates the temporary in the folder of `finalPath`.
  bool Create(const std::string& finalPath, std::string& error);

  /// Writes all `length` bytes at `offset`.
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t length, std::string& error);

  /// Cuts or extends the file to `length` bytes.
  bool Truncate(std::uint64_t length, std::string& error);

  /// Makes Commit add execute permission (not on Windows).
  void MarkExecutable() { executable_ = true; }

  /// Flushes the file to disk and renames it over the final path. POSIX: mode 0666 (0777 after
  /// MarkExecutable) less the umask. Windows: it keeps the access rules inherited from its folder;
  /// a read-only final file is replaced, one held open without delete sharing is not. On failure
  /// the temporary is removed.
  bool Commit(std::string& error);

  /// Closes and removes the temporary, if any.
  void Discard();

  /// Closes the temporary but keeps it for another writer to replace (not an open file on Windows);
  /// it is still removed as before Commit. Writing and Commit fail after this.
  void CloseKeepingTemporary();

  /// The temporary file's path while there is one, otherwise empty.
  const std::string& temporaryPath() const { return tempPath_; }

 private:
  std::intptr_t handle_ = -1;  // the descriptor (POSIX) or handle (Windows)
  std::string tempPath_;
  std::string finalPath_;
  bool executable_ = false;
};

/// A whole regular file mapped read-only, unmapped on destruction.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool Open(const std::string& path, std::string& error);

  /// The bytes (null for an empty file) and their number.
  const unsigned char* data() const { return data_; }
  std::uint64_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// What the shared part asks of each platform.

bool LocalTimeParts(std::int64_t seconds, std::tm& parts);

/// Closes descriptor or handle `handle` unless it is -1, and sets it to -1.
void CloseHandleValue(std::intptr_t& handle);

/// One read (`write` false) or write of at most `length` bytes at `offset`: the number of bytes
/// moved, 0 at the end of the file when reading.
long long TransferOnce(std::intptr_t handle, std::uint64_t offset, char* buffer, std::size_t length,
                       bool write, std::string& error);

}  // namespace pack

#endif  // PACK_HOST_IO_H
