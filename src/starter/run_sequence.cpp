#include "starter/run_sequence.h"

#include <zlib.h>

#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

#include "destination/destination.h"
#include "extract/extract.h"
#include "interruption/interruption.h"
#include "payload/payload.h"
#include "starter/child_process.h"
#include "starter/identity_block.h"
#include "zip/zip_reader.h"

namespace {

constexpr const char* kBanner = "VORTAKEN-Cruncher decrunches while loading...";

// Flushed at once, so the banner precedes the extraction's and the child's
// output even when standard output is a pipe or a file.
void WriteBanner() {
  std::wcout << kBanner << "\n" << std::flush;
}

// Unpacks the archive and ends the extraction phase. After an interruption
// what this run created is removed; after an error what was written stays,
// but not a new folder left empty.
void UnpackOrCleanUp(const Payload& payload, const std::wstring& destination,
                     SharedDestination& tree) {
  tree.PrepareForUnpacking();
  try {
    ExtractPayload(payload.bytes, payload.length, destination.c_str());
    tree.UnpackingEnded();
    EndExtractionPhase();
  } catch (const Interrupted&) {
    tree.DiscardTree();
    throw;
  } catch (...) {
    tree.DiscardEmptyFolder();
    throw;
  }
}

}  // namespace

ArchiveIdentity IdentifyArchive(const unsigned char* archive, std::uint64_t length) {
  ArchiveIdentity identity{length, 0};
  zip::ZipArchive reader;
  if (!zip::ZipOpenMemory(reader, archive, length)) {
    zip::ZipTakeLastError(reader);
    return identity;
  }
  // The reader has checked that the directory lies inside the block.
  identity.directoryCrc32 = static_cast<std::uint32_t>(
      crc32_z(crc32(0L, Z_NULL, 0), archive + reader.centralDirectoryOffset,
              static_cast<z_size_t>(reader.centralDirectorySize)));
  zip::ZipClose(reader);
  return identity;
}

int RunStarter() {
  const InterruptionGuard interruptions;
  const std::wstring destination = MakeDestinationPath(kAppName);
  const ChildCommand child = BuildChildCommand(destination);

  const std::optional<Payload> payload = FindPayload();
  if (!payload) {
    return kExitNoPayload;
  }
  WriteBanner();
  if (payload->damage != nullptr) {
    // The image carries an archive that cannot be reached: that ends the run
    // as an archive that does not open does, banner first, with the cause.
    throw std::runtime_error(std::string("Failed opening zip : ") + payload->damage);
  }

  // Runs of the same application share the destination: this one waits its
  // turn, then finds the tree absent, left behind, the user's or in use.
  SharedDestination tree(destination, IdentifyArchive(payload->bytes, payload->length),
                         ThrowIfInterrupted);
  if (tree.MustUnpack()) {
    UnpackOrCleanUp(*payload, destination, tree);
  } else {
    EndExtractionPhase();
  }
  tree.BeginUse();

  std::uint32_t creationError = 0;
  if (!RunChildAndWait(child, creationError)) {
    std::cerr << FormatLaunchFailure(child.line, creationError) << std::endl;
    tree.LeaveKeepingTree();
    return kExitLaunchFailed;
  }

  // The last run out removes a tree that a run created.
  tree.Leave();
  // A request to end that was passed on to the application ends the starter
  // too, now that the application has ended and the tree is gone.
  ThrowIfInterrupted();
  return kExitSuccess;
}
