#include "extract/extract.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>

#include "destination/destination.h"
#include "destination/folder_walker.h"
#include "interruption/interruption.h"
#include "text/entry_name.h"
#include "text/text_convert.h"

std::wstring g_extractLog;
zip::ZipArchive g_zipArchive;

namespace {

namespace fs = std::filesystem;

void AppendToLog(const std::string& utf8) {
  g_extractLog += Utf8ToWide(utf8.data(), utf8.size());
}

std::string DecimalText(std::uint32_t number) {
  return std::to_string(number);
}

// The standard operations throw with their own wording; the starter's errors
// name the operation, so each is called in its error-code form.
bool Exists(const fs::path& path) {
  std::error_code error;
  const bool found = fs::exists(path, error);
  if (error) {
    throw fs::filesystem_error("exists", path, error);
  }
  return found;
}

fs::path Absolute(const fs::path& path) {
  std::error_code error;
  fs::path result = fs::absolute(path, error);
  if (error) {
    throw fs::filesystem_error("absolute", path, error);
  }
  return result;
}

std::string WithForwardSlashes(std::string text) {
  for (char& c : text) {
    if (c == '\\') {
      c = '/';
    }
  }
  return text;
}

std::string SizeText(std::uint64_t bytes) {
  char mebibytes[32];
  std::snprintf(mebibytes, sizeof mebibytes, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  return std::to_string(bytes) + " bytes (" + mebibytes + ")";
}

// Running out of room halfway would leave a broken application behind and
// start it all the same: better to refuse before the first byte is written.
void CheckRoomToUnpack(const fs::path& destination) {
  std::uint64_t needed = 0;
  zip::ZipEntryRecord record;
  const std::uint32_t count = zip::ZipEntryCount(g_zipArchive);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!zip::ZipReadEntryRecord(g_zipArchive, i, record)) {
      zip::ZipTakeLastError(g_zipArchive);
      continue;
    }
    if (record.isDirectory) {
      continue;
    }
    std::uint64_t size = record.uncompressedSize;
    if (IsSafeEntryName(record.name, kPlatformEntryNameRules)) {
      // A file left by an earlier run is overwritten: only growth needs room.
      std::error_code error;
      const std::uintmax_t existing = fs::file_size(destination / fs::u8path(record.name), error);
      if (!error) {
        size = size > existing ? size - existing : 0;
      }
    }
    needed = needed + size < needed ? UINT64_MAX : needed + size;
  }
  fs::path volume = destination;
  std::error_code error;
  while (!fs::exists(volume, error) && volume.has_relative_path()) {
    volume = volume.parent_path();
  }
  const fs::space_info space = fs::space(volume, error);
  if (error || needed <= space.available) {
    return;  // a volume that cannot tell its free space is not refused
  }
  throw fs::filesystem_error("not enough free space to unpack: needs " + SizeText(needed) + ", " +
                                 SizeText(space.available) + " free",
                             destination, std::make_error_code(std::errc::no_space_on_device));
}

void ReportFailedEntry(std::uint32_t index, const std::string& name, const std::string& outputText,
                       const std::string& errorText) {
  std::cerr << "Failed extracting " << name << " from archive. Error string: " << errorText
            << std::endl;
  g_extractLog += L" Failed extracting ";
  AppendToLog(DecimalText(index));
  AppendToLog(name);
  g_extractLog += L" full path fail: ";
  AppendToLog(outputText);
  AppendToLog(errorText);
}

}  // namespace

void ExtractAllEntries(const std::string& destinationText) {
  const fs::path destination = fs::u8path(destinationText);
  CheckRoomToUnpack(destination);
  if (!Exists(destination)) {
    CreateDestinationFolder(destination);
    g_extractLog += L"destDir created";
  } else {
    CheckDestinationFolder(destination);
  }

  // Everything below is written through the checked folder itself, so that a
  // link planted inside it leads nowhere.
  FolderWalker walker;
  std::error_code openError;
  if (!walker.Open(destination, openError)) {
    throw fs::filesystem_error("exists", destination, openError);
  }
  const std::string openFailedText = zip::ZipErrorText(zip::ZipError::kFileOpenFailed);

  const std::uint32_t count = zip::ZipEntryCount(g_zipArchive);
  g_extractLog += L"num";
  AppendToLog(DecimalText(count));

  zip::ZipJobScratch scratch;
  zip::ZipEntryRecord record;
  for (std::uint32_t i = 0; i < count; ++i) {
    ThrowIfInterrupted();
    record = zip::ZipEntryRecord{};
    if (!zip::ZipReadEntryRecord(g_zipArchive, i, record)) {
      const std::string errorText = zip::ZipErrorText(zip::ZipTakeLastError(g_zipArchive));
      std::cerr << "Read archive file failed. Error string: " << errorText << std::endl;
      g_extractLog += L" Read failed";
      // Nothing is known of an entry whose record did not read: skip it.
      continue;
    }
    g_extractLog += L" Stat read";

    if (!IsSafeEntryName(record.name, kPlatformEntryNameRules)) {
      // The name is not made into a path at all: the text shows where it
      // would have led.
      const std::string outputText =
          WithForwardSlashes(Absolute(destination).u8string() + "/" + record.name);
      ReportFailedEntry(i, record.name, outputText,
                        zip::ZipErrorText(zip::ZipError::kInvalidFilename));
      continue;
    }

    if (record.isDirectory) {
      if (!walker.CreateFolder(record.name)) {
        const std::string outputText =
            WithForwardSlashes((Absolute(destination) / fs::u8path(record.name)).u8string());
        ReportFailedEntry(i, record.name, outputText, openFailedText);
        continue;
      }
      g_extractLog += L" Dir created";
      continue;
    }

    const fs::path fullPath = Absolute(destination) / fs::u8path(record.name);
    const std::string outputText = WithForwardSlashes(fullPath.u8string());
    if (fullPath.filename().u8string() != record.name && !walker.CreateParents(record.name)) {
      ReportFailedEntry(i, record.name, outputText, openFailedText);
      continue;
    }
    // The entry is checked before its file is made, so that one that cannot
    // be written leaves nothing behind.
    zip::ZipEntryJob job;
    if (!zip::ZipPrepareEntryJob(g_zipArchive, record.index, job)) {
      ReportFailedEntry(i, record.name, outputText,
                        zip::ZipErrorText(zip::ZipTakeLastError(g_zipArchive)));
      continue;
    }
    std::intptr_t file = -1;
    std::error_code fileError;
    if (!walker.CreateFileForWriting(record.name, zip::ZipEntryFileMode(record), file, fileError)) {
      ReportFailedEntry(i, record.name, outputText, openFailedText);
      continue;
    }
    const zip::ZipError error = zip::ZipWriteEntryJob(job, file, scratch);
    if (error == zip::ZipError::kNone) {
      g_extractLog += L" success ";
      AppendToLog(DecimalText(i));
    } else {
      ReportFailedEntry(i, record.name, outputText, zip::ZipErrorText(error));
    }
  }

  g_extractLog += L" End";
  zip::ZipClose(g_zipArchive);
}

const wchar_t* ExtractPayload(const void* archive, std::size_t length, const wchar_t* destination) {
  g_extractLog.clear();
  const std::string destinationText = WideToUtf8(destination);
  if (!zip::ZipOpenMemory(g_zipArchive, archive, length)) {
    g_extractLog += L"open error ";
    throw std::runtime_error("Failed opening zip ");
  }
  g_extractLog += L"open success";
  ExtractAllEntries(destinationText);
  return g_extractLog.c_str();
}
