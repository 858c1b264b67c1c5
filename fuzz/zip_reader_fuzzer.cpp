// libFuzzer target for the ZIP reader and the extraction driver on top of it: each input is opened
// in memory, every entry record read and every entry extracted on its own into a scratch folder,
// then the same bytes go through ExtractPayload into that folder. A broken promise traps, so
// libFuzzer keeps the input.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "extract/extract.h"
#include "testing/entry_files.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "text/entry_name.h"
#include "text/text_convert.h"
#include "zip/zip_format.h"
#include "zip/zip_pieces.h"
#include "zip/zip_reader.h"

// The line and the condition first: a trap alone does not say what broke.
#define FUZZ_CHECK(condition)                                                           \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "fuzz check failed at line %d: %s\n", __LINE__, #condition); \
      __builtin_trap();                                                                 \
    }                                                                                   \
  } while (0)

namespace {

namespace fs = std::filesystem;
using zip::ZipArchive;
using zip::ZipEntryRecord;
using zip::ZipError;

// Bounds that keep one input cheap. Entries may share their data, so a small input can record
// gigabytes: entries past each entry's and each input's budget of recorded unpacked bytes are only
// walked, not written. ExtractPayload cannot skip entries, so it only runs on archives within the
// bounds, or on those recording more than any volume holds, which it must refuse before writing.
constexpr std::uint64_t kMaxExtractedSize = 16u << 20;
constexpr std::uint64_t kMaxExtractedTotal = 64u << 20;
constexpr std::uint32_t kMaxPayloadEntries = 256;
constexpr std::uint64_t kBeyondAnyVolume = std::uint64_t{1} << 62;
constexpr unsigned kPayloadWorkers = 3;

constexpr std::uint16_t kFlagsNeverExtracted =
    zip::kFlagEncrypted | zip::kFlagPatchData | zip::kFlagStrongEncryption;

// The scratch folder is the only thing in a private parent folder: anything else appearing in the
// parent was written outside the scratch folder.
struct Folders {
  testing_support::TempFolder parent{"starter-fuzz-"};
  fs::path scratch = parent.path() / "scratch";
  fs::path out = scratch / "out";
  std::string outText = out.u8string();
  std::wstring scratchWide = PathToWide(scratch);
};

bool IsFailureText(ZipError error) {
  return error != ZipError::kNone && std::strcmp(zip::ZipErrorText(error), "unknown error") != 0;
}

bool IsClosed(const ZipArchive& archive) {
  return !archive.open && archive.data == nullptr && archive.size == 0 &&
         archive.centralDirectoryOffset == 0 && archive.centralDirectorySize == 0 &&
         archive.recordOffsets.empty();
}

bool FolderIsEmpty(const fs::path& folder) {
  std::error_code error;
  return fs::is_empty(folder, error) && !error;
}

bool ParentHoldsOnlyScratch(const Folders& folders) {
  std::error_code error;
  int count = 0;
  for (const auto& item : fs::directory_iterator(folders.parent.path(), error)) {
    if (item.path() != folders.scratch) {
      std::fprintf(stderr, "outside the scratch folder: %s\n", item.path().c_str());
      return false;
    }
    ++count;
  }
  return !error && count == 1;
}

std::uint32_t FileCrc(const fs::path& file) {
  // Entries may carry modes without the read bit.
  std::error_code ignored;
  fs::permissions(file, fs::perms::owner_read, fs::perm_options::add, ignored);
  return testing_support::Crc32(testing_support::ReadFileBytes(file));
}

// A second opinion on the name check: a name it lets through must not reach outside the folder it
// is joined to, however deep the parent it climbs to.
bool StaysInside(const std::string& name) {
  const fs::path relative = fs::u8path(name);
  if (relative.has_root_name() || relative.has_root_directory()) {
    return false;
  }
  const fs::path normal = relative.lexically_normal();
  return normal.empty() || *normal.begin() != "..";
}

// Adds the path an entry name leads to, and every folder on the way, in the generic form a walk of
// the destination gives.
void AddPathAndParents(const std::string& name, std::set<std::string>& paths) {
  fs::path path = fs::u8path(name).lexically_normal();
  if (!path.empty() && path.filename().empty()) {
    path = path.parent_path();
  }
  for (; !path.empty() && path != "."; path = path.parent_path()) {
    paths.insert(path.generic_string());
  }
}

// What the walk of an open archive learnt for the ExtractPayload run.
struct WalkSummary {
  std::uint32_t count = 0;
  std::uint64_t fileBytes = 0;  // recorded unpacked size of the file entries, saturated
  std::set<std::string> payloadPaths;
};

// A piece index is only a hint: whatever it claims, the pieces it yields lie back to back over the
// entry's data and content, and decoding one either gives its bytes with their CRC-32 or fails,
// leaving the CRC as it was.
void CheckPieces(ZipArchive& archive, std::uint32_t index, const ZipEntryRecord& record) {
  std::vector<zip::ZipPiece> pieces;
  if (!zip::ZipPiecesFromIndex(record.central.extra, record.location.compressedSize,
                               record.location.uncompressedSize, pieces)) {
    FUZZ_CHECK(pieces.empty());
    return;
  }
  FUZZ_CHECK(pieces.size() >= 2);
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  for (const zip::ZipPiece& piece : pieces) {
    FUZZ_CHECK(piece.compressedOffset == compressed && piece.uncompressedOffset == uncompressed);
    FUZZ_CHECK(piece.compressedLength > 0 && piece.uncompressedLength > 0);
    compressed += piece.compressedLength;
    uncompressed += piece.uncompressedLength;
  }
  FUZZ_CHECK(compressed == record.location.compressedSize &&
             uncompressed == record.location.uncompressedSize);
  const unsigned char* data = nullptr;
  std::uint64_t length = 0;
  if (!zip::ZipLocateEntryData(archive, index, data, length)) {
    zip::ZipTakeLastError(archive);
    return;
  }
  FUZZ_CHECK(length == record.location.compressedSize);
  zip::ZipPieceDecoder decoder;
  FUZZ_CHECK(decoder.ready());
  std::vector<unsigned char> output;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const zip::ZipPiece& piece = pieces[i];
    output.resize(static_cast<std::size_t>(piece.uncompressedLength));
    constexpr std::uint32_t kUntouched = 0x5EED5EEDu;
    std::uint32_t crc = kUntouched;
    if (decoder.Decode(data + piece.compressedOffset, piece.compressedLength,
                       i + 1 == pieces.size(), output.data(), output.size(), crc)) {
      FUZZ_CHECK(crc == crc32(0, output.data(), static_cast<uInt>(output.size())));
    } else {
      FUZZ_CHECK(crc == kUntouched);
    }
  }
}

// Reads one entry's record and, within `budget` (recorded unpacked bytes left for this input),
// extracts it alone to the scratch folder's "out" file, checking the outcome against the record.
void CheckEntry(ZipArchive& archive, std::uint32_t index, const Folders& folders,
                std::uint64_t& budget, ZipEntryRecord& record) {
  FUZZ_CHECK(zip::ZipReadEntryRecord(archive, index, record));
  FUZZ_CHECK(zip::ZipTakeLastError(archive) == ZipError::kNone);
  FUZZ_CHECK(record.index == index);
  const bool nameEndsInSlash = !record.central.name.empty() && record.central.name.back() == '/';
  FUZZ_CHECK(record.isDirectory == (nameEndsInSlash || (record.central.externalAttributes &
                                                        zip::kDosAttributeDirectory) != 0));
  if (IsSafeEntryName(record.central.name, kPlatformEntryNameRules)) {
    FUZZ_CHECK(StaysInside(std::string(record.central.name)));
  }
  if (IsSafeEntryName(record.central.name, EntryNameRules::kWindows)) {
    FUZZ_CHECK(IsSafeEntryName(record.central.name, EntryNameRules::kPortable));
  }
  if (record.location.uncompressedSize > kMaxExtractedSize ||
      record.location.uncompressedSize > budget) {
    return;
  }
  budget -= record.location.uncompressedSize;
  CheckPieces(archive, index, record);

  const bool extracted =
      testing_support::ExtractEntryToFile(archive, index, folders.outText.c_str());
  const ZipError error = zip::ZipTakeLastError(archive);
  std::error_code fileError;
  if (extracted) {
    FUZZ_CHECK(error == ZipError::kNone);
    FUZZ_CHECK(!record.isDirectory);
    FUZZ_CHECK(record.central.method == 0 || record.central.method == 8);
    FUZZ_CHECK((record.central.flags & kFlagsNeverExtracted) == 0);
    const std::uintmax_t size = fs::file_size(folders.out, fileError);
    FUZZ_CHECK(!fileError);
    FUZZ_CHECK(size == record.location.uncompressedSize);
    FUZZ_CHECK(FileCrc(folders.out) == record.central.crc32);
  } else {
    FUZZ_CHECK(IsFailureText(error));
    if (record.isDirectory) {
      FUZZ_CHECK(error == ZipError::kUnsupportedFeature);
    }
    // The contract names these as failing before the output file is opened.
    if (error == ZipError::kInvalidParameter || error == ZipError::kUnsupportedFeature ||
        error == ZipError::kInvalidHeader) {
      FUZZ_CHECK(!fs::exists(folders.out, fileError));
    }
  }
  fs::remove(folders.out, fileError);
  FUZZ_CHECK(!fileError);
}

// Walks an open archive; on return it is closed.
WalkSummary CheckOpenArchive(ZipArchive& archive, const std::uint8_t* data, std::size_t size,
                             const Folders& folders) {
  FUZZ_CHECK(archive.open);
  FUZZ_CHECK(archive.data == data);
  FUZZ_CHECK(archive.size == size);
  FUZZ_CHECK(archive.centralDirectoryOffset <= size);
  FUZZ_CHECK(archive.centralDirectorySize <= size - archive.centralDirectoryOffset);
  FUZZ_CHECK(zip::ZipTakeLastError(archive) == ZipError::kNone);

  WalkSummary summary;
  const std::uint32_t count = zip::ZipEntryCount(archive);
  FUZZ_CHECK(count == archive.recordOffsets.size());
  summary.count = count;
  std::uint64_t budget = kMaxExtractedTotal;
  for (std::uint32_t i = 0; i < count; ++i) {
    ZipEntryRecord record;
    CheckEntry(archive, i, folders, budget, record);
    if (!record.isDirectory) {
      const std::uint64_t sum = summary.fileBytes + record.location.uncompressedSize;
      summary.fileBytes = sum < summary.fileBytes ? UINT64_MAX : sum;
    }
    if (IsSafeEntryName(record.central.name, kPlatformEntryNameRules)) {
      AddPathAndParents(std::string(record.central.name), summary.payloadPaths);
    }
  }
  FUZZ_CHECK(FolderIsEmpty(folders.scratch));

  // Calls the contract refuses fail with kInvalidParameter and leave the archive as it was.
  const auto refused = [&archive](bool succeeded) {
    return !succeeded && zip::ZipTakeLastError(archive) == ZipError::kInvalidParameter;
  };
  ZipEntryRecord untouched;
  untouched.central.name = "untouched";
  FUZZ_CHECK(refused(zip::ZipReadEntryRecord(archive, count, untouched)));
  FUZZ_CHECK(untouched.central.name == "untouched");
  FUZZ_CHECK(refused(testing_support::ExtractEntryToFile(archive, count, folders.outText.c_str())));
  FUZZ_CHECK(refused(testing_support::ExtractEntryToFile(archive, 0, nullptr)));
  FUZZ_CHECK(refused(zip::ZipOpenMemory(archive, data, size)));
  FUZZ_CHECK(archive.open && archive.data == data && zip::ZipEntryCount(archive) == count);

  FUZZ_CHECK(zip::ZipClose(archive));
  FUZZ_CHECK(IsClosed(archive));
  FUZZ_CHECK(archive.lastError == ZipError::kNone);
  FUZZ_CHECK(zip::ZipEntryCount(archive) == 0);
  FUZZ_CHECK(!zip::ZipClose(archive));
  return summary;
}

// Everything ExtractPayload left below the scratch folder must be a file or folder some accepted
// entry name leads to.
void CheckPayloadOutput(const Folders& folders, const std::set<std::string>& payloadPaths) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folders.scratch, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    FUZZ_CHECK(!error);
    FUZZ_CHECK(!it->is_symlink(error));
    const std::string relative = it->path().lexically_relative(folders.scratch).generic_string();
    if (payloadPaths.count(relative) == 0) {
      std::fprintf(stderr, "not named by any entry: %s\n", relative.c_str());
      __builtin_trap();
    }
  }
  FUZZ_CHECK(!error);
}

// Runs ExtractPayload into the scratch folder. `opens` is whether the reader opened the same bytes;
// `noRoom` whether they record more than fits.
void CheckExtractPayload(const std::uint8_t* data, std::size_t size, bool opens, bool noRoom,
                         const Folders& folders, const std::set<std::string>& payloadPaths) {
  FUZZ_CHECK(IsClosed(g_zipArchive));
  // The driver reports each failed entry on standard error; thousands of inputs would drown
  // libFuzzer's own output.
  std::streambuf* const standardError = std::cerr.rdbuf(nullptr);
  bool returned = false;
  bool refusedOpen = false;
  std::error_code thrown;
  const wchar_t* log = nullptr;
  try {
    // Under the fuzzer the machine may show one core; the walk with workers is the one the starter
    // runs, so it is the one fuzzed.
    log = ExtractPayload(data, size, folders.scratchWide.c_str(), kPayloadWorkers);
    returned = true;
  } catch (const fs::filesystem_error& failure) {
    // A documented failure, e.g. an entry whose parent folder is a file.
    thrown = failure.code();
  } catch (const std::runtime_error& failure) {
    refusedOpen = std::strcmp(failure.what(), "Failed opening zip ") == 0;
    FUZZ_CHECK(refusedOpen);
  }
  std::cerr.rdbuf(standardError);

  if (!opens) {
    FUZZ_CHECK(refusedOpen);
    FUZZ_CHECK(g_extractLog == L"open error ");
    FUZZ_CHECK(IsClosed(g_zipArchive));
    FUZZ_CHECK(FolderIsEmpty(folders.scratch));
    return;
  }
  FUZZ_CHECK(!refusedOpen);
  FUZZ_CHECK(g_extractLog.rfind(L"open success", 0) == 0);
  if (noRoom) {
    FUZZ_CHECK(thrown == std::errc::no_space_on_device);
    FUZZ_CHECK(g_zipArchive.open);
    zip::ZipClose(g_zipArchive);
    g_zipArchive.lastError = ZipError::kNone;
    FUZZ_CHECK(FolderIsEmpty(folders.scratch));
    return;
  }
  if (returned) {
    FUZZ_CHECK(log == g_extractLog.c_str());
    FUZZ_CHECK(IsClosed(g_zipArchive));
    FUZZ_CHECK(g_extractLog.size() >= 4 &&
               g_extractLog.compare(g_extractLog.size() - 4, 4, L" End") == 0);
  } else {
    FUZZ_CHECK(g_zipArchive.open);
    zip::ZipClose(g_zipArchive);
  }
  g_zipArchive.lastError = ZipError::kNone;
  CheckPayloadOutput(folders, payloadPaths);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Folders folders;
  std::error_code error;
  fs::remove_all(folders.scratch, error);
  FUZZ_CHECK(!error);
  FUZZ_CHECK(fs::create_directory(folders.scratch, error));

  ZipArchive archive;
  const bool opens = zip::ZipOpenMemory(archive, data, size);
  WalkSummary summary;
  if (opens) {
    summary = CheckOpenArchive(archive, data, size, folders);
  } else {
    FUZZ_CHECK(IsClosed(archive));
    FUZZ_CHECK(IsFailureText(zip::ZipTakeLastError(archive)));
    FUZZ_CHECK(archive.lastError == ZipError::kNone);
  }
  FUZZ_CHECK(FolderIsEmpty(folders.scratch));

  const bool noRoom = summary.fileBytes >= kBeyondAnyVolume;
  const bool withinBounds =
      summary.count <= kMaxPayloadEntries && summary.fileBytes <= kMaxExtractedTotal;
  if (!opens || noRoom || withinBounds) {
    CheckExtractPayload(data, size, opens, noRoom, folders, summary.payloadPaths);
  }
  FUZZ_CHECK(ParentHoldsOnlyScratch(folders));
  return 0;
}
