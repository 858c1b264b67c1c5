#include "starter/run_sequence.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "destination/destination.h"
#include "extract/extract.h"
#include "interruption/interruption.h"
#include "payload/payload.h"
#include "starter/app_identity.h"
#include "starter/archive_identity.h"
#include "starter/child_process.h"
#include "text/text_convert.h"

namespace {

void WriteBanner() {
  // Flushed at once, so the banner precedes the extraction's and the child's
  // output even when standard output is a pipe or a file.
  std::wcout << kBanner << "\n" << std::flush;
}

void ReportLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError) {
  const std::wstring text = FormatLaunchFailure(commandLine, creationError);
  std::cerr << WideToUtf8(text.c_str()) << std::endl;
}

// Unpacks the archive and ends the extraction phase. An interruption stops the
// unpacking at the next buffer or piece of the files being written: what this
// run created is removed before the interruption passes on, and no
// application is started. After an error, what was written stays, but not a
// new folder left empty.
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

int RunStarter() {
  const InterruptionGuard interruptions;
  const std::wstring destination = MakeDestinationPath(kAppName);
  const ChildCommand child = BuildChildCommand(destination);
  const std::unique_ptr<wchar_t[]> writableCommandLine = MakeWritableCommandLine(child.line);

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

  // Runs with the same application name share the destination (see
  // destination.h): this one waits its turn, then finds the tree absent, left
  // behind, the user's, or in use by others.
  SharedDestination tree(destination, IdentifyArchive(payload->bytes, payload->length),
                         ThrowIfInterrupted);
  if (tree.MustUnpack()) {
    UnpackOrCleanUp(*payload, destination, tree);
  } else {
    EndExtractionPhase();
  }
  tree.BeginUse();

  std::uint32_t creationError = 0;
  if (!RunChildAndWait(child, writableCommandLine.get(), creationError)) {
    ReportLaunchFailure(child.line, creationError);
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
