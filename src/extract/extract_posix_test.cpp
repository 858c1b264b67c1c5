#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "extract/extract.h"
#include "interruption/interruption.h"
#include "testing/temp_folder.h"
#include "testing/zip_builder.h"
#include "text/text_convert.h"

namespace {

namespace fs = std::filesystem;

TEST(ExtractPosix, AnInterruptionStopsTheWalkBeforeTheNextEntry) {
  testing_support::TempFolder temp;
  testing_support::ZipBuilder builder;
  builder.AddFolder("a/");
  builder.AddStored("a/b.txt", "b");
  builder.AddStored("c.txt", "c");
  const std::string archive = builder.Build();
  const fs::path destination = temp / "quillorbite";

  const InterruptionGuard guard;
  raise(SIGINT);
  try {
    ExtractPayload(archive.data(), archive.size(), PathToWide(destination).c_str());
    ADD_FAILURE() << "the walk went on to its end";
  } catch (const Interrupted& interruption) {
    EXPECT_EQ(interruption.cause(), SIGINT);
  }
  EXPECT_EQ(g_extractLog, L"open successdestDir creatednum3");
  EXPECT_TRUE(fs::is_empty(destination));
  zip::ZipClose(g_zipArchive);  // left open by the interrupted walk
}

}  // namespace
