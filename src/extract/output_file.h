// The file one entry is written into: the extraction's zip::ZipOutput, fed by
// positional writes from the decoding thread's buffer. Decoding into the file
// mapped into memory saves that copy but was measured slower (a page fault per
// page; README, performance), and slower still under Wine.
#ifndef STARTER_EXTRACT_OUTPUT_FILE_H
#define STARTER_EXTRACT_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>

#include "zip/zip_reader.h"

/// An empty file open for reading and writing, taken over from
/// FolderWalker::CreateFileForWriting and closed by Finish or the destructor.
class OutputFile final : public zip::ZipOutput {
 public:
  /// Takes over `handle`, a POSIX descriptor or a Windows HANDLE as an
  /// integer; -1 for none, which every write refuses.
  explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// Positional writes, retrying partial and interrupted ones; the file
  /// grows as needed. Safe for distinct ranges at once.
  bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) override;
  /// Empties the file.
  bool Reset() override;

  /// Call once, with the decoder's outcome `written`. After a success sets
  /// the file's access and modification times to the job's time (if any) and
  /// closes it: kFileWriteFailed when the times fail, kFileCloseFailed when
  /// the close does. After a failure closes the file, as far as it got, and
  /// returns `written`.
  zip::ZipError Finish(zip::ZipError written, const zip::ZipEntryJob& job);

 private:
  bool SetTimes(std::int64_t seconds);
  bool Close();

  std::intptr_t handle_;
};

#endif  // STARTER_EXTRACT_OUTPUT_FILE_H
