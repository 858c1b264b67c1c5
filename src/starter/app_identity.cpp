// Compiled into each starter executable, so that one library serves starters
// for different applications (see starter_add_executable in CMake).
#include "starter/app_identity.h"

#include "starter/identity_block.h"

#ifndef STARTER_APP_NAME
#define STARTER_APP_NAME "quillorbite"
#endif
#ifndef STARTER_EXE_RELATIVE_PATH
#define STARTER_EXE_RELATIVE_PATH "\\quillorbite\\Binaries\\Win64\\quillorbite-Win64-Shipping.exe"
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

extern const IdentityBlock kIdentityBlock;
const IdentityBlock kIdentityBlock = MakeIdentityBlock(
    STARTER_UTF16(STARTER_APP_NAME), STARTER_UTF16(STARTER_EXE_RELATIVE_PATH), kIdentityState);

namespace {

// In a stub the bytes change after compilation: the volatile view keeps the
// compiler from folding the texts it was given into the code.
const volatile IdentityBlock& Block() {
  return kIdentityBlock;
}

}  // namespace

const std::wstring kAppName = IdentityText(Block().name, Block().nameLength, kIdentityNameCapacity);
const std::wstring kExeRelativePath =
    IdentityText(Block().exePath, Block().exePathLength, kIdentityExePathCapacity);
