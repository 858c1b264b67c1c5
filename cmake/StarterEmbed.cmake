# Building starter executables with an application archive embedded.
#
# The application's identity is given the same way to every function here:
#   APP_NAME           the folder the starter unpacks into, inside the
#                      temporary directory, and the one argument the
#                      application gets;
#   EXE_RELATIVE_PATH  the program the starter runs, relative to that folder
#                      and '/'-separated the way the archive names it
#                      ("bin/app.exe"; the form with '\' that the starter
#                      appends to the folder is made here).
# Both must be usable on Windows: the packer checks them (`pack check-names`,
# see cmake/StarterNames.cmake), at configure time when it is built already,
# otherwise before the starter is built. Both default to the build's defaults
# (cmake/StarterDefaults.cmake).
#
# starter_add_application(<name> SOURCE <folder-or-archive>
#                         [APP_NAME <name>] [EXE_RELATIVE_PATH <path>]
#                         [OUTPUT_NAME <name>] [DEPENDS <file-or-target>...])
#   A starter for an application, built around its archive. SOURCE is either
#   a ready archive, embedded as it is, or an application folder, packed at
#   build time by the host packer (the `pack` target of a native build, or
#   STARTER_HOST_PACKER in a cross build) in this build's platform's form
#   (pack --target: Unix modes for a native starter, names that differ in
#   more than case for a Windows one); packing fails when the folder lacks
#   EXE_RELATIVE_PATH. OUTPUT_NAME names the executable file (default:
#   <name>). DEPENDS names what must be built before the folder is complete
#   (files or targets); with it, SOURCE need not exist at configure time.
#   Release and MinSizeRel starters are stripped.
#
# starter_add_executable(<name> [ARCHIVE <file>] [APP_NAME <name>]
#                        [EXE_RELATIVE_PATH <path>] [OUTPUT_NAME <name>])
#   A starter executable around ARCHIVE as it is (without ARCHIVE, one that
#   carries none), linking the `starter` library; stripped in Release and
#   MinSizeRel. On Windows the archive is linked in as a resource
#   (starter_embed_payload). On POSIX the executable is linked as a stub and
#   the host packer fills it in place, as the last step of building it
#   (`pack ARCHIVE -o FILE --stub FILE`): the way every POSIX starter gets
#   its archive, so the packer refuses an archive that the starter could not
#   open.
#
# starter_embed_payload(<target> [ARCHIVE <file>])
#   Windows: adds the application manifest (type 24, ID 1) and, with ARCHIVE,
#   the archive as RCDATA 101 in language 2057, stored unchanged at its exact
#   length. Without ARCHIVE the image has no payload. Nothing on POSIX, where
#   only the packer adds an archive.
#
# starter_make_stub(<target>)
#   Makes the starter executable <target> a stub: its identity block stays
#   open for the packer, and on POSIX it reserves the payload slot.
#
# starter_add_app_identity(<target> [APP_NAME <name>] [EXE_RELATIVE_PATH <path>])
#   Compiles the application's identity (kAppName, kExeRelativePath) into
#   <target>.

include(${CMAKE_CURRENT_LIST_DIR}/StarterDefaults.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/StarterNames.cmake)

# The functions may be called from a project that holds this tree as a
# subdirectory, where none of this file's variables are seen: each finds the
# tree's files and defaults from its own location.
macro(starter_locate_tree)
  get_filename_component(STARTER_RESOURCES_DIR ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../resources
                         ABSOLUTE)
  get_filename_component(STARTER_SOURCE_DIR ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src ABSOLUTE)
  include(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/StarterDefaults.cmake)
endmacro()

# In a function that parsed its arguments with the prefix ARG: stops on
# arguments left over or without a value, and gives APP_NAME and
# EXE_RELATIVE_PATH the build's defaults.
macro(starter_identity_arguments caller)
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${caller}: unexpected ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${caller}: no value for ${ARG_KEYWORDS_MISSING_VALUES}")
  endif()
  if(NOT DEFINED ARG_APP_NAME)
    set(ARG_APP_NAME "${STARTER_DEFAULT_APP_NAME}")
  endif()
  if(NOT DEFINED ARG_EXE_RELATIVE_PATH)
    set(ARG_EXE_RELATIVE_PATH "${STARTER_DEFAULT_EXE}")
  endif()
endmacro()

function(starter_embed_payload target)
  starter_locate_tree()
  cmake_parse_arguments(ARG "" "ARCHIVE" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  target_sources(${target} PRIVATE ${STARTER_RESOURCES_DIR}/manifest.rc)
  set_property(SOURCE ${STARTER_RESOURCES_DIR}/manifest.rc APPEND PROPERTY
    OBJECT_DEPENDS ${STARTER_RESOURCES_DIR}/starter.manifest)
  set_property(SOURCE ${STARTER_RESOURCES_DIR}/manifest.rc APPEND PROPERTY
    INCLUDE_DIRECTORIES ${STARTER_RESOURCES_DIR})
  if(NOT ARG_ARCHIVE)
    return()
  endif()
  get_filename_component(STARTER_PAYLOAD_FILE "${ARG_ARCHIVE}" ABSOLUTE)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_payload.rc)
  configure_file(${STARTER_RESOURCES_DIR}/payload.rc.in ${generated} @ONLY)
  set_property(SOURCE ${generated} APPEND PROPERTY OBJECT_DEPENDS ${STARTER_PAYLOAD_FILE})
  target_sources(${target} PRIVATE ${generated})
endfunction()

function(starter_make_stub target)
  starter_locate_tree()
  target_compile_definitions(${target} PRIVATE STARTER_IDENTITY_OPEN)
  if(NOT WIN32)
    target_sources(${target} PRIVATE ${STARTER_RESOURCES_DIR}/payload_slot_posix.cpp)
  endif()
endfunction()

# Sets <variable> to the packer that runs on the build machine (the `pack`
# target of a native build, or STARTER_HOST_PACKER) and <variable>_dependency
# to the target or file it is, or stops with "<caller>: <purpose> needs the
# host packer".
macro(starter_host_packer caller purpose variable)
  if(TARGET pack AND NOT CMAKE_CROSSCOMPILING)
    set(${variable} $<TARGET_FILE:pack>)
    set(${variable}_dependency pack)
  elseif(STARTER_HOST_PACKER)
    set(${variable} "${STARTER_HOST_PACKER}")
    set(${variable}_dependency "${STARTER_HOST_PACKER}")
  else()
    message(FATAL_ERROR "${caller}: ${purpose} needs the host packer; pass "
                        "-DSTARTER_HOST_PACKER=<native build>/tools/pack")
  endif()
endmacro()

# POSIX: links <target> as a stub and has the host packer fill it in place
# with `archive` and the identity right after linking. A changed archive (or
# packer) relinks the target, so the two steps always run together.
function(starter_fill_payload_slot target archive app_name exe)
  starter_host_packer("starter_add_executable(${target})" "adding an archive" packer)
  starter_make_stub(${target})
  get_filename_component(archive "${archive}" ABSOLUTE)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${archive}")
  if(TARGET ${packer_dependency})
    add_dependencies(${target} ${packer_dependency})
  else()
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${packer_dependency}")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${packer} "${archive}" -o $<TARGET_FILE:${target}> --stub $<TARGET_FILE:${target}>
            --app-name "${app_name}" --exe "${exe}" --quiet
    COMMENT "Adding ${archive} to ${target}"
    VERBATIM)
endfunction()

function(starter_add_app_identity target)
  starter_locate_tree()
  cmake_parse_arguments(ARG "" "APP_NAME;EXE_RELATIVE_PATH" "" ${ARGN})
  starter_identity_arguments("starter_add_app_identity(${target})")
  starter_check_identity("starter_add_app_identity(${target})" "${ARG_APP_NAME}"
                         "${ARG_EXE_RELATIVE_PATH}" TARGET ${target})
  # "\dir\file" inside a C string literal. The checked texts hold no '"' and
  # no other '\' that would need escaping.
  string(REPLACE "/" "\\\\" escaped "\\\\${ARG_EXE_RELATIVE_PATH}")
  target_sources(${target} PRIVATE ${STARTER_SOURCE_DIR}/starter/app_identity.cpp)
  target_compile_definitions(${target} PRIVATE "STARTER_APP_NAME=\"${ARG_APP_NAME}\""
                                               "STARTER_EXE_RELATIVE_PATH=\"${escaped}\"")
endfunction()

function(starter_add_executable name)
  starter_locate_tree()
  cmake_parse_arguments(ARG "" "ARCHIVE;APP_NAME;EXE_RELATIVE_PATH;OUTPUT_NAME" "" ${ARGN})
  starter_identity_arguments("starter_add_executable(${name})")
  add_executable(${name} ${STARTER_SOURCE_DIR}/starter/main.cpp)
  target_link_libraries(${name} PRIVATE starter)
  starter_add_app_identity(${name} APP_NAME "${ARG_APP_NAME}"
                           EXE_RELATIVE_PATH "${ARG_EXE_RELATIVE_PATH}")
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  if(ARG_ARCHIVE AND NOT WIN32)
    starter_fill_payload_slot(${name} "${ARG_ARCHIVE}" "${ARG_APP_NAME}"
                              "${ARG_EXE_RELATIVE_PATH}")
  elseif(ARG_ARCHIVE)
    starter_embed_payload(${name} ARCHIVE "${ARG_ARCHIVE}")
  else()
    starter_embed_payload(${name})
  endif()
  # Stripping keeps a linked-in resource, and on POSIX the packer adds the
  # archive after linking, to the stripped image.
  if(NOT MSVC)
    target_link_options(${name} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
  endif()
  # Wine maps a section of an executable from its file only when the section
  # starts on a page boundary there; any other it reads into memory whole at
  # load time, which for the resource section is a private copy of the whole
  # archive before the first line runs. (Windows maps sections either way.)
  if(WIN32 AND NOT MSVC)
    target_link_options(${name} PRIVATE -Wl,--file-alignment,4096)
  endif()
endfunction()

set(STARTER_HOST_PACKER "" CACHE FILEPATH
    "The host's pack executable, for cross builds that pack application folders")

function(starter_add_application name)
  starter_locate_tree()
  cmake_parse_arguments(ARG "" "SOURCE;APP_NAME;EXE_RELATIVE_PATH;OUTPUT_NAME" "DEPENDS" ${ARGN})
  set(caller "starter_add_application(${name})")
  starter_identity_arguments("${caller}")
  if(NOT ARG_SOURCE)
    message(FATAL_ERROR "${caller}: SOURCE is required")
  endif()
  get_filename_component(source "${ARG_SOURCE}" ABSOLUTE)
  starter_check_identity("${caller}" "${ARG_APP_NAME}" "${ARG_EXE_RELATIVE_PATH}")
  set(pass_on APP_NAME "${ARG_APP_NAME}" EXE_RELATIVE_PATH "${ARG_EXE_RELATIVE_PATH}")
  if(ARG_OUTPUT_NAME)
    list(APPEND pass_on OUTPUT_NAME "${ARG_OUTPUT_NAME}")
  endif()

  if(IS_DIRECTORY "${source}" OR ARG_DEPENDS)
    starter_host_packer("${caller}" "packing a folder" packer)
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
      COMMAND ${packer} "${source}" -o ${archive} --exe "${ARG_EXE_RELATIVE_PATH}" --require-exe
              --target ${target_platform} --quiet
      DEPENDS ${packer_dependency} ${folder_files} ${ARG_DEPENDS}
      COMMENT "Packing ${source}"
      VERBATIM)
  else()
    if(NOT EXISTS "${source}")
      message(FATAL_ERROR "${caller}: ${source} does not exist")
    endif()
    set(archive "${source}")
  endif()
  add_custom_target(${name}_payload DEPENDS ${archive})
  starter_add_executable(${name} ARCHIVE ${archive} ${pass_on})
  add_dependencies(${name} ${name}_payload)
endfunction()
