#include "pack/host_io.h"

namespace pack {

namespace {

// Moves all `length` bytes, or up to the end of the file when reading.
long long TransferAll(std::intptr_t handle, std::uint64_t offset, char* buffer, std::size_t length,
                      bool write, std::string& error) {
  std::size_t done = 0;
  while (done < length) {
    const long long moved =
        TransferOnce(handle, offset + done, buffer + done, length - done, write, error);
    if (moved < 0) {
      return -1;
    }
    if (moved == 0) {
      if (write) {
        error = "the system wrote nothing";
        return -1;
      }
      break;
    }
    done += static_cast<std::size_t>(moved);
  }
  return static_cast<long long>(done);
}

}  // namespace

bool ToLocalTime(std::int64_t seconds, zip::CivilTime& civil) {
  std::tm parts;
  if (!LocalTimeParts(seconds, parts)) {
    return false;
  }
  civil.year = parts.tm_year + 1900;
  civil.month = parts.tm_mon + 1;
  civil.day = parts.tm_mday;
  civil.hour = parts.tm_hour;
  civil.minute = parts.tm_min;
  civil.second = parts.tm_sec;
  return true;
}

InputFile::~InputFile() {
  Close();
}

void InputFile::Close() {
  CloseHandleValue(handle_);
}

long long InputFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length,
                            std::string& error) {
  return TransferAll(handle_, offset, static_cast<char*>(buffer), length, false, error);
}

OutputFile::~OutputFile() {
  Discard();
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t length,
                         std::string& error) {
  char* bytes = const_cast<char*>(static_cast<const char*>(data));
  return TransferAll(handle_, offset, bytes, length, true, error) == static_cast<long long>(length);
}

void OutputFile::CloseKeepingTemporary() {
  CloseHandleValue(handle_);
}

}  // namespace pack
