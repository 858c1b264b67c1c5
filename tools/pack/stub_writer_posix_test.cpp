#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "pack/pe_test_support.h"
#include "pack/stub_test_support.h"
#include "pack/stub_writer.h"
#include "payload/payload_trailer.h"
#include "testing/appended_payload.h"
#include "testing/temp_folder.h"

namespace {

using testing_support::FindAppendedPayload;

TEST(WriteStarter, WritesAnExecutableFileThatThePayloadLookupFinds) {
  testing_support::TempFolder folder("stub-writer-");
  const std::string stub = stub_test::PosixStub();
  const std::string archive = pe_test::ResourceSection({{1, 2, 3, "some bytes"}}, 0x1000);
  pack::StarterIdentity identity;
  identity.executablePath = "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe";
  pack::StarterParts parts;
  std::string error;
  ASSERT_TRUE(pack::BuildStarterParts(reinterpret_cast<const unsigned char*>(stub.data()),
                                      stub.size(),
                                      reinterpret_cast<const unsigned char*>(archive.data()),
                                      archive.size(), identity, parts, error))
      << error;
  const std::string path = (folder / "starter").string();
  ASSERT_TRUE(pack::WriteStarter(parts, path, error)) << error;

  const std::optional<Payload> payload = FindAppendedPayload(path);
  ASSERT_TRUE(payload.has_value());
  ASSERT_NE(payload->bytes, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload->bytes), payload->length), archive);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IXUSR, 0u);
}

}  // namespace
