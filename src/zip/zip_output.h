// The reader's private output file: the few operations it needs from the
// operating system to write one extracted entry. Not part of the public API.
#ifndef STARTER_ZIP_ZIP_OUTPUT_H
#define STARTER_ZIP_ZIP_OUTPUT_H

#include <cstddef>
#include <cstdint>

namespace zip {
namespace detail {

/// An output file. `handle` is the platform's descriptor or handle, -1 when
/// no file is open. Value-initialised means "not open".
struct OutputFile {
  std::intptr_t handle = -1;
};

/// Opens the file named by the UTF-8 text `path` for writing, creating it or
/// truncating it. `posixMode` gives a newly created file's permission bits on
/// POSIX (the umask applies) and is ignored elsewhere. A symbolic link or other
/// reparse point standing at `path` is not followed: the open fails.
/// Success: returns true and `file` is open. Failure: returns false and `file`
/// stays not open.
bool OpenOutputFile(OutputFile& file, const char* path, std::uint32_t posixMode);

/// Writes all `size` bytes at `data` to the open `file`, retrying partial and
/// interrupted writes. Returns false when the bytes could not all be written.
bool WriteOutputFile(OutputFile& file, const void* data, std::size_t size);

/// Writes all `size` bytes at `data` into the open `file` from byte `offset`
/// on, lengthening the file when they reach past its end (what lies between
/// its old end and `offset` reads as zeros). Calls for different ranges of
/// one file may run at once on different threads. The file's position
/// afterwards is unspecified. Returns false when the bytes could not all be
/// written.
bool WriteOutputFileAt(OutputFile& file, std::uint64_t offset, const void* data, std::size_t size);

/// Whether large files are best written here through a view of the file
/// mapped into memory (MapOutputFile) rather than with plain writes: a whole
/// entry decoded in one call, and the pieces of one entry decoded on several
/// threads at once. True on POSIX, where buffered writes to one file queue on
/// its lock while page faults on a shared mapping are taken on all cores.
/// False on Windows: under Wine a mapped file whose room cannot be reserved
/// takes a block allocation with every page it faults in, and is slower than
/// plain writes.
bool MappedWritesPreferred();

/// Sets the open `file`'s access and modification times to `seconds` since
/// 1970-01-01 00:00:00 UTC. Returns false on failure.
bool SetOutputFileTimes(OutputFile& file, std::int64_t seconds);

/// Empties the open `file` and moves its position back to its start, so that
/// it can be written again from scratch. Returns false on failure.
bool ResetOutputFile(OutputFile& file);

/// A view of an output file's first `size` bytes mapped for writing.
/// Value-initialised means "not mapped".
struct OutputMapping {
  unsigned char* address = nullptr;
  std::size_t size = 0;
  std::intptr_t mappingHandle = -1;  // Windows: the file mapping object
};

/// Gives the open, empty `file` the length `size` with its room reserved on
/// the volume (so that writing through the view cannot run out of it), and
/// maps those bytes for writing. The file must be open for reading too.
/// Success: returns true and `mapping` holds the view. Failure (`size` 0 or
/// too large for the address space, no room, a volume or file that cannot be
/// mapped): returns false, `mapping` stays not mapped, and the file may have
/// been lengthened (ResetOutputFile empties it again).
bool MapOutputFile(OutputFile& file, std::uint64_t size, OutputMapping& mapping);

/// Releases the view of `mapping` (what was written through it stays in the
/// file) and leaves it not mapped. Returns false when the system reported an
/// error or nothing was mapped.
bool UnmapOutputFile(OutputMapping& mapping);

/// Closes `file` and leaves it not open, whatever the outcome. Returns false
/// when the close reported an error (buffered data may be lost) or `file`
/// was not open.
bool CloseOutputFile(OutputFile& file);

}  // namespace detail
}  // namespace zip

#endif  // STARTER_ZIP_ZIP_OUTPUT_H
