// Compiled into each starter executable, so that one library serves starters
// for different applications; CMake defines both texts.
#include "starter/identity_block.h"

#if !defined(STARTER_APP_NAME) || !defined(STARTER_EXE_RELATIVE_PATH)
#error "STARTER_APP_NAME and STARTER_EXE_RELATIVE_PATH come from the build"
#endif
#define STARTER_UTF16_LITERAL(text) u##text
#define STARTER_UTF16(text) STARTER_UTF16_LITERAL(text)

// A stub leaves its block open for the packer; any other starter carries its
// application's texts from here on.
#ifdef STARTER_IDENTITY_OPEN
constexpr std::uint32_t kIdentityState = kIdentityOpen;
#else
constexpr std::uint32_t kIdentityState = kIdentityFilled;
#endif

const IdentityBlock kIdentityBlock = MakeIdentityBlock(
    STARTER_UTF16(STARTER_APP_NAME), STARTER_UTF16(STARTER_EXE_RELATIVE_PATH), kIdentityState);

namespace {

// A packer changes a stub's bytes after compilation: the volatile view keeps
// the compiler from folding the texts into the code.
const volatile IdentityBlock& block = kIdentityBlock;

}  // namespace

const std::wstring kAppName = IdentityText(block.name, block.nameLength, kIdentityNameCapacity);
const std::wstring kExeRelativePath =
    IdentityText(block.exePath, block.exePathLength, kIdentityExePathCapacity);
