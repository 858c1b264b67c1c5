#include "text/long_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ExtendedLengthPath, PrefixesFullNormalisedPaths) {
  EXPECT_EQ(ExtendedLengthPath(L"C:\\Users\\me\\Temp\\quillorbite"),
            L"\\\\?\\C:\\Users\\me\\Temp\\quillorbite");
  EXPECT_EQ(ExtendedLengthPath(L"C:/Users/me/./x/../Temp"), L"\\\\?\\C:\\Users\\me\\Temp");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\Temp\\quillorbite"),
            L"\\\\?\\UNC\\server\\share\\Temp\\quillorbite");
  EXPECT_EQ(ExtendedLengthPath(L"\\\\?\\C:\\already\\long"), L"\\\\?\\C:\\already\\long");
  const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\quillorbite";
  EXPECT_EQ(ExtendedLengthPath(deep), L"\\\\?\\" + deep);
}

}  // namespace
