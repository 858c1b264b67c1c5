# Building starter executables with an application archive embedded.
#
# starter_embed_payload(<target> [ARCHIVE <file>])
#   Windows: adds the application manifest (type 24, ID 1) and, with ARCHIVE,
#   the archive as RCDATA 101 in language 2057. POSIX: with ARCHIVE, links the
#   archive bytes in as read-only data. Without ARCHIVE the image has no payload.
#   The bytes are stored unchanged at their exact length.
#
# starter_add_executable(<name> [ARCHIVE <file>] [APP_NAME <name>]
#                        [EXE_RELATIVE_PATH <path>] [OUTPUT_NAME <name>])
#   A starter executable, linking the `starter` library. APP_NAME names the
#   destination folder and is the child's argument; EXE_RELATIVE_PATH is the
#   child's executable below the destination, starting with a backslash. Both
#   default to the build's defaults (cmake/StarterDefaults.cmake).
#
# starter_add_app_identity(<target> [APP_NAME <name>] [EXE_RELATIVE_PATH <path>])
#   Compiles the application's identity (kAppName, kExeRelativePath) into
#   <target>, with the same defaults.

include(${CMAKE_CURRENT_LIST_DIR}/StarterDefaults.cmake)

set(STARTER_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR}/../resources)
get_filename_component(STARTER_RESOURCES_DIR ${STARTER_RESOURCES_DIR} ABSOLUTE)
set(STARTER_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src)
get_filename_component(STARTER_SOURCE_DIR ${STARTER_SOURCE_DIR} ABSOLUTE)

function(starter_embed_payload target)
  cmake_parse_arguments(ARG "" "ARCHIVE" "" ${ARGN})
  if(WIN32)
    target_sources(${target} PRIVATE ${STARTER_RESOURCES_DIR}/manifest.rc)
    set_property(SOURCE ${STARTER_RESOURCES_DIR}/manifest.rc APPEND PROPERTY
      OBJECT_DEPENDS ${STARTER_RESOURCES_DIR}/starter.manifest)
    set_property(SOURCE ${STARTER_RESOURCES_DIR}/manifest.rc APPEND PROPERTY
      INCLUDE_DIRECTORIES ${STARTER_RESOURCES_DIR})
  endif()
  if(NOT ARG_ARCHIVE)
    return()
  endif()
  get_filename_component(STARTER_PAYLOAD_FILE "${ARG_ARCHIVE}" ABSOLUTE)
  if(WIN32)
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_payload.rc)
    configure_file(${STARTER_RESOURCES_DIR}/payload.rc.in ${generated} @ONLY)
  else()
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_payload.S)
    configure_file(${STARTER_RESOURCES_DIR}/payload_posix.S.in ${generated} @ONLY)
  endif()
  set_property(SOURCE ${generated} APPEND PROPERTY OBJECT_DEPENDS ${STARTER_PAYLOAD_FILE})
  target_sources(${target} PRIVATE ${generated})
endfunction()

function(starter_add_app_identity target)
  cmake_parse_arguments(ARG "" "APP_NAME;EXE_RELATIVE_PATH" "" ${ARGN})
  if(NOT ARG_APP_NAME)
    set(ARG_APP_NAME "${STARTER_DEFAULT_APP_NAME}")
  endif()
  if(NOT ARG_EXE_RELATIVE_PATH)
    set(ARG_EXE_RELATIVE_PATH "${STARTER_DEFAULT_EXE_RELATIVE_PATH}")
  endif()
  string(REPLACE "\\" "\\\\" escaped "${ARG_EXE_RELATIVE_PATH}")
  target_sources(${target} PRIVATE ${STARTER_SOURCE_DIR}/starter/app_identity.cpp)
  target_compile_definitions(${target} PRIVATE "STARTER_APP_NAME=\"${ARG_APP_NAME}\""
                                               "STARTER_EXE_RELATIVE_PATH=\"${escaped}\"")
endfunction()

function(starter_add_executable name)
  cmake_parse_arguments(ARG "" "ARCHIVE;APP_NAME;EXE_RELATIVE_PATH;OUTPUT_NAME" "" ${ARGN})
  add_executable(${name} ${STARTER_SOURCE_DIR}/starter/main.cpp)
  target_link_libraries(${name} PRIVATE starter)
  starter_add_app_identity(${name} APP_NAME "${ARG_APP_NAME}"
                           EXE_RELATIVE_PATH "${ARG_EXE_RELATIVE_PATH}")
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  if(ARG_ARCHIVE)
    starter_embed_payload(${name} ARCHIVE "${ARG_ARCHIVE}")
  else()
    starter_embed_payload(${name})
  endif()
endfunction()

# starter_add_application(<name> SOURCE <folder-or-archive>
#                         [APP_NAME <name>] [EXE_RELATIVE_PATH <path>]
#                         [OUTPUT_NAME <name>] [DEPENDS <file-or-target>...])
#   A starter for an application. SOURCE is either a ready archive, embedded
#   as it is, or an application folder, packed at build time by the host
#   packer (the `pack` target of a native build, or STARTER_HOST_PACKER in a
#   cross build), for this build's platform (pack --target). Packing fails
#   when the folder lacks the executable. DEPENDS names what must be built
#   before the folder is complete.
set(STARTER_HOST_PACKER "" CACHE FILEPATH
    "The host's pack executable, for cross builds that pack application folders")

function(starter_add_application name)
  cmake_parse_arguments(ARG "" "SOURCE;APP_NAME;EXE_RELATIVE_PATH;OUTPUT_NAME" "DEPENDS" ${ARGN})
  if(NOT ARG_SOURCE)
    message(FATAL_ERROR "starter_add_application(${name}): SOURCE is required")
  endif()
  get_filename_component(source "${ARG_SOURCE}" ABSOLUTE)
  if(NOT ARG_EXE_RELATIVE_PATH)
    set(ARG_EXE_RELATIVE_PATH "${STARTER_DEFAULT_EXE_RELATIVE_PATH}")
  endif()
  set(pass_on EXE_RELATIVE_PATH "${ARG_EXE_RELATIVE_PATH}")
  if(ARG_APP_NAME)
    list(APPEND pass_on APP_NAME "${ARG_APP_NAME}")
  endif()
  if(ARG_OUTPUT_NAME)
    list(APPEND pass_on OUTPUT_NAME "${ARG_OUTPUT_NAME}")
  endif()

  if(IS_DIRECTORY "${source}" OR ARG_DEPENDS)
    if(TARGET pack AND NOT CMAKE_CROSSCOMPILING)
      set(packer $<TARGET_FILE:pack>)
      set(packer_dependency pack)
    elseif(STARTER_HOST_PACKER)
      set(packer "${STARTER_HOST_PACKER}")
      set(packer_dependency "${STARTER_HOST_PACKER}")
    else()
      message(FATAL_ERROR "starter_add_application(${name}): packing a folder needs the host "
                          "packer; pass -DSTARTER_HOST_PACKER=<native build>/tools/pack")
    endif()
    # The packer takes the executable's path the way the archive names it.
    string(REGEX REPLACE "^\\\\" "" exe_in_archive "${ARG_EXE_RELATIVE_PATH}")
    string(REPLACE "\\" "/" exe_in_archive "${exe_in_archive}")
    # The starter is built for this build's platform: a native one gets the
    # files' Unix permissions, and only a Windows one needs names that differ
    # in more than case.
    if(WIN32)
      set(target_platform windows)
    else()
      set(target_platform native)
    endif()
    set(archive ${CMAKE_CURRENT_BINARY_DIR}/${name}_payload.zip)
    file(GLOB_RECURSE folder_files CONFIGURE_DEPENDS "${source}/*")
    add_custom_command(OUTPUT ${archive}
      COMMAND ${packer} "${source}" -o ${archive} --exe "${exe_in_archive}" --require-exe
              --target ${target_platform} --quiet
      DEPENDS ${packer_dependency} ${folder_files} ${ARG_DEPENDS}
      COMMENT "Packing ${source}"
      VERBATIM)
  else()
    if(NOT EXISTS "${source}")
      message(FATAL_ERROR "starter_add_application(${name}): ${source} does not exist")
    endif()
    set(archive "${source}")
  endif()
  add_custom_target(${name}_payload DEPENDS ${archive})
  starter_add_executable(${name} ARCHIVE ${archive} ${pass_on})
  add_dependencies(${name} ${name}_payload)
endfunction()
