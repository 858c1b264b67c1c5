// The file that one entry is written into: the extraction's side of
// zip::ZipOutput. The decoder hands it byte ranges; the file's handle, its
// times and its close are here, one source file per platform.
//
// Every byte reaches the file by positional writes from the decoding thread's
// buffer. Decoding into the file mapped into memory saves that copy but was
// measured slower on tmpfs and on ext4 alike (a page fault per page; README,
// performance), and under Wine a mapped file whose room cannot be reserved
// takes a block allocation with every page it faults in.
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
  /// Closes the file when Finish never ran.
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Positional writes, retrying partial and interrupted ones; the file
  /// grows as they reach past its end. Safe for distinct ranges at once.
  bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) override;
  /// Empties the file.
  bool Reset() override;

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

  std::intptr_t handle_;
};

#endif  // STARTER_EXTRACT_OUTPUT_FILE_H
