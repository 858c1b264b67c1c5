#include "testing/entry_files.h"

#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "destination/folder_walker.h"

namespace testing_support {
namespace {

bool Fail(zip::ZipArchive& archive, zip::ZipError error) {
  archive.lastError = error;
  return false;
}

// The streaming reference into `file`, ended as the extraction ends a file.
bool StreamInto(zip::ZipArchive& archive, const zip::ZipEntryJob& job, OutputFile& file) {
  const zip::ZipError error = file.Finish(zip::ZipStreamEntryJob(job, file), job);
  return error == zip::ZipError::kNone || Fail(archive, error);
}

}  // namespace

bool ExtractEntryToFile(zip::ZipArchive& archive, std::uint32_t index, const char* outputPath) {
  zip::ZipEntryJob job;
  zip::ZipEntryRecord record;
  if (outputPath == nullptr) {
    return Fail(archive, zip::ZipError::kInvalidParameter);
  }
  if (!zip::ZipPrepareEntryJob(archive, index, job) ||
      !zip::ZipReadEntryRecord(archive, index, record)) {
    return false;
  }
  std::filesystem::path path;
  try {
    path = std::filesystem::u8path(outputPath);
  } catch (const std::exception&) {
    return Fail(archive, zip::ZipError::kFileOpenFailed);  // text that names no file
  }
  FolderWalker walker;
  std::intptr_t handle = -1;
  std::error_code error;
  if (!walker.Open(path.has_parent_path() ? path.parent_path() : ".", error) ||
      !walker.CreateFileForWriting(path.filename().u8string(),
                                   zip::ZipEntryFileMode(record.central), handle, error)) {
    return Fail(archive, zip::ZipError::kFileOpenFailed);
  }
  OutputFile file(handle);
  return StreamInto(archive, job, file);
}

bool ExtractEntryToOpenFile(zip::ZipArchive& archive, std::uint32_t index, std::intptr_t handle) {
  OutputFile file(handle);
  zip::ZipEntryJob job;
  if (handle == -1) {
    return Fail(archive, zip::ZipError::kInvalidParameter);
  }
  return zip::ZipPrepareEntryJob(archive, index, job) && StreamInto(archive, job, file);
}

zip::ZipError WriteJobToFile(const zip::ZipEntryJob& job, std::intptr_t handle,
                             zip::ZipJobScratch& scratch) {
  OutputFile file(handle);
  if (handle == -1 || job.data == nullptr) {
    return zip::ZipError::kInvalidParameter;
  }
  return file.Finish(zip::ZipWriteEntryJob(job, file, scratch), job);
}

std::size_t PiecedFileWrite::Begin(const zip::ZipEntryJob& job, std::intptr_t handle) {
  job_ = &job;
  if (handle == -1) {
    return 0;
  }
  file_.reset(new OutputFile(handle));
  return write_.Begin(job, *file_);
}

zip::ZipError PiecedFileWrite::Finish(zip::ZipJobScratch& scratch) {
  if (!file_ || job_->data == nullptr) {
    return zip::ZipError::kInvalidParameter;  // the destructor closes a file taken over
  }
  return file_->Finish(write_.Finish(scratch), *job_);
}

}  // namespace testing_support
