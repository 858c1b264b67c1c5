// Compiled into each starter executable, so that one library serves starters
// for different applications. CMake defines both texts (starter_add_executable
// falls back to the build's defaults).
#include "starter/app_identity.h"

#if !defined(STARTER_APP_NAME) || !defined(STARTER_EXE_RELATIVE_PATH)
#error "STARTER_APP_NAME and STARTER_EXE_RELATIVE_PATH come from the build"
#endif

const std::wstring kAppName = STARTER_APP_NAME;
const std::wstring kExeRelativePath = STARTER_EXE_RELATIVE_PATH;
