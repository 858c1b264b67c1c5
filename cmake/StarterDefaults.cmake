# The application a starter carries when its build names no other: the one
# place these defaults are written. cmake/StarterEmbed.cmake hands them to the
# code and the packer; the scripts read them by running this file:
#   cmake -P cmake/StarterDefaults.cmake
# prints the application's name on the first line and its executable on the
# second.

# The destination folder's name inside the temporary directory, and the
# application's only argument.
set(STARTER_DEFAULT_APP_NAME "quillorbite")
# The application's executable inside its folder, '/'-separated, the way the
# archive names it.
set(STARTER_DEFAULT_EXE "quillorbite/Binaries/Win64/quillorbite-Win64-Shipping.exe")

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${STARTER_DEFAULT_APP_NAME}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${STARTER_DEFAULT_EXE}")
endif()
