# Making starters from a stub at build time: `pack --stub` copies the stub and
# adds the archive, so no compiler, linker or resource compiler is involved.
# Installed with the packer and the stubs (share/starter/cmake/); include it
# from there, or from the source tree of the starter project.
#
# starter_from_stub(<target> SOURCE <folder-or-archive> OUTPUT <file>
#                   [WINDOWS] [STUB <file>] [PACK <file>]
#                   [APP_NAME <name>] [EXE <path>] [DEPENDS <file-or-target>...])
#   Adds the target <target> (built by default), which writes the starter
#   OUTPUT from SOURCE: an application folder, packed first, or a ready
#   archive. The starter is for Windows with WINDOWS, otherwise for the host.
#   STUB defaults to the stub installed beside this file (starter-stub, or
#   starter-stub.exe with WINDOWS), or, in the starter project itself, to its
#   `starter_stub` target when that builds the kind asked for. PACK defaults
#   to the `pack` target when there is one, otherwise to the packer installed
#   with this file. APP_NAME is the folder the starter unpacks into and the
#   program's argument; EXE the program inside the archive, '/'-separated
#   (defaults: see `pack --help`). A folder without EXE fails the build.
#   DEPENDS names what must be built before SOURCE is complete.

set(STARTER_FROM_STUB_DIR ${CMAKE_CURRENT_LIST_DIR})

function(starter_from_stub target)
  cmake_parse_arguments(ARG "WINDOWS" "SOURCE;OUTPUT;STUB;PACK;APP_NAME;EXE" "DEPENDS" ${ARGN})
  if(NOT ARG_SOURCE OR NOT ARG_OUTPUT)
    message(FATAL_ERROR "starter_from_stub(${target}): SOURCE and OUTPUT are required")
  endif()
  get_filename_component(source "${ARG_SOURCE}" ABSOLUTE)
  get_filename_component(output "${ARG_OUTPUT}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  set(depends ${ARG_DEPENDS})

  if(ARG_STUB)
    get_filename_component(stub "${ARG_STUB}" ABSOLUTE)
    list(APPEND depends ${stub})
  elseif(TARGET starter_stub AND ((WIN32 AND ARG_WINDOWS) OR (NOT WIN32 AND NOT ARG_WINDOWS)))
    set(stub $<TARGET_FILE:starter_stub>)
    list(APPEND depends starter_stub)
  else()
    if(ARG_WINDOWS)
      set(stub ${STARTER_FROM_STUB_DIR}/../starter-stub.exe)
    else()
      set(stub ${STARTER_FROM_STUB_DIR}/../starter-stub)
    endif()
    get_filename_component(stub "${stub}" ABSOLUTE)
    if(NOT EXISTS "${stub}")
      message(FATAL_ERROR "starter_from_stub(${target}): no stub at ${stub}; pass STUB <file>")
    endif()
    list(APPEND depends ${stub})
  endif()

  if(ARG_PACK)
    get_filename_component(packer "${ARG_PACK}" ABSOLUTE)
    list(APPEND depends ${packer})
  elseif(TARGET pack AND NOT CMAKE_CROSSCOMPILING)
    set(packer $<TARGET_FILE:pack>)
    list(APPEND depends pack)
  else()
    find_program(STARTER_PACK_EXECUTABLE pack
      HINTS ${STARTER_FROM_STUB_DIR}/../../../bin NO_DEFAULT_PATH)
    if(NOT STARTER_PACK_EXECUTABLE)
      message(FATAL_ERROR "starter_from_stub(${target}): no packer found; pass PACK <file>")
    endif()
    set(packer ${STARTER_PACK_EXECUTABLE})
    list(APPEND depends ${packer})
  endif()

  set(options --quiet)
  if(ARG_APP_NAME)
    list(APPEND options --app-name "${ARG_APP_NAME}")
  endif()
  if(ARG_EXE)
    list(APPEND options --exe "${ARG_EXE}")
  endif()
  if(IS_DIRECTORY "${source}")
    list(APPEND options --require-exe)
    file(GLOB_RECURSE folder_files CONFIGURE_DEPENDS "${source}/*")
    list(APPEND depends ${folder_files})
  elseif(EXISTS "${source}")
    list(APPEND depends ${source})
  elseif(NOT ARG_DEPENDS)
    message(FATAL_ERROR "starter_from_stub(${target}): ${source} does not exist")
  endif()

  add_custom_command(OUTPUT ${output}
    COMMAND ${packer} "${source}" -o ${output} --stub ${stub} ${options}
    DEPENDS ${depends}
    COMMENT "Making the starter ${output} from the stub"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
