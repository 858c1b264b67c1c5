#include "starter/child_process.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

TEST(BuildChildCommand, QuotesTheExecutableAndAppendsTheAppName) {
  const std::wstring destination = L"C:\\Users\\user\\AppData\\Local\\Temp\\quillorbite";
  const std::wstring line = BuildChildCommand(destination).line;
  EXPECT_EQ(line,
            L"\"C:\\Users\\user\\AppData\\Local\\Temp\\quillorbite\\quillorbite\\Binaries\\Win64\\"
            L"quillorbite-Win64-Shipping.exe\" quillorbite");
  EXPECT_EQ(line.size(), destination.size() + 72);
}

TEST(BuildChildCommand, KeepsBlanksAndPercentSignsInsideTheQuotes) {
  const std::wstring destination = L"C:\\Temp dir\\%USERNAME% 100%\\quillorbite";
  const ChildCommand command = BuildChildCommand(destination);
  EXPECT_EQ(command.line, L"\"" + destination +
                              L"\\quillorbite\\Binaries\\Win64\\quillorbite-Win64-Shipping.exe\" "
                              L"quillorbite");
  EXPECT_EQ(command.destination, destination);
  EXPECT_EQ(command.argument, L"quillorbite");
}

TEST(BuildChildCommand, GivesTheProgramBelowTheDestinationWithSlashes) {
  const ChildCommand command = BuildChildCommand(L"/tmp/quillorbite");
  EXPECT_EQ(command.program, "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe");
}

TEST(MakeWritableCommandLine, CopiesEveryCharacterWithTwentySpareOnes) {
  const std::wstring line = L"\"C:\\a b\\%x%\\q.exe\" quillorbite";
  const auto copy = MakeWritableCommandLine(line);
  EXPECT_EQ(std::wstring(copy.get()), line);
  // The spare room is zero, so a writer that looks past the NUL finds zeros.
  for (std::size_t i = line.size(); i < line.size() + 20; ++i) {
    EXPECT_EQ(copy[i], L'\0') << i;
  }
  // Written by process creation, the copy leaves the line it was made from.
  copy[0] = L'X';
  EXPECT_EQ(line[0], L'"');
}

TEST(FormatLaunchFailure, NamesTheLineAndTheCodeInLowerCaseHex) {
  EXPECT_EQ(FormatLaunchFailure(L"\"C:\\x.exe\" quillorbite", 0xC1),
            "Couldn't start:\n\"C:\\x.exe\" quillorbite\nCreateProcess() returned c1.");
  EXPECT_EQ(FormatLaunchFailure(L"x", 2), "Couldn't start:\nx\nCreateProcess() returned 2.");
  EXPECT_EQ(FormatLaunchFailure(L"C:\\caf\u00E9.exe", 0xFFFFFFFF),
            "Couldn't start:\nC:\\caf\xC3\xA9.exe\nCreateProcess() returned ffffffff.");
}

}  // namespace
