#include "extract/output_file.h"

OutputFile::~OutputFile() {
  Close();
}

zip::ZipError OutputFile::Finish(zip::ZipError written, const zip::ZipEntryJob& job) {
  if (written == zip::ZipError::kNone && job.hasTime && !SetTimes(job.modificationSeconds)) {
    written = zip::ZipError::kFileWriteFailed;
  }
  const bool closed = Close();
  if (written == zip::ZipError::kNone && !closed) {
    return zip::ZipError::kFileCloseFailed;
  }
  return written;
}
