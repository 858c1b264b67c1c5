#include "destination/destination.h"
#include "destination/folder_walker.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "bytes/bytes.h"
#include "text/entry_name.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

constexpr char kRecordMagic[] = "STARTLCK";
constexpr std::size_t kMagicSize = 8;
constexpr std::uint32_t kRecordVersion = 1;
constexpr std::uint32_t kFlagCreatedByRun = 1;
constexpr std::uint32_t kFlagComplete = 2;
// Byte offsets of the record's fields.
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kFlagsAt = 12;
constexpr std::size_t kVolumeAt = 16;
constexpr std::size_t kFileAt = 24;
constexpr std::size_t kLengthAt = 32;
constexpr std::size_t kCrcAt = 40;
constexpr std::size_t kChecksumAt = 44;
static_assert(kChecksumAt + 4 == kTreeRecordSize, "the record's fields fill it");
static_assert(kTreeRecordSize <= kGateOffset, "the locks lie past the record");

// Between tries for the gate; and the longest wait for a removed lock file's
// name, which Windows frees once every open of it closes (in a try or two).
constexpr std::chrono::milliseconds kRetryInterval{5};
constexpr std::chrono::seconds kRemovedNameWait{30};

// Calls `whileWaiting` (when given; what it throws leaves), then sleeps.
void PauseBeforeRetry(void (*whileWaiting)()) {
  if (whileWaiting != nullptr) {
    whileWaiting();
  }
  std::this_thread::sleep_for(kRetryInterval);
}

// `folder` joined with the first `count` of `parts`.
fs::path Below(const fs::path& folder, const std::vector<std::string>& parts, std::size_t count) {
  fs::path path = folder;
  for (std::size_t i = 0; i < count; ++i) {
    path /= fs::u8path(parts[i]);
  }
  return path;
}

}  // namespace

void RefuseToUnpack(const fs::path& path, const std::string& why) {
  throw std::runtime_error("Refusing to unpack into " + path.u8string() + ": " + why);
}

std::wstring MakeDestinationPath(const std::wstring& appName) {
  std::wstring path = PathToWide(TemporaryDirectory());
  const auto preferred = static_cast<wchar_t>(fs::path::preferred_separator);
  if (path.empty() || (path.back() != preferred && path.back() != L'/')) {
    path += preferred;
  }
  return path + appName;
}

SharedLockFile::~SharedLockFile() {
  Close();
}

bool operator==(const ArchiveIdentity& a, const ArchiveIdentity& b) {
  return a.length == b.length && a.directoryCrc32 == b.directoryCrc32;
}

bool operator==(const FolderIdentity& a, const FolderIdentity& b) {
  return a.volume == b.volume && a.file == b.file;
}

std::string EncodeTreeRecord(const TreeRecord& record) {
  unsigned char out[kTreeRecordSize] = {};
  std::memcpy(out, kRecordMagic, kMagicSize);
  bytes::StoreLe32(out + kVersionAt, kRecordVersion);
  const std::uint32_t flags =
      (record.createdByRun ? kFlagCreatedByRun : 0) | (record.complete ? kFlagComplete : 0);
  bytes::StoreLe32(out + kFlagsAt, flags);
  bytes::StoreLe64(out + kVolumeAt, record.folder.volume);
  bytes::StoreLe64(out + kFileAt, record.folder.file);
  bytes::StoreLe64(out + kLengthAt, record.archive.length);
  bytes::StoreLe32(out + kCrcAt, record.archive.directoryCrc32);
  bytes::StoreLe32(out + kChecksumAt, bytes::Fnv1a32(out, kChecksumAt));
  return std::string(reinterpret_cast<const char*>(out), kTreeRecordSize);
}

std::optional<TreeRecord> DecodeTreeRecord(std::string_view bytes) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < kTreeRecordSize || bytes.substr(0, kMagicSize) != kRecordMagic ||
      bytes::LoadLe32(in + kVersionAt) != kRecordVersion ||
      bytes::LoadLe32(in + kChecksumAt) != bytes::Fnv1a32(in, kChecksumAt)) {
    return std::nullopt;
  }
  const std::uint32_t flags = bytes::LoadLe32(in + kFlagsAt);
  TreeRecord record;
  record.createdByRun = (flags & kFlagCreatedByRun) != 0;
  record.complete = (flags & kFlagComplete) != 0;
  record.folder.volume = bytes::LoadLe64(in + kVolumeAt);
  record.folder.file = bytes::LoadLe64(in + kFileAt);
  record.archive.length = bytes::LoadLe64(in + kLengthAt);
  record.archive.directoryCrc32 = bytes::LoadLe32(in + kCrcAt);
  return record;
}

TreePlan PlanTree(const TreeFacts& facts, const ArchiveIdentity& archive) {
  const bool recordDescribesFolder =
      facts.record && facts.atPath && *facts.atPath == facts.record->folder;
  if (!facts.somethingAtPath) {
    // Whoever uses it now has removed it: a new folder disturbs nobody.
    return TreePlan::kUnpackIntoNewFolder;
  }
  if (!facts.inUse) {
    return recordDescribesFolder && facts.record->createdByRun ? TreePlan::kReplaceStaleTree
                                                               : TreePlan::kUnpackIntoUsersFolder;
  }
  if (recordDescribesFolder && facts.record->complete && facts.record->archive == archive) {
    return TreePlan::kUseInPlace;
  }
  return TreePlan::kRefuseTreeOfOtherRuns;
}

fs::path LockFilePath(const fs::path& destination) {
  return fs::path(destination) += ".lock";
}

SharedDestination::SharedDestination(const std::wstring& destination,
                                     const ArchiveIdentity& archive, void (*whileWaiting)())
    : destination_(destination),
      destinationPath_(WideToPath(destination)),
      lockPath_(LockFilePath(destinationPath_)),
      archive_(archive) {
  // The lock file lies beside the destination: its folder passes the same
  // rule first, and a refusal reads the same.
  CheckDestinationParent(destinationPath_);
  EnterGate(whileWaiting);
  try {
    TreeFacts facts;
    facts.inUse = !NobodyUsesTree();
    facts.record = DecodeTreeRecord(file_->ReadStart(kTreeRecordSize));
    facts.somethingAtPath = PathExists(destination_);
    facts.atPath = IdentityAt(destinationPath_);
    plan_ = PlanTree(facts, archive_);
    if (plan_ == TreePlan::kRefuseTreeOfOtherRuns) {
      RefuseToUnpack(destinationPath_,
                     "another run's application is using it, and it does not hold this archive "
                     "whole");
    }
    record_ = facts.record.value_or(TreeRecord{});
  } catch (...) {
    Finish(false);
    throw;
  }
}

SharedDestination::~SharedDestination() {
  try {
    LeaveAs(false);
    if (file_) {
      Finish(false);
    }
  } catch (...) {
    // The locks go with the file in any case.
  }
}

void SharedDestination::EnterGate(void (*whileWaiting)()) {
  auto giveUp = std::chrono::steady_clock::now() + kRemovedNameWait;
  for (;;) {
    file_ = std::make_unique<SharedLockFile>();
    std::error_code error;
    if (file_->Open(lockPath_, destinationPath_, error)) {
      while (!file_->TryLock(kGateOffset, true)) {
        PauseBeforeRetry(whileWaiting);
      }
      // The last run out removes the file with the gate held; one opened
      // before that is no longer the lock.
      if (file_->StillNamed()) {
        return;
      }
      giveUp = std::chrono::steady_clock::now() + kRemovedNameWait;
    } else if (!SharedLockFile::MayBeRemovedName(error) ||
               std::chrono::steady_clock::now() >= giveUp) {
      file_.reset();
      if (error == std::errc::permission_denied && !PathExists(destination_)) {
        // Neither the lock file nor the destination can be made here: the
        // user would meet the latter's refusal without the former.
        throw fs::filesystem_error("create_directories", destinationPath_, error);
      }
      throw fs::filesystem_error("open", lockPath_, error);
    }
    // Every holder of a removed file lets it go, so that it can go.
    file_.reset();
    PauseBeforeRetry(whileWaiting);
  }
}

bool SharedDestination::NobodyUsesTree() {
  if (!file_->TryLock(kUsersOffset, true)) {
    return false;
  }
  file_->Unlock(kUsersOffset);
  return true;
}

void SharedDestination::WriteRecord(const TreeRecord& record) {
  record_ = record;
  file_->WriteStart(EncodeTreeRecord(record_));
}

bool SharedDestination::RunsTreeStands() {
  const std::optional<TreeRecord> record = DecodeTreeRecord(file_->ReadStart(kTreeRecordSize));
  return record && record->createdByRun && IdentityAt(destinationPath_) == record->folder;
}

void SharedDestination::PrepareForUnpacking() {
  if (plan_ == TreePlan::kReplaceStaleTree) {
    RemoveDestinationTree(destination_);
    WriteRecord(TreeRecord{});
  }
  record_ = TreeRecord{};
  if (plan_ != TreePlan::kUnpackIntoUsersFolder) {
    record_.createdByRun = CreateDestinationFolder(destinationPath_);
  }
  record_.folder = IdentityAt(destinationPath_).value_or(FolderIdentity{});
  record_.archive = archive_;
  WriteRecord(record_);
}

void SharedDestination::UnpackingEnded() {
  record_.complete = true;
  WriteRecord(record_);
}

void SharedDestination::DiscardTree() {
  if (record_.createdByRun) {
    RemoveDestinationTree(destination_);
    WriteRecord(TreeRecord{});
  }
}

void SharedDestination::DiscardEmptyFolder() {
  try {
    std::error_code error;
    // fs::remove takes a folder only while it is empty.
    if (record_.createdByRun && fs::remove(destinationPath_, error)) {
      WriteRecord(TreeRecord{});
    }
  } catch (...) {
    // What stays is recorded as a run's and goes with a later run.
  }
}

void SharedDestination::BeginUse() {
  if (!file_->TryLock(kUsersOffset, false)) {
    // Nobody holds it exclusively for longer than a try, under the gate.
    throw fs::filesystem_error("lock", lockPath_,
                               std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  using_ = true;
  file_->Unlock(kGateOffset);
}

void SharedDestination::LeaveAs(bool removeTree) {
  if (!using_) {
    return;
  }
  // The holders of the gate wait for nothing else, so this wait is short.
  while (!file_->TryLock(kGateOffset, true)) {
    PauseBeforeRetry(nullptr);
  }
  file_->Unlock(kUsersOffset);
  using_ = false;
  Finish(removeTree);
}

void SharedDestination::Finish(bool removeTree) {
  if (NobodyUsesTree()) {
    if (removeTree && RunsTreeStands()) {
      RemoveDestinationTree(destination_);
    }
    // A run's tree that stays keeps its record, so that a later run knows it.
    if (!RunsTreeStands()) {
      file_->Remove();
    }
  }
  file_.reset();
}

std::vector<std::string> FolderWalker::Components(const std::string& name) {
  std::vector<std::string> parts;
  for (const std::string_view part : SplitPathLevels(name)) {
    if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
  }
  return parts;
}

FolderWalker::Step FolderWalker::EnterParent(const std::vector<std::string>& parts,
                                             std::error_code& error) {
  const std::size_t count = parts.size() - 1;
  for (std::size_t i = Restart(parts, count); i < count; ++i) {
    const Step step = Enter(parts[i], error);
    if (step != Step::kEntered) {
      return step;
    }
  }
  return Step::kEntered;
}

bool FolderWalker::EnterParentOfFile(const std::string& name, std::string& last,
                                     std::intptr_t& file, std::error_code& error) {
  file = -1;
  error.clear();
  const std::vector<std::string> parts = Components(name);
  if (parts.empty()) {
    error = FolderItself();
    return false;
  }
  last = parts.back();
  return EnterParent(parts, error) == Step::kEntered;
}

bool FolderWalker::CreateFolder(const std::string& name) {
  const std::vector<std::string> parts = Components(name);
  if (parts.empty()) {
    return true;  // the walker's own folder
  }
  std::error_code error;
  Step step = EnterParent(parts, error);
  if (step == Step::kEntered) {
    step = MakeLast(parts.back(), error);
  }
  if (step == Step::kEntered || step == Step::kLink) {
    return step == Step::kEntered;
  }
  throw fs::filesystem_error("create_directory", Below(path_, parts, parts.size()), error);
}

bool FolderWalker::CreateParents(const std::string& name) {
  const std::vector<std::string> parts = Components(name);
  const std::size_t count = parts.empty() ? 0 : parts.size() - 1;
  for (std::size_t i = Restart(parts, count); i < count; ++i) {
    std::error_code error;
    Step step = Enter(parts[i], error);
    const char* operation = "exists";
    if (step == Step::kMissing) {
      // Made here or by someone else meanwhile: entered the same way.
      operation = "create_directories";
      step = Make(parts[i], error) ? Enter(parts[i], error) : Step::kFailed;
    }
    if (step == Step::kLink) {
      return false;
    }
    if (step != Step::kEntered) {
      throw fs::filesystem_error(step == Step::kNotFolder ? "create_directories" : operation,
                                 Below(path_, parts, i + 1), error);
    }
  }
  return true;
}

bool FolderWalker::CreateFileForWriting(const std::string& name, std::uint32_t posixMode,
                                        std::intptr_t& file, std::error_code& error) {
  std::string last;
  return EnterParentOfFile(name, last, file, error) && CreateFileHere(last, posixMode, file, error);
}

bool FolderWalker::OpenExisting(const std::string& name, std::intptr_t& file,
                                std::error_code& error) {
  std::string last;
  return EnterParentOfFile(name, last, file, error) && OpenHere(last, file, error);
}
