#include "extract/extract.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "destination/destination.h"
#include "destination/folder_walker.h"
#include "extract/output_file.h"
#include "extract/worker_pool.h"
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

// The standard operations throw with their own wording; the starter's errors
// name the operation, so each is called in its error-code form and this throws.
void ThrowOnError(const std::error_code& error, const char* operation, const fs::path& path) {
  if (error) {
    throw fs::filesystem_error(operation, path, error);
  }
}

std::string WithForwardSlashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
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
    std::uint64_t size = record.location.uncompressedSize;
    const std::string name(record.central.name);
    if (IsSafeEntryName(name, kPlatformEntryNameRules)) {
      // A file left by an earlier run is overwritten: only growth needs room.
      std::error_code error;
      const std::uintmax_t existing = fs::file_size(destination / fs::u8path(name), error);
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

// An entry name's path levels as the file system compares them.
std::vector<std::string> PathKey(const std::string& name) {
  std::vector<std::string> key = FolderWalker::Components(name);
  std::transform(key.begin(), key.end(), key.begin(), FoldPathComponent);
  return key;
}

// A piece of the log, or a line for standard error.
struct LogLine {
  bool toStandardError;
  std::string text;
};

void Emit(const std::vector<LogLine>& lines) {
  for (const LogLine& line : lines) {
    if (line.toStandardError) {
      std::cerr << line.text << std::endl;
    } else {
      AppendToLog(line.text);
    }
  }
}

// The line on standard error and the log pieces of an entry not written.
std::vector<LogLine> FailureLines(std::uint32_t index, const std::string& name,
                                  const std::string& outputText, const std::string& errorText) {
  return {{true, "Failed extracting " + name + " from archive. Error string: " + errorText},
          {false, " Failed extracting "},
          {false, std::to_string(index)},
          {false, name},
          {false, " full path fail: "},
          {false, outputText},
          {false, errorText}};
}

// One file entry's data, written by the pool.
struct FileWrite {
  // Pieces go to one task per worker (also to one: it can then stop between
  // pieces), each claiming the next piece left, so none waits for another;
  // the one whose piece ends last finishes the file.
  void Submit(WorkerPool& pool) {
    const std::size_t pieces = pieced.Begin(job, output);
    if (pieces == 0) {
      pool.Submit(work, [this](zip::ZipJobScratch& scratch) { Finish(scratch); });
      return;
    }
    for (std::size_t i = 0; i < std::min<std::size_t>(pieces, pool.WorkerCount()); ++i) {
      pool.Submit(work, [this](zip::ZipJobScratch& scratch) {
        std::size_t piece = 0;
        while (pieced.ClaimPiece(piece)) {
          if (pieced.WritePiece(piece, scratch)) {
            Finish(scratch);
          }
        }
      });
    }
  }

  void Finish(zip::ZipJobScratch& scratch) { error = output.Finish(pieced.Finish(scratch), job); }

  // A file cut short by an interruption, which the walk's next poll throws,
  // is no fault of the entry's: nothing is said of it.
  std::vector<LogLine> OutcomeLines() const {
    if (error == zip::ZipError::kStopped) {
      return {};
    }
    if (error == zip::ZipError::kNone) {
      return {{false, " success "}, {false, std::to_string(index)}};
    }
    return FailureLines(index, name, outputText, zip::ZipErrorText(error));
  }

  OutputFile output;  // first: closed whatever the others' making throws
  const std::uint32_t index;
  const std::string name;
  const std::string outputText;
  const std::vector<std::string> key;
  const zip::ZipEntryJob job;
  zip::ZipError error = zip::ZipError::kNone;  // set by the task that finishes the file
  WorkerPool::Work work{};
  zip::ZipPiecedWrite pieced{};
  std::vector<LogLine> after{};  // the walk's lines from after this file began
};

// The walk's output in index order: it must read as if each entry had been
// finished before the next began, so whatever follows a file still being
// written is held back until that file is written and reported.
class OrderedLog {
 public:
  explicit OrderedLog(WorkerPool& pool) : pool_(pool) {}
  OrderedLog(const OrderedLog&) = delete;
  OrderedLog& operator=(const OrderedLog&) = delete;

  // Tasks refer to the files held: none may still run when they go.
  ~OrderedLog() {
    for (const std::unique_ptr<FileWrite>& file : held_) {
      pool_.Wait(file->work);
    }
  }

  // Lines wait behind a file in flight without asking the pool whether it
  // is done: that costs a lock the workers contend for, on every line.
  void Add(std::vector<LogLine> lines) {
    if (held_.empty()) {
      Emit(lines);
    } else {
      std::move(lines.begin(), lines.end(), std::back_inserter(held_.back()->after));
    }
  }

  // Waits for the files in flight whose path is `key`'s or lies above or
  // below it, so that the walk finds the tree as if each had been written.
  void WaitForPath(const std::vector<std::string>& key) {
    for (const std::unique_ptr<FileWrite>& file : held_) {
      const std::size_t common = std::min(file->key.size(), key.size());
      if (std::equal(key.begin(), key.begin() + common, file->key.begin())) {
        pool_.Wait(file->work);
      }
    }
    FlushWhile([] { return false; });
  }

  // Hands the file to the pool, waiting for earlier files when too many are
  // held, which bounds the memory the walk's lead costs.
  void WriteFile(std::unique_ptr<FileWrite> write) {
    held_.push_back(std::move(write));
    try {
      held_.back()->Submit(pool_);
    } catch (...) {
      pool_.Wait(held_.back()->work);  // tasks already queued refer to the file
      held_.pop_back();
      throw;
    }
    const std::size_t maxHeldFiles = 4 * static_cast<std::size_t>(pool_.WorkerCount()) + 3;
    FlushWhile([this, maxHeldFiles] {
      return held_.size() > maxHeldFiles || (held_.size() > 1 && HeldPieces() > kMaxHeldPieces);
    });
  }

  // Waits for every file and writes out everything held.
  void FinishAll() {
    FlushWhile([] { return true; });
  }

 private:
  // The pieces of the files in flight, whose lists a lying index could make
  // long: about 512 KiB of them at most.
  static constexpr std::size_t kMaxHeldPieces = 16384;

  std::size_t HeldPieces() const {
    std::size_t pieces = 0;
    for (const std::unique_ptr<FileWrite>& file : held_) {
      pieces += file->job.pieces.size();
    }
    return pieces;
  }

  // Writes out the outcome of each file written from the first on, and what
  // it held back; while `waitForMore` says so, waits for the first file left.
  template <typename Condition>
  void FlushWhile(Condition waitForMore) {
    for (;;) {
      while (!held_.empty() && pool_.IsDone(held_.front()->work)) {
        Emit(held_.front()->OutcomeLines());
        Emit(held_.front()->after);
        held_.pop_front();
      }
      if (held_.empty() || !waitForMore()) {
        return;
      }
      pool_.Wait(held_.front()->work);
    }
  }

  WorkerPool& pool_;
  std::deque<std::unique_ptr<FileWrite>> held_;
};

constexpr char kInvalidFilenameText[] = "invalid filename";

// One entry of the walk, everything but its file data.
void WalkEntry(std::uint32_t i, const fs::path& root, FolderWalker& walker, OrderedLog& output) {
  zip::ZipEntryRecord record;
  if (!zip::ZipReadEntryRecord(g_zipArchive, i, record)) {
    // Nothing is known of an entry whose record did not read: it is skipped.
    const std::string errorText = zip::ZipErrorText(zip::ZipTakeLastError(g_zipArchive));
    output.Add(
        {{true, "Read archive file failed. Error string: " + errorText}, {false, " Read failed"}});
    return;
  }
  output.Add({{false, " Stat read"}});
  const std::string name(record.central.name);
  if (!IsSafeEntryName(name, kPlatformEntryNameRules)) {
    // The name is never made into a path: the text shows where it would lead.
    const std::string outputText = WithForwardSlashes(root.u8string() + "/" + name);
    output.Add(FailureLines(i, name, outputText, kInvalidFilenameText));
    return;
  }
  std::vector<std::string> key = PathKey(name);
  output.WaitForPath(key);
  if (record.isDirectory && walker.CreateFolder(name)) {
    output.Add({{false, " Dir created"}});
    return;
  }
  const fs::path fullPath = root / fs::u8path(name);
  const std::string outputText = WithForwardSlashes(fullPath.u8string());
  const auto fail = [&](zip::ZipError error) {
    output.Add(FailureLines(i, name, outputText, zip::ZipErrorText(error)));
  };
  if (record.isDirectory ||
      (fullPath.filename().u8string() != name && !walker.CreateParents(name))) {
    return fail(zip::ZipError::kFileOpenFailed);
  }
  // Checked before its file is made, so that a failing entry leaves nothing.
  zip::ZipEntryJob job;
  if (!zip::ZipPrepareEntryJob(g_zipArchive, record, job)) {
    return fail(zip::ZipTakeLastError(g_zipArchive));
  }
  // An interruption stops the writes in flight and those queued.
  job.stop.requested = [](const void*) { return InterruptionRecorded(); };
  std::intptr_t file = -1;
  std::error_code fileError;
  if (!walker.CreateFileForWriting(name, zip::ZipEntryFileMode(record.central), file, fileError)) {
    return fail(zip::ZipError::kFileOpenFailed);
  }
  output.WriteFile(std::unique_ptr<FileWrite>(
      new FileWrite{OutputFile(file), i, name, outputText, std::move(key), std::move(job)}));
}

// The walk of the open g_zipArchive, as ExtractPayload tells.
void ExtractAllEntries(const std::string& destinationText, unsigned workers) {
  const fs::path destination = fs::u8path(destinationText);
  CheckRoomToUnpack(destination);
  std::error_code error;
  const bool exists = fs::exists(destination, error);
  ThrowOnError(error, "exists", destination);
  if (exists) {
    CheckDestinationFolder(destination);
  } else {
    CreateDestinationFolder(destination);
    g_extractLog += L"destDir created";
  }
  // Everything below is written through the checked folder itself, so that a
  // link planted inside it leads nowhere.
  FolderWalker walker;
  if (!walker.Open(destination, error)) {
    throw fs::filesystem_error("exists", destination, error);
  }
  // The full paths that the failure texts show.
  const fs::path root = fs::absolute(destination, error);
  ThrowOnError(error, "absolute", destination);
  const std::uint32_t count = zip::ZipEntryCount(g_zipArchive);
  AppendToLog("num" + std::to_string(count));

  if (workers == 0) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    workers = STARTER_EXTRACT_WORKERS > 0 ? STARTER_EXTRACT_WORKERS : cores;
  }
  WorkerPool pool(workers);
  OrderedLog output(pool);
  try {
    for (std::uint32_t i = 0; i < count; ++i) {
      ThrowIfInterrupted();
      WalkEntry(i, root, walker, output);
    }
  } catch (...) {
    // The files begun before are finished and reported; nothing more begins.
    output.FinishAll();
    throw;
  }
  output.FinishAll();
  // A write stopped after the last entry's poll must not pass for success.
  ThrowIfInterrupted();
  g_extractLog += L" End";
  zip::ZipClose(g_zipArchive);
}

}  // namespace

const wchar_t* ExtractPayload(const void* archive, std::size_t length, const wchar_t* destination,
                              unsigned workers) {
  g_extractLog.clear();
  const std::string destinationText = WideToUtf8(destination);
  if (!zip::ZipOpenMemory(g_zipArchive, archive, length)) {
    g_extractLog += L"open error ";
    throw std::runtime_error("Failed opening zip ");
  }
  g_extractLog += L"open success";
  ExtractAllEntries(destinationText, workers);
  return g_extractLog.c_str();
}
