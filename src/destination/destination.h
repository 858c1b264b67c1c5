// The destination folder <temp>/<app-name>: its path, checks, creation and removal, and how runs
// with the same application name share it.
//
// Runs overlap and die (SIGKILL, a crash, a power cut), so the folder's lifetime is kept by locks
// on <temp>/<app-name>.lock (LockFilePath), which die with their process: nothing goes stale. The
// file starts with the TreeRecord, written only under the gate; past it lie two one-byte locks: the
// gate (kGateOffset, exclusive), held by one run at a time while it decides, unpacks and joins the
// users, or leaves; the users (kUsersOffset, shared), held by every run whose application may run
// from the tree, from before it leaves the gate until it has left. A run:
//  1. waits for the gate, polling so that an interruption still stops it, and
//     when the last run out removed its file, opens the new one and waits again;
//  2. decides under the gate, where users can only leave (TreePlan);
//  3. unpacks if so decided, the record saying "incomplete" until it ends;
//  4. takes the users' lock, leaves the gate, and starts the application;
//  5. once it has ended, takes the gate, drops its users' lock and tries that
//     lock exclusively without waiting: if it can, it is the last one out and
//     removes the tree if a run created it, then the lock file; else the last
//     of the others will.
// A holder of the gate waits for nothing else, so no two runs wait for each other. An interrupted
// unpacking removes the tree its run created (nobody else uses it). A failed launch, or an error
// that left part of a new tree, keeps the tree, its record and the lock file for the next run to
// replace and the last run out to remove; a new folder left empty goes at once. An application
// whose starter was killed is no user: a later run may remove the tree under it (on Windows that
// fails on its open files).
#ifndef STARTER_DESTINATION_DESTINATION_H
#define STARTER_DESTINATION_DESTINATION_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

/// The user's temporary directory, checked to be one. POSIX: the first non-empty of TMPDIR, TMP,
/// TEMP, TEMPDIR (ignored with raised privileges), else /tmp, refused with '\' or '"' or when not
/// UTF-8. Throws std::filesystem::filesystem_error naming "temp_directory_path" and the path.
std::filesystem::path TemporaryDirectory();

/// TemporaryDirectory() with `appName` appended as text, after a separator unless it ends in one.
/// Throws what TemporaryDirectory throws.
std::wstring MakeDestinationPath(const std::wstring& appName);

/// True when anything, a dangling link included, stands at `path`; any probe failure but "not
/// found" counts as presence. Never throws.
bool PathExists(const std::wstring& path);

/// Checks, touching nothing, that the existing folder `path` may receive what will be run. POSIX:
/// its parent (and the link the parent may be) must be the user's or root's and closed to writes by
/// group and others or sticky; `path` must be a real folder, the user's, not writable by group or
/// others. Windows: a folder and no reparse point; the parent is not checked. Throws
/// std::runtime_error("Refusing to unpack into <path>: <why>") when not, <why> beginning "its
/// parent <parent> " for the parent.
void CheckDestinationFolder(const std::filesystem::path& path);

/// Throws std::runtime_error("Refusing to unpack into <path>: <why>").
[[noreturn]] void RefuseToUnpack(const std::filesystem::path& path, const std::string& why);

/// CheckDestinationFolder's rule for the parent of `path` (none on Windows).
void CheckDestinationParent(const std::filesystem::path& path);

/// Creates the missing folder `path` and its parents. POSIX: the parent must pass
/// CheckDestinationParent first and the folder gets mode 0700; one made by someone else meanwhile
/// must pass CheckDestinationFolder. Returns whether this call made it. Throws
/// std::filesystem::filesystem_error naming "create_directories", and what CheckDestinationFolder
/// throws.
bool CreateDestinationFolder(const std::filesystem::path& path);

/// Removes the folder `path` and all beneath it, removing links (on Windows every reparse point)
/// met inside, never following them. A missing `path` is no error; an unreachable folder below it
/// is. Throws std::filesystem::filesystem_error naming "remove_all", the system's code and `path`
/// when something cannot be removed; what was not removed stays.
void RemoveDestinationTree(const std::wstring& path);

/// Tells which archive a tree came from: its length and the CRC-32 of its central directory (every
/// entry's name, sizes and CRC-32).
struct ArchiveIdentity {
  std::uint64_t length = 0;
  std::uint32_t directoryCrc32 = 0;
};
bool operator==(const ArchiveIdentity& a, const ArchiveIdentity& b);

/// Device and inode on POSIX, volume serial number and file index on Windows.
struct FolderIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
};
bool operator==(const FolderIdentity& a, const FolderIdentity& b);

/// The identity at `path`, not following a link; nothing when none can be queried. Never throws.
std::optional<FolderIdentity> IdentityAt(const std::filesystem::path& path);

/// The lock file's record of the tree.
struct TreeRecord {
  bool createdByRun = false;  // a run of a starter created the folder
  bool complete = false;      // the last unpacking into it ended
  FolderIdentity folder;      // the folder it describes
  ArchiveIdentity archive;    // what was last unpacked into it
};

/// Byte offsets in the lock file: the record at 0, the locks past it.
constexpr std::uint64_t kTreeRecordSize = 48;
constexpr std::uint64_t kGateOffset = 512;
constexpr std::uint64_t kUsersOffset = 513;

/// The record as kTreeRecordSize bytes, little-endian: "STARTLCK", the version 1 and the flags (bit
/// 0 created by a run, bit 1 complete) as 32 bits, the folder's volume and file and the archive's
/// length as 64 bits, its CRC-32, and an FNV-1a checksum of the 44 bytes before.
std::string EncodeTreeRecord(const TreeRecord& record);

/// The record in `bytes`; nothing when short, of another magic or version, or with a wrong
/// checksum, which counts as "no run created the folder".
std::optional<TreeRecord> DecodeTreeRecord(std::string_view bytes);

/// What a run does with the tree (step 2). "A run's" folder is one the record says (by identity) a
/// run created, recorded so when this run creates it.
enum class TreePlan {
  kUnpackIntoNewFolder,    // nothing there (even if in use): create it (0700 on POSIX)
  kReplaceStaleTree,       // a run's, unused (a dead run or failed launch left it)
  kUnpackIntoUsersFolder,  // unused, not a run's: the user's; unpack into, never remove
  kUseInPlace,             // in use, whole, from this archive: start it as it stands
  kRefuseTreeOfOtherRuns,  // in use, and not that: unpacking would change a running app
};

/// What a run finds under the gate.
struct TreeFacts {
  bool inUse = false;                    // another run holds the users' lock
  std::optional<TreeRecord> record;      // the lock file's record
  bool somethingAtPath = false;          // PathExists on the destination
  std::optional<FolderIdentity> atPath;  // IdentityAt the destination
};

/// Step 2 above, for this run's archive `archive`.
TreePlan PlanTree(const TreeFacts& facts, const ArchiveIdentity& archive);

/// `destination` with ".lock" appended.
std::filesystem::path LockFilePath(const std::filesystem::path& destination);

/// One open of the lock file (OFD locks on POSIX, LockFileEx on Windows). Its locks belong to this
/// open alone (two opens in one process exclude each other) and go when it is closed or its process
/// dies. Never inherited.
class SharedLockFile {
 public:
  SharedLockFile() = default;
  ~SharedLockFile();
  SharedLockFile(const SharedLockFile&) = delete;
  SharedLockFile& operator=(const SharedLockFile&) = delete;

  /// Opens `path` once, through no link, creating it empty (private to the user on POSIX) when
  /// missing. Returns false, `error` set, when the system refuses. Throws
  /// std::runtime_error("Refusing to unpack into <destination>: its lock file <path> <why>") for a
  /// link, no regular file, or (POSIX) another user's file or one others may write to.
  bool Open(const std::filesystem::path& path, const std::filesystem::path& destination,
            std::error_code& error);

  /// True when a failed Open's `error` may pass by itself: on Windows a removed lock file's name
  /// cannot be opened (ERROR_ACCESS_DENIED) until every open of it is closed. False on POSIX.
  static bool MayBeRemovedName(const std::error_code& error);

  /// Takes the one-byte lock at `offset` without waiting: false when another open holds it. Throws
  /// std::filesystem::filesystem_error on other failures.
  bool TryLock(std::uint64_t offset, bool exclusive);
  /// Never throws.
  void Unlock(std::uint64_t offset);

  /// True while the path still names this open's file (see Remove).
  bool StillNamed();

  /// Reading (up to `length` bytes) and writing at the start. Both throw
  /// std::filesystem::filesystem_error when the system fails.
  std::string ReadStart(std::size_t length);
  void WriteStart(const std::string& bytes);

  /// Removes the name; this open stays usable until closed. On Windows the file goes with its last
  /// open; since Wine still opens it and reports no pending removal, its start is marked so
  /// StillNamed is false. Never throws.
  void Remove();

  /// Releases every lock and the file. Never throws.
  void Close();

 private:
  std::filesystem::path path_;
  std::intptr_t handle_ = -1;  // descriptor (POSIX) or HANDLE (Windows)
};

/// One run's share of the destination, by the protocol above. Not copyable.
class SharedDestination {
 public:
  /// Opens (or creates) the lock file, waits for the gate (calling `whileWaiting` between tries:
  /// what it throws leaves, the gate not taken), and decides (plan). Throws
  /// std::runtime_error("Refusing to unpack into <destination>: <why>") for a parent failing
  /// CheckDestinationParent (the lock file's folder too), a lock file Open refuses, and
  /// kRefuseTreeOfOtherRuns; std::filesystem::filesystem_error when the lock file cannot be opened
  /// or read (naming "create_directories" and the destination when neither it nor the lock file
  /// exists or can be made).
  SharedDestination(const std::wstring& destination, const ArchiveIdentity& archive,
                    void (*whileWaiting)());
  /// As LeaveKeepingTree after BeginUse; before it, leaves the gate, removing the lock file when
  /// nobody uses the tree and no run's tree stands. Never throws.
  ~SharedDestination();
  SharedDestination(const SharedDestination&) = delete;
  SharedDestination& operator=(const SharedDestination&) = delete;

  TreePlan plan() const { return plan_; }
  bool MustUnpack() const { return plan_ != TreePlan::kUseInPlace; }

  /// Removes a stale tree, creates a missing folder, and records the folder (as a run's when this
  /// run made it), incomplete. Throws what RemoveDestinationTree and CreateDestinationFolder throw,
  /// and std::filesystem::filesystem_error when the record cannot be written.
  void PrepareForUnpacking();
  /// Records the tree as complete.
  void UnpackingEnded();
  /// After an interruption: removes the tree when this run created it. Throws what
  /// RemoveDestinationTree throws.
  void DiscardTree();
  /// After an error: removes the folder this run created while it is empty. Never throws.
  void DiscardEmptyFolder();

  /// Joins the users and leaves the gate. Throws std::filesystem::filesystem_error when the lock
  /// cannot be taken.
  void BeginUse();
  /// Once the application has ended: the last run out removes a run's tree and the lock file.
  /// Throws what RemoveDestinationTree throws (both then stay).
  void Leave() { LeaveAs(true); }
  /// After a failed launch: as Leave, but the tree stays, and with it the lock file when a run
  /// created the tree.
  void LeaveKeepingTree() { LeaveAs(false); }

 private:
  void EnterGate(void (*whileWaiting)());
  bool NobodyUsesTree();
  void WriteRecord(const TreeRecord& record);  // and keeps it as record_
  bool RunsTreeStands();
  void LeaveAs(bool removeTree);
  void Finish(bool removeTree);

  std::wstring destination_;
  std::filesystem::path destinationPath_;
  std::filesystem::path lockPath_;
  ArchiveIdentity archive_;
  std::unique_ptr<SharedLockFile> file_;  // none once it has left
  bool using_ = false;                    // between BeginUse and leaving
  TreePlan plan_ = TreePlan::kUnpackIntoNewFolder;
  TreeRecord record_;  // what this run wrote or found, while it holds the gate
};

#endif  // STARTER_DESTINATION_DESTINATION_H
