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
#   A starter executable. APP_NAME names the destination folder and is the
#   child's argument; EXE_RELATIVE_PATH is the child's executable below the
#   destination, starting with a backslash.

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

function(starter_add_executable name)
  cmake_parse_arguments(ARG "" "ARCHIVE;APP_NAME;EXE_RELATIVE_PATH;OUTPUT_NAME" "" ${ARGN})
  add_executable(${name}
    ${STARTER_SOURCE_DIR}/starter/main.cpp
    ${STARTER_SOURCE_DIR}/starter/app_identity.cpp)
  target_link_libraries(${name} PRIVATE starter_core)
  if(ARG_APP_NAME)
    target_compile_definitions(${name} PRIVATE "STARTER_APP_NAME=L\"${ARG_APP_NAME}\"")
  endif()
  if(ARG_EXE_RELATIVE_PATH)
    string(REPLACE "\\" "\\\\" escaped "${ARG_EXE_RELATIVE_PATH}")
    target_compile_definitions(${name} PRIVATE "STARTER_EXE_RELATIVE_PATH=L\"${escaped}\"")
  endif()
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  if(ARG_ARCHIVE)
    starter_embed_payload(${name} ARCHIVE "${ARG_ARCHIVE}")
  else()
    starter_embed_payload(${name})
  endif()
endfunction()
