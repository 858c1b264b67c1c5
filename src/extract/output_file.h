// The file that one entry is written into: the extraction's side of
// zip::ZipOutput. The decoder hands it byte ranges or fills a view of it; the
// file's handle, its mapping, its times and its close are here, one source
// file per platform, and so is the choice of how large data is written.
#ifndef STARTER_EXTRACT_OUTPUT_FILE_H
#define STARTER_EXTRACT_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>

#include "zip/zip_reader.h"

/// An empty file open for reading and writing, taken over from its opener
/// (FolderWalker::CreateFileForWriting) and closed by Finish or, at the
/// latest, by the destructor. Not copyable.
class OutputFile final : public zip::ZipOutput {
 public:
  /// Takes over `handle`: a POSIX descriptor or a Windows HANDLE, as an
  /// integer; -1 for none, which every write refuses.
  explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
  /// Ends a view still mapped and closes the file when Finish never ran.
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Positional writes, retrying partial and interrupted ones; the file
  /// grows as they reach past its end. Safe for distinct ranges at once.
  bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) override;
  /// Empties the file.
  bool Reset() override;
  /// How large data reaches the file, decided once per file: from a buffer
  /// with positional writes on Windows (under Wine a mapped file whose room
  /// cannot be reserved takes a block allocation with every page it faults
  /// in) and on Linux on tmpfs, ext2/3/4, xfs and btrfs (by fstatfs), where
  /// mapping costs a page fault per page and more time than writing (README,
  /// performance); decoded straight into the file mapped into memory on other
  /// file systems and other POSIX systems.
  bool PrefersView() const override;
  /// Gives the file the length `size` with its room reserved on the volume
  /// (so that writing through the view cannot run out of it) and maps it.
  /// Null where views are not used, for `size` 0, or on failure (the file
  /// may then have been lengthened).
  unsigned char* MapView(std::uint64_t size) override;
  bool UnmapView() override;

  /// Ends the entry's file after `written`, the decoder's outcome: after a
  /// success sets the file's access and modification times to the job's
  /// time (when it has one) and closes it, returning kFileWriteFailed when
  /// the times cannot be set and kFileCloseFailed when the close fails;
  /// after a failure closes the file (what it holds stays) and returns
  /// `written`. Call once.
  zip::ZipError Finish(zip::ZipError written, const zip::ZipEntryJob& job);

 private:
  bool SetTimes(std::int64_t seconds);
  bool Close();

  enum Decision : signed char { kUndecided, kNo, kYes };

  std::intptr_t handle_;
  mutable Decision prefersView_ = kUndecided;  // PrefersView's answer, once asked
  unsigned char* view_ = nullptr;
  std::size_t viewSize_ = 0;
};

#endif  // STARTER_EXTRACT_OUTPUT_FILE_H
