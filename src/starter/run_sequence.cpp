#include "starter/run_sequence.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "destination/destination.h"
#include "extract/extract.h"
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

}  // namespace

int RunStarter() {
  const std::wstring destination = MakeDestinationPath(kAppName);
  const bool destinationExisted = PathExists(destination);
  const std::wstring commandLine = BuildChildCommandLine(destination);
  const std::unique_ptr<wchar_t[]> writableCommandLine = MakeWritableCommandLine(commandLine);

  const std::optional<Payload> payload = FindPayload();
  if (!payload) {
    return kExitNoPayload;
  }
  WriteBanner();

  ExtractPayload(payload->bytes, payload->length, destination.c_str());

  std::uint32_t creationError = 0;
  if (!RunChildAndWait(destination, writableCommandLine.get(), creationError)) {
    ReportLaunchFailure(commandLine, creationError);
    return kExitLaunchFailed;
  }

  if (!destinationExisted) {
    RemoveDestinationTree(destination);
  }
  return kExitSuccess;
}
