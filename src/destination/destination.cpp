#include "destination/destination.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "bytes/bytes.h"
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

// How often a run waiting for the gate tries again; and how long it waits for
// a removed lock file's name to come free (Windows keeps the name until every
// open of the removed file is closed, which runs then do within a try or two).
constexpr std::chrono::milliseconds kRetryInterval{5};
constexpr std::chrono::seconds kRemovedNameWait{30};

// Calls `whileWaiting` (when given; what it throws leaves), then sleeps.
void PauseBeforeRetry(void (*whileWaiting)()) {
  if (whileWaiting != nullptr) {
    whileWaiting();
  }
  std::this_thread::sleep_for(kRetryInterval);
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

void SharedDestination::OpenLockFile(void (*whileWaiting)()) {
  const auto giveUp = std::chrono::steady_clock::now() + kRemovedNameWait;
  for (;;) {
    file_ = std::make_unique<SharedLockFile>();
    std::error_code error;
    if (file_->Open(lockPath_, destinationPath_, error)) {
      return;
    }
    if (SharedLockFile::MayBeRemovedName(error) && std::chrono::steady_clock::now() < giveUp) {
      PauseBeforeRetry(whileWaiting);
      continue;
    }
    file_.reset();
    if (error == std::errc::permission_denied && !PathExists(destination_)) {
      // Neither the lock file nor the destination can be made here: the
      // user would meet the latter's refusal without the former.
      throw fs::filesystem_error("create_directories", destinationPath_, error);
    }
    throw fs::filesystem_error("open", lockPath_, error);
  }
}

void SharedDestination::EnterGate(void (*whileWaiting)()) {
  for (;;) {
    OpenLockFile(whileWaiting);
    while (!file_->TryLock(kGateOffset, true)) {
      PauseBeforeRetry(whileWaiting);
    }
    // The last run out removes the file with the gate held; one opened
    // before that is no longer the lock.
    if (file_->StillNamed()) {
      return;
    }
    // Every holder of the removed file lets it go, so that it can go.
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
