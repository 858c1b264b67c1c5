// The destination folder: where it is, whether it was there before the run,
// whether it may receive what is unpacked, its creation, its removal after
// the run, and how runs with the same application name share it.
//
// Sharing the folder. Every run with the same application name uses
// <temp>/<app-name>. Runs overlap (a second double-click, a build calling the
// same tool at once) and die (SIGKILL, a crash, a power cut), so the folder's
// lifetime is kept by a lock file beside it, <temp>/<app-name>.lock
// (LockFilePath), with the kernel as the only bookkeeper: a lock dies with the
// process that holds it, so nothing goes stale.
//
// The lock file is opened without following a link and is never inherited by
// the application. Its folder gets the destination's parent rule, and on POSIX
// the file itself must be a regular file of the user's that nobody else may
// write to. It holds two one-byte locks (OFD locks on POSIX, which belong to
// the open file and not to the process; LockFileEx on Windows) and a record:
//   - the gate (kGateOffset), exclusive: held by one run at a time while it
//     decides, unpacks and joins the users, and while it leaves;
//   - the users (kUsersOffset), shared: held by every run whose application
//     may be running from the tree, from before it leaves the gate until it
//     has left;
//   - the record (TreeRecord) at its start, written only under the gate.
//
// A run:
//   1. waits for the gate (polling, so that an interruption still stops it),
//      then checks that its file is still the one named, since the last run
//      out removes it (else it opens the new one and waits again);
//   2. decides (PlanTree) with the gate held, when users can only leave:
//        - nobody uses the tree: a folder that the record says a run created
//          (the same folder, by identity) is left by a dead run or a failed
//          launch: it is removed and unpacked afresh. No folder: it is
//          created (mode 0700 on POSIX) and recorded as a run's. Any other
//          folder is the user's: unpacked into as it is and never removed;
//        - a live run uses the tree: when the record says it is the folder
//          now there, unpacked whole from the same archive, the application
//          is started from it as it stands, writing nothing; otherwise the run
//          is refused, since unpacking would change files under a running
//          application (a tree its users removed themselves is made anew);
//   3. unpacks when step 2 says so, with the gate held; the record says
//      "incomplete" until the unpacking has ended;
//   4. takes the users' lock, leaves the gate, and starts the application;
//   5. once the application has ended, takes the gate again, drops its users'
//      lock and tries to take that lock exclusively without waiting. When it
//      can, it is the last one out: it removes the tree if a run created it,
//      and then the lock file. When it cannot, the last of the others will.
//
// A holder of the gate never waits for anything else, so no two runs wait for
// each other. A run interrupted while it unpacks removes the tree when it
// created it; nobody else uses a tree being unpacked. A failed launch, or an
// error that left part of a new tree, keeps the tree, its record and so the
// lock file: the next run unpacks it afresh, and the last run out removes it.
// A new folder left empty by an error is removed at once. So after the last
// run nothing of the runs is left in the temporary directory, unless a run
// failed or was killed with a tree it created (until the next run). An
// application whose starter was killed is no longer counted as a user: a
// later run may remove the tree under it (on Windows that fails on its open
// files).
//
// The last run out removes the lock file with the gate held. On POSIX the
// name goes at once; a run that opened the file before finds, once it has the
// gate, that its file is no longer the one named. On Windows the file goes
// once its last handle is closed, and meanwhile its name cannot be opened
// (such a run tries again for a while); Wine instead opens the same file
// until then and reports no pending removal, so the remover also marks the
// file's start as removed, and every run that finds the mark lets it go.
#ifndef STARTER_DESTINATION_DESTINATION_H
#define STARTER_DESTINATION_DESTINATION_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

/// The user's temporary directory as the platform reports it, checked to be an
/// existing directory. POSIX: the first of TMPDIR, TMP, TEMP and TEMPDIR that
/// is set to a non-empty text (ignored when the program runs with raised
/// privileges), else /tmp; its path must hold no '\' and no '"' and be
/// well-formed UTF-8, since the starter cannot pass such a path on unchanged.
/// Throws std::filesystem::filesystem_error naming "temp_directory_path", with
/// the path obtained, when the directory cannot be obtained, is not a
/// directory, or its path breaks that rule (the message then says why).
std::filesystem::path TemporaryDirectory();

/// The folder `appName` directly inside TemporaryDirectory(): its path with
/// `appName` appended as plain text, with one separator between them only when
/// that path does not end in one. Throws what TemporaryDirectory throws.
std::wstring MakeDestinationPath(const std::wstring& appName);

/// True when something (a folder, a file, a link, even a dangling one) stands
/// at `path`. Only a "not found" answer of the system counts as absence; any
/// other failure of the probe counts as presence, so that the run never
/// removes a folder whose absence it did not establish. Never throws.
bool PathExists(const std::wstring& path);

/// Checks that the existing folder `path` may receive what the starter will
/// run, touching nothing. POSIX, where the temporary directory is often shared
/// by all users: its parent (and the symbolic link the parent may be) must
/// belong to the user running the starter or to root and either be closed to
/// writes by group and others or be sticky, as /tmp is; `path` itself must be
/// a real folder (not a symbolic link), owned by the user running the starter,
/// and not writable by group or others. Windows: it must be a folder and not a
/// reparse point (a symbolic link or junction); its parent is not checked.
/// Throws std::runtime_error("Refusing to unpack into <path>: <why>") when not;
/// for the parent, <why> begins "its parent <parent> ".
void CheckDestinationFolder(const std::filesystem::path& path);

/// Throws std::runtime_error("Refusing to unpack into <path>: <why>"), the
/// path as UTF-8: the refusal of every check here.
[[noreturn]] void RefuseToUnpack(const std::filesystem::path& path, const std::string& why);

/// Checks the folder that holds `path` by CheckDestinationFolder's rule for
/// parents (on Windows there is none), throwing what it throws.
void CheckDestinationParent(const std::filesystem::path& path);

/// Creates the missing folder `path` and its missing parents. On POSIX the
/// parent must pass CheckDestinationFolder's rule for parents before the
/// folder itself is made, with mode 0700; when someone else creates it first,
/// it must pass CheckDestinationFolder. Returns true when this call made the
/// folder, false when it found one made meanwhile. Throws
/// std::filesystem::filesystem_error naming "create_directories" when it
/// cannot be created, and what CheckDestinationFolder throws.
bool CreateDestinationFolder(const std::filesystem::path& path);

/// Removes the folder `path` and everything beneath it, contents first.
/// Symbolic links (and on Windows every reparse point) met inside are removed
/// themselves, never followed. Depth is no limit (on Windows the tree is
/// walked in the \\?\ long-path form). A missing `path` is no error; below
/// it, a folder that cannot be reached is one. Throws
/// std::filesystem::filesystem_error naming "remove_all" with the system's code
/// and `path` when something cannot be removed; what was not removed stays.
void RemoveDestinationTree(const std::wstring& path);

/// What tells one archive from another well enough to know whether a tree was
/// unpacked from it: its length and the CRC-32 of its central directory (which
/// holds every entry's name, sizes and CRC-32).
struct ArchiveIdentity {
  std::uint64_t length = 0;
  std::uint32_t directoryCrc32 = 0;
};
bool operator==(const ArchiveIdentity& a, const ArchiveIdentity& b);

/// What stands at a path, on its volume: device and inode on POSIX, volume
/// serial number and file index on Windows.
struct FolderIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
};
bool operator==(const FolderIdentity& a, const FolderIdentity& b);

/// The identity of what stands at `path`, without following a link; nothing
/// when nothing stands there or it cannot be queried. Never throws.
std::optional<FolderIdentity> IdentityAt(const std::filesystem::path& path);

/// The lock file's record of the tree.
struct TreeRecord {
  bool createdByRun = false;  // a run of a starter created the folder
  bool complete = false;      // the last unpacking into it ended
  FolderIdentity folder;      // the folder it describes
  ArchiveIdentity archive;    // what was last unpacked into it
};

/// Byte offsets in the lock file: the record at 0, the gate and the users'
/// locks past it.
constexpr std::uint64_t kTreeRecordSize = 48;
constexpr std::uint64_t kGateOffset = 512;
constexpr std::uint64_t kUsersOffset = 513;

/// The record as kTreeRecordSize bytes: the magic "STARTLCK", the format
/// version 1 and the flags (bit 0 created by a run, bit 1 complete) as 32-bit
/// values, the folder's volume and file, the archive's length (64-bit each),
/// the archive's CRC-32, and an FNV-1a checksum of the 44 bytes before it.
/// All little-endian.
std::string EncodeTreeRecord(const TreeRecord& record);

/// The record in `bytes`; nothing when they are not one (empty, short, another
/// magic or version, a wrong checksum), which counts as "no run created the
/// folder".
std::optional<TreeRecord> DecodeTreeRecord(std::string_view bytes);

/// What a run does with the tree, decided under the gate.
enum class TreePlan {
  kUnpackIntoNewFolder,    // nothing there: create the folder, unpack
  kReplaceStaleTree,       // a run's tree nobody uses: remove it, unpack afresh
  kUnpackIntoUsersFolder,  // a folder no run created: unpack into it, keep it
  kUseInPlace,             // in use, whole, from this archive: unpack nothing
  kRefuseTreeOfOtherRuns,  // in use, and not that: leave it alone
};

/// What a run finds under the gate.
struct TreeFacts {
  bool inUse = false;                    // another run holds the users' lock
  std::optional<TreeRecord> record;      // the lock file's record
  bool somethingAtPath = false;          // PathExists on the destination
  std::optional<FolderIdentity> atPath;  // IdentityAt the destination
};

/// The decision of step 2 above, for this run's archive `archive`.
TreePlan PlanTree(const TreeFacts& facts, const ArchiveIdentity& archive);

/// The lock file of the destination `destination`: its path with ".lock"
/// appended.
std::filesystem::path LockFilePath(const std::filesystem::path& destination);

/// One open of the lock file (the platform's part of the protocol above). Its locks belong to this
/// open alone (two opens in one process exclude each other like two processes) and go when it is
/// closed or its process dies. Never inherited by a child process. Not
/// copyable; the destructor closes.
class SharedLockFile {
 public:
  SharedLockFile() = default;
  ~SharedLockFile();
  SharedLockFile(const SharedLockFile&) = delete;
  SharedLockFile& operator=(const SharedLockFile&) = delete;

  /// Opens `path`, creating it (empty, private to the user on POSIX) when
  /// missing, never through a link. Returns false, with `error` set, when the
  /// system refuses (see MayBeRemovedName). Throws std::runtime_error
  /// ("Refusing to unpack into <destination>: its lock file <path> <why>")
  /// when what stands there is a link, no regular file, or (POSIX) another
  /// user's or writable by others. Call once.
  bool Open(const std::filesystem::path& path, const std::filesystem::path& destination,
            std::error_code& error);

  /// True when a failed Open's `error` may pass by itself: on Windows the name
  /// of a removed lock file that others still hold open cannot be opened
  /// (ERROR_ACCESS_DENIED) until they have closed it. False on POSIX.
  static bool MayBeRemovedName(const std::error_code& error);

  /// Takes the one-byte lock at `offset`, exclusive or shared, without
  /// waiting: false when another open holds a conflicting lock. Throws
  /// std::filesystem::filesystem_error on any other failure.
  bool TryLock(std::uint64_t offset, bool exclusive);
  /// Releases the lock at `offset`. Never throws.
  void Unlock(std::uint64_t offset);

  /// True while this open's file is still the one the path names (the last
  /// run out removes it, and another may have created a new one since).
  bool StillNamed();

  /// The first `length` bytes of the file (fewer when it is shorter), and
  /// writing `bytes` at its start. Both throw
  /// std::filesystem::filesystem_error when the system fails them.
  std::string ReadStart(std::size_t length);
  void WriteStart(const std::string& bytes);

  /// Removes the file's name; this open stays usable until closed. On Windows
  /// the file goes once every open of it is closed, and its start is marked
  /// as removed, so that StillNamed is false for every open of it. Never
  /// throws.
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
  /// Opens (or creates) the lock file, waits for the gate (calling
  /// `whileWaiting` between attempts: what it throws leaves the call, the
  /// gate not taken), and decides what to do with the tree (Plan). Throws
  /// std::runtime_error("Refusing to unpack into <destination>: <why>") for a
  /// lock file that is a link, no regular file, another user's or writable by
  /// others, for a parent that fails CheckDestinationFolder's rule, and for
  /// kRefuseTreeOfOtherRuns; std::filesystem::filesystem_error when the lock
  /// file cannot be opened or read (naming "create_directories" with the
  /// destination's path when the temporary directory refuses new entries and
  /// the destination does not exist: the run could not create either).
  SharedDestination(const std::wstring& destination, const ArchiveIdentity& archive,
                    void (*whileWaiting)());
  /// Leaves as LeaveKeepingTree would when the run joined the users;
  /// otherwise leaves the gate, removing the lock file when nobody uses the
  /// tree and no tree a run created stands. Never throws.
  ~SharedDestination();
  SharedDestination(const SharedDestination&) = delete;
  SharedDestination& operator=(const SharedDestination&) = delete;

  TreePlan plan() const { return plan_; }
  /// True for the plans that unpack.
  bool MustUnpack() const { return plan_ != TreePlan::kUseInPlace; }

  /// Before unpacking: removes a stale tree, creates a missing folder, and
  /// records the folder (as a run's when this run created it), incomplete.
  /// Throws what RemoveDestinationTree and CreateDestinationFolder throw, and
  /// std::filesystem::filesystem_error when the record cannot be written.
  void PrepareForUnpacking();
  /// After the unpacking ended: records the tree as complete.
  void UnpackingEnded();
  /// After an interruption stopped the unpacking: removes the tree when this
  /// run created it (nobody else uses it). Throws what RemoveDestinationTree
  /// throws.
  void DiscardTree();
  /// After an error stopped the unpacking: removes the folder this run
  /// created when it is still empty. Never throws.
  void DiscardEmptyFolder();

  /// Joins the tree's users and leaves the gate. Throws
  /// std::filesystem::filesystem_error when the lock cannot be taken.
  void BeginUse();
  /// Once the application has ended: leaves; the last run out removes a tree
  /// a run created, and the lock file. Throws what RemoveDestinationTree
  /// throws (the tree and the lock file then stay).
  void Leave() { LeaveAs(true); }
  /// After a failed launch: leaves, keeping the tree; the last run out
  /// removes the lock file only when no run created the tree.
  void LeaveKeepingTree() { LeaveAs(false); }

 private:
  enum class State { kHoldingGate, kUsing, kLeaving, kGone };

  void OpenLockFile(void (*whileWaiting)());
  void EnterGate(void (*whileWaiting)());
  void Decide();
  bool NobodyUsesTree();
  void WriteRecord(const TreeRecord& record);  // and keeps it as record_
  bool RunsTreeStands();
  void LeaveAs(bool removeTree);
  void Finish(bool removeTree);

  std::wstring destination_;
  std::filesystem::path destinationPath_;
  std::filesystem::path lockPath_;
  ArchiveIdentity archive_;
  std::unique_ptr<SharedLockFile> file_;
  State state_ = State::kGone;
  TreePlan plan_ = TreePlan::kUnpackIntoNewFolder;
  TreeRecord record_;  // what this run wrote or found, while it holds the gate
};

#endif  // STARTER_DESTINATION_DESTINATION_H
