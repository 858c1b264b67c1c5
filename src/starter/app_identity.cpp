// Compiled into each starter executable, so that one library serves starters
// for different applications (see starter_add_executable in CMake).
#include "starter/app_identity.h"

#ifndef STARTER_APP_NAME
#define STARTER_APP_NAME L"quillorbite"
#endif
#ifndef STARTER_EXE_RELATIVE_PATH
#define STARTER_EXE_RELATIVE_PATH L"\\quillorbite\\Binaries\\Win64\\quillorbite-Win64-Shipping.exe"
#endif

const std::wstring kAppName = STARTER_APP_NAME;
const std::wstring kExeRelativePath = STARTER_EXE_RELATIVE_PATH;
