#include "starter/run_sequence.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "destination/destination.h"
#include "extract/extract.h"
#include "interruption/interruption.h"
#include "payload/payload.h"
#include "starter/app_identity.h"
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
// run created is removed before the
// interruption passes on, and no application is started.
void ExtractOrCleanUp(const Payload& payload, const std::wstring& destination,
                      bool destinationExisted) {
  try {
    ExtractPayload(payload.bytes, payload.length, destination.c_str());
    EndExtractionPhase();
  } catch (const Interrupted&) {
    if (!destinationExisted) {
      RemoveDestinationTree(destination);
    }
    throw;
  }
}

}  // namespace

int RunStarter() {
  const InterruptionGuard interruptions;
  const std::wstring destination = MakeDestinationPath(kAppName);
  const bool destinationExisted = PathExists(destination);
  const std::wstring commandLine = BuildChildCommandLine(destination);
  const std::unique_ptr<wchar_t[]> writableCommandLine = MakeWritableCommandLine(commandLine);

  const std::optional<Payload> payload = FindPayload();
  if (!payload) {
    return kExitNoPayload;
  }
  WriteBanner();

  ExtractOrCleanUp(*payload, destination, destinationExisted);

  std::uint32_t creationError = 0;
  if (!RunChildAndWait(destination, writableCommandLine.get(), creationError)) {
    ReportLaunchFailure(commandLine, creationError);
    return kExitLaunchFailed;
  }

  if (!destinationExisted) {
    RemoveDestinationTree(destination);
  }
  // A request to end that was passed on to the application ends the starter
  // too, now that the application has ended and the tree is gone.
  ThrowIfInterrupted();
  return kExitSuccess;
}
