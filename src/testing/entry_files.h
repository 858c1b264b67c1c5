// Test support: entries written into files, as the extraction writes them,
// through calls shaped for tests: by path, into a file the test opened, and
// a pieced write that takes a file handle.
#ifndef STARTER_TESTING_ENTRY_FILES_H
#define STARTER_TESTING_ENTRY_FILES_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "extract/output_file.h"
#include "zip/zip_reader.h"

namespace testing_support {

/// Writes entry `index` into the file named by the UTF-8 text `outputPath`
/// (whose folder must exist), made new through a FolderWalker on that folder
/// with the entry's mode (zip::ZipEntryFileMode), by zlib's streaming decoder
/// (zip::ZipStreamEntryJob); then sets its times and closes it. The checks of
/// zip::ZipPrepareEntryJob (and a null path: kInvalidParameter) come first
/// and create nothing; a file that cannot be made gives kFileOpenFailed.
/// Returns true on success; otherwise false with the archive's last error
/// set, the partly written file left on disk.
bool ExtractEntryToFile(zip::ZipArchive& archive, std::uint32_t index, const char* outputPath);

/// The same into `file`, an empty file the test opened (a descriptor or
/// HANDLE as an integer, -1 giving kInvalidParameter), which is always
/// closed.
bool ExtractEntryToOpenFile(zip::ZipArchive& archive, std::uint32_t index, std::intptr_t file);

/// zip::ZipWriteEntryJob into `file`, ended as the extraction ends it
/// (OutputFile::Finish); -1 or a value-initialised job: kInvalidParameter.
zip::ZipError WriteJobToFile(const zip::ZipEntryJob& job, std::intptr_t file,
                             zip::ZipJobScratch& scratch);

/// A zip::ZipPiecedWrite into a file handle, ended as the extraction ends
/// it: Begin with -1 gives no pieces and Finish kInvalidParameter.
class PiecedFileWrite {
 public:
  std::size_t Begin(const zip::ZipEntryJob& job, std::intptr_t file);
  bool ClaimPiece(std::size_t& index) { return write_.ClaimPiece(index); }
  bool WritePiece(std::size_t index, zip::ZipJobScratch& scratch) {
    return write_.WritePiece(index, scratch);
  }
  zip::ZipError Finish(zip::ZipJobScratch& scratch);

 private:
  const zip::ZipEntryJob* job_ = nullptr;
  std::unique_ptr<OutputFile> file_;
  zip::ZipPiecedWrite write_;  // after file_: its view goes first
};

}  // namespace testing_support

#endif  // STARTER_TESTING_ENTRY_FILES_H
