#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "destination/destination.h"
#include "testing/temp_folder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

constexpr ArchiveIdentity kArchive{4096, 0x12345678};
constexpr ArchiveIdentity kOtherArchive{4096, 0x87654321};
constexpr FolderIdentity kFolder{7, 42};

// --- the record ---------------------------------------------------------------

TreeRecord SampleRecord() {
  TreeRecord record;
  record.createdByRun = true;
  record.complete = true;
  record.folder = FolderIdentity{0x0102030405060708u, 0x1112131415161718u};
  record.archive = ArchiveIdentity{0x2122232425262728u, 0x31323334u};
  return record;
}

TEST(TreeRecord, ReadsBackWhatWasWritten) {
  const std::string bytes = EncodeTreeRecord(SampleRecord());
  ASSERT_EQ(bytes.size(), kTreeRecordSize);
  EXPECT_EQ(bytes.substr(0, 8), "STARTLCK");
  const std::optional<TreeRecord> read = DecodeTreeRecord(bytes);
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->createdByRun);
  EXPECT_TRUE(read->complete);
  EXPECT_EQ(read->folder, SampleRecord().folder);
  EXPECT_EQ(read->archive, SampleRecord().archive);

  TreeRecord plain;
  plain.complete = true;
  const std::optional<TreeRecord> readPlain = DecodeTreeRecord(EncodeTreeRecord(plain));
  ASSERT_TRUE(readPlain);
  EXPECT_FALSE(readPlain->createdByRun);
  EXPECT_TRUE(readPlain->complete);
}

TEST(TreeRecord, AnythingElseIsNoRecord) {
  const std::string bytes = EncodeTreeRecord(SampleRecord());
  EXPECT_FALSE(DecodeTreeRecord(""));
  EXPECT_FALSE(DecodeTreeRecord(bytes.substr(0, kTreeRecordSize - 1)));
  std::string otherMagic = bytes;
  otherMagic[0] = 'X';
  EXPECT_FALSE(DecodeTreeRecord(otherMagic));
  // Version 2 (the field right after the magic), checksum left as it was.
  std::string otherVersion = bytes;
  otherVersion[8] = 2;
  EXPECT_FALSE(DecodeTreeRecord(otherVersion));
  // One flipped bit in the folder's identity: the checksum no longer holds,
  // so a torn or tampered record never names a folder to remove.
  std::string flipped = bytes;
  flipped[24] = static_cast<char>(flipped[24] ^ 1);
  EXPECT_FALSE(DecodeTreeRecord(flipped));
}

// --- the decision ---------------------------------------------------------------

TreeFacts Found(bool inUse, std::optional<TreeRecord> record, std::optional<FolderIdentity> at) {
  TreeFacts facts;
  facts.inUse = inUse;
  facts.record = record;
  facts.somethingAtPath = at.has_value();
  facts.atPath = at;
  return facts;
}

TreeRecord RecordOf(bool createdByRun, bool complete, FolderIdentity folder,
                    ArchiveIdentity archive) {
  TreeRecord record;
  record.createdByRun = createdByRun;
  record.complete = complete;
  record.folder = folder;
  record.archive = archive;
  return record;
}

TEST(PlanTree, NothingThereIsUnpackedIntoANewFolder) {
  EXPECT_EQ(PlanTree(Found(false, std::nullopt, std::nullopt), kArchive),
            TreePlan::kUnpackIntoNewFolder);
  // A record of a tree since removed changes nothing.
  EXPECT_EQ(PlanTree(Found(false, RecordOf(true, true, kFolder, kArchive), std::nullopt), kArchive),
            TreePlan::kUnpackIntoNewFolder);
}

TEST(PlanTree, ARunsTreeNobodyUsesIsReplaced) {
  for (const bool complete : {false, true}) {
    for (const ArchiveIdentity archive : {kArchive, kOtherArchive}) {
      EXPECT_EQ(
          PlanTree(Found(false, RecordOf(true, complete, kFolder, archive), kFolder), kArchive),
          TreePlan::kReplaceStaleTree);
    }
  }
}

TEST(PlanTree, AFolderNoRunCreatedIsTheUsers) {
  // No record at all.
  EXPECT_EQ(PlanTree(Found(false, std::nullopt, kFolder), kArchive),
            TreePlan::kUnpackIntoUsersFolder);
  // Recorded as found, not created.
  EXPECT_EQ(PlanTree(Found(false, RecordOf(false, true, kFolder, kArchive), kFolder), kArchive),
            TreePlan::kUnpackIntoUsersFolder);
  // A run's record, but of another folder than the one there now.
  EXPECT_EQ(PlanTree(Found(false, RecordOf(true, true, FolderIdentity{7, 43}, kArchive), kFolder),
                     kArchive),
            TreePlan::kUnpackIntoUsersFolder);
  // Something there whose identity cannot be had.
  TreeFacts unknown = Found(false, RecordOf(true, true, kFolder, kArchive), std::nullopt);
  unknown.somethingAtPath = true;
  EXPECT_EQ(PlanTree(unknown, kArchive), TreePlan::kUnpackIntoUsersFolder);
}

TEST(PlanTree, ATreeInUseWholeFromTheSameArchiveIsUsedAsItStands) {
  EXPECT_EQ(PlanTree(Found(true, RecordOf(true, true, kFolder, kArchive), kFolder), kArchive),
            TreePlan::kUseInPlace);
  // The user's folder, unpacked whole from this archive by a live run.
  EXPECT_EQ(PlanTree(Found(true, RecordOf(false, true, kFolder, kArchive), kFolder), kArchive),
            TreePlan::kUseInPlace);
}

TEST(PlanTree, ATreeInUseThatIsNotThatIsLeftAlone) {
  EXPECT_EQ(PlanTree(Found(true, RecordOf(true, true, kFolder, kOtherArchive), kFolder), kArchive),
            TreePlan::kRefuseTreeOfOtherRuns);
  EXPECT_EQ(PlanTree(Found(true, RecordOf(true, false, kFolder, kArchive), kFolder), kArchive),
            TreePlan::kRefuseTreeOfOtherRuns);
  EXPECT_EQ(PlanTree(Found(true, RecordOf(true, true, FolderIdentity{8, 42}, kArchive), kFolder),
                     kArchive),
            TreePlan::kRefuseTreeOfOtherRuns);
  EXPECT_EQ(PlanTree(Found(true, std::nullopt, kFolder), kArchive),
            TreePlan::kRefuseTreeOfOtherRuns);
}

// --- the lock file ----------------------------------------------------------------

struct LockFixture {
  TempFolder temp;
  fs::path destination = temp / "app";
  fs::path lock = LockFilePath(destination);
};

TEST(LockFile, TwoOpensInOneProcessExcludeEachOther) {
  LockFixture f;
  SharedLockFile first;
  SharedLockFile second;
  std::error_code error;
  ASSERT_TRUE(first.Open(f.lock, f.destination, error)) << error.message();
  ASSERT_TRUE(second.Open(f.lock, f.destination, error)) << error.message();

  ASSERT_TRUE(first.TryLock(kGateOffset, true));
  EXPECT_FALSE(second.TryLock(kGateOffset, true));
  EXPECT_FALSE(second.TryLock(kGateOffset, false));
  // Another byte is another lock; shared ones go together.
  EXPECT_TRUE(first.TryLock(kUsersOffset, false));
  EXPECT_TRUE(second.TryLock(kUsersOffset, false));
  second.Unlock(kUsersOffset);
  first.Unlock(kUsersOffset);
  EXPECT_TRUE(second.TryLock(kUsersOffset, true));
  EXPECT_FALSE(first.TryLock(kUsersOffset, false));
  second.Unlock(kUsersOffset);

  first.Unlock(kGateOffset);
  EXPECT_TRUE(second.TryLock(kGateOffset, true));
  second.Unlock(kGateOffset);
  ASSERT_TRUE(first.TryLock(kGateOffset, true));
  // Closing releases every lock of that open.
  first.Close();
  EXPECT_TRUE(second.TryLock(kGateOffset, true));
}

TEST(LockFile, HoldsItsRecordBesideTheLocks) {
  LockFixture f;
  SharedLockFile writer;
  SharedLockFile reader;
  std::error_code error;
  ASSERT_TRUE(writer.Open(f.lock, f.destination, error));
  ASSERT_TRUE(reader.Open(f.lock, f.destination, error));
  EXPECT_EQ(reader.ReadStart(kTreeRecordSize), "");
  // The record is read and written while the locks are held, by others too.
  ASSERT_TRUE(writer.TryLock(kGateOffset, true));
  ASSERT_TRUE(reader.TryLock(kUsersOffset, false));
  writer.WriteStart(EncodeTreeRecord(SampleRecord()));
  EXPECT_EQ(reader.ReadStart(kTreeRecordSize), EncodeTreeRecord(SampleRecord()));
}

TEST(LockFile, AnOpenOfARemovedFileIsNoLongerNamed) {
  LockFixture f;
  SharedLockFile remover;
  SharedLockFile other;
  std::error_code error;
  ASSERT_TRUE(remover.Open(f.lock, f.destination, error));
  ASSERT_TRUE(other.Open(f.lock, f.destination, error));
  EXPECT_TRUE(other.StillNamed());
  // As the last run out does: with the gate held, then closing.
  ASSERT_TRUE(remover.TryLock(kGateOffset, true));
  remover.Remove();
  remover.Close();
  ASSERT_TRUE(other.TryLock(kGateOffset, true));
  EXPECT_FALSE(other.StillNamed());
  other.Close();
  // A run that comes now makes a new file.
  SharedLockFile next;
  ASSERT_TRUE(next.Open(f.lock, f.destination, error)) << error.message();
  EXPECT_TRUE(next.StillNamed());
  EXPECT_EQ(next.ReadStart(kTreeRecordSize), "");
  next.Remove();
  next.Close();
  EXPECT_FALSE(fs::exists(f.lock));
}

// --- runs sharing the destination ---------------------------------------------------

void NeverInterrupted() {}

struct Interrupt {};
void InterruptNow() {
  throw Interrupt{};
}

struct RunFixture {
  TempFolder temp;
  fs::path destinationPath = temp / "app";
  std::wstring destination = PathToWide(destinationPath);
  fs::path lock = LockFilePath(destinationPath);

  // What an unpacking writes.
  void Unpack(SharedDestination& run, const std::string& content = "whole") {
    run.PrepareForUnpacking();
    testing_support::WriteFileBytes(destinationPath / "file.txt", content);
    run.UnpackingEnded();
  }
  std::string Content() const {
    return testing_support::ReadFileBytes(destinationPath / "file.txt");
  }
  // Read the way runs read it: on Windows a read that reaches a locked byte
  // fails.
  std::optional<TreeRecord> Record() const {
    SharedLockFile reader;
    std::error_code error;
    if (!reader.Open(lock, destinationPath, error)) {
      return std::nullopt;
    }
    return DecodeTreeRecord(reader.ReadStart(kTreeRecordSize));
  }
};

TEST(SharedDestination, ALoneRunCreatesUnpacksAndRemovesEverything) {
  RunFixture f;
  {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    EXPECT_EQ(run.plan(), TreePlan::kUnpackIntoNewFolder);
    EXPECT_TRUE(run.MustUnpack());
    f.Unpack(run);
    const std::optional<TreeRecord> record = f.Record();
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->createdByRun);
    EXPECT_TRUE(record->complete);
    EXPECT_EQ(record->folder, IdentityAt(f.destinationPath));
    EXPECT_EQ(record->archive, kArchive);
    run.BeginUse();
    run.Leave();
  }
  EXPECT_FALSE(fs::exists(f.destinationPath));
  EXPECT_FALSE(fs::exists(f.lock));
  EXPECT_TRUE(fs::is_empty(f.temp.path()));
}

TEST(SharedDestination, ASecondRunUsesTheTreeInUseAndTheLastOneOutRemovesIt) {
  RunFixture f;
  SharedDestination first(f.destination, kArchive, NeverInterrupted);
  f.Unpack(first);
  first.BeginUse();

  SharedDestination second(f.destination, kArchive, NeverInterrupted);
  EXPECT_EQ(second.plan(), TreePlan::kUseInPlace);
  EXPECT_FALSE(second.MustUnpack());
  second.BeginUse();

  first.Leave();
  EXPECT_EQ(f.Content(), "whole") << "removed while the second run uses it";
  second.Leave();
  EXPECT_FALSE(fs::exists(f.destinationPath));
  EXPECT_FALSE(fs::exists(f.lock));
}

TEST(SharedDestination, ARunOfAnotherArchiveIsRefusedWhileTheTreeIsInUse) {
  RunFixture f;
  SharedDestination first(f.destination, kArchive, NeverInterrupted);
  f.Unpack(first);
  first.BeginUse();
  try {
    SharedDestination other(f.destination, kOtherArchive, NeverInterrupted);
    FAIL() << "not refused";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("Refusing to unpack into"), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(f.Content(), "whole");
  // The refused run took nothing with it: the gate is free again.
  first.Leave();
  EXPECT_FALSE(fs::exists(f.destinationPath));
  EXPECT_FALSE(fs::exists(f.lock));
}

TEST(SharedDestination, AWaitForTheGateEndsWithWhatTheCallbackThrows) {
  RunFixture f;
  SharedDestination first(f.destination, kArchive, NeverInterrupted);
  EXPECT_THROW(SharedDestination(f.destination, kArchive, InterruptNow), Interrupt);
  f.Unpack(first);
  first.BeginUse();
  first.Leave();
  EXPECT_TRUE(fs::is_empty(f.temp.path()));
}

TEST(SharedDestination, AFailedLaunchKeepsTheTreeAndTheNextRunReplacesIt) {
  RunFixture f;
  {
    SharedDestination failed(f.destination, kArchive, NeverInterrupted);
    f.Unpack(failed, "from the older archive");
    testing_support::WriteFileBytes(f.destinationPath / "extra.txt", "not in the newer one");
    failed.BeginUse();
    failed.LeaveKeepingTree();
  }
  EXPECT_EQ(f.Content(), "from the older archive");
  ASSERT_TRUE(f.Record());
  EXPECT_TRUE(f.Record()->createdByRun);

  SharedDestination next(f.destination, kOtherArchive, NeverInterrupted);
  EXPECT_EQ(next.plan(), TreePlan::kReplaceStaleTree);
  next.PrepareForUnpacking();
  EXPECT_FALSE(fs::exists(f.destinationPath / "extra.txt")) << "the older tree was not removed";
  EXPECT_FALSE(fs::exists(f.destinationPath / "file.txt"));
  testing_support::WriteFileBytes(f.destinationPath / "file.txt", "newer");
  next.UnpackingEnded();
  next.BeginUse();
  next.Leave();
  EXPECT_TRUE(fs::is_empty(f.temp.path()));
}

TEST(SharedDestination, TheUsersFolderIsUnpackedIntoAndKept) {
  RunFixture f;
  fs::create_directory(f.destinationPath);
  testing_support::WriteFileBytes(f.destinationPath / "mine.txt", "keep me");
  {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    EXPECT_EQ(run.plan(), TreePlan::kUnpackIntoUsersFolder);
    f.Unpack(run);
    EXPECT_FALSE(f.Record()->createdByRun);
    run.BeginUse();
    run.Leave();
  }
  EXPECT_EQ(testing_support::ReadFileBytes(f.destinationPath / "mine.txt"), "keep me");
  EXPECT_EQ(f.Content(), "whole");
  EXPECT_FALSE(fs::exists(f.lock));
  // And so again: a folder no run created never becomes a run's.
  SharedDestination again(f.destination, kArchive, NeverInterrupted);
  EXPECT_EQ(again.plan(), TreePlan::kUnpackIntoUsersFolder);
}

TEST(SharedDestination, AnInterruptedUnpackingRemovesTheTreeItCreated) {
  RunFixture f;
  {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    run.PrepareForUnpacking();
    testing_support::WriteFileBytes(f.destinationPath / "part.txt", "half");
    run.DiscardTree();
  }
  EXPECT_TRUE(fs::is_empty(f.temp.path()));
}

TEST(SharedDestination, AnInterruptedUnpackingKeepsTheUsersFolder) {
  RunFixture f;
  fs::create_directory(f.destinationPath);
  {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    run.PrepareForUnpacking();
    testing_support::WriteFileBytes(f.destinationPath / "part.txt", "half");
    run.DiscardTree();
  }
  EXPECT_TRUE(fs::exists(f.destinationPath / "part.txt"));
  EXPECT_FALSE(fs::exists(f.lock));
}

TEST(SharedDestination, AnErrorLeavesNoEmptyFolderButKeepsAPartialTreeAsARuns) {
  RunFixture f;
  {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    run.PrepareForUnpacking();
    run.DiscardEmptyFolder();
  }
  EXPECT_TRUE(fs::is_empty(f.temp.path()));
  {
    SharedDestination run(f.destination, kArchive, NeverInterrupted);
    run.PrepareForUnpacking();
    testing_support::WriteFileBytes(f.destinationPath / "part.txt", "half");
    run.DiscardEmptyFolder();
  }
  EXPECT_TRUE(fs::exists(f.destinationPath / "part.txt"));
  ASSERT_TRUE(f.Record());
  EXPECT_TRUE(f.Record()->createdByRun);
  EXPECT_FALSE(f.Record()->complete);
  SharedDestination next(f.destination, kArchive, NeverInterrupted);
  EXPECT_EQ(next.plan(), TreePlan::kReplaceStaleTree);
}

}  // namespace
