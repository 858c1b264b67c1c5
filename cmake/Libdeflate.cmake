# libdeflate, as the target Libdeflate::Libdeflate in every build.
#
# Natively it is Debian's libdeflate-dev, found on the system. Debian has no
# MinGW build of it, so the Windows build compiles Debian's source package as
# a static library: scripts/install-deps.sh unpacks it into
# build/deps/libdeflate-VERSION, and STARTER_LIBDEFLATE_SOURCE_DIR may name
# another source folder. Nothing of libdeflate is kept in the repository.
include_guard(GLOBAL)

get_filename_component(starter_repository_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

if(WIN32)
  set(STARTER_LIBDEFLATE_SOURCE_DIR "" CACHE PATH
      "libdeflate's source folder for the Windows build (empty: the newest build/deps/libdeflate-*)")
  set(libdeflate_source_dir "${STARTER_LIBDEFLATE_SOURCE_DIR}")
  if(NOT libdeflate_source_dir)
    file(GLOB libdeflate_candidates LIST_DIRECTORIES true
         ${starter_repository_root}/build/deps/libdeflate-*/libdeflate.h)
    if(libdeflate_candidates)
      list(SORT libdeflate_candidates COMPARE NATURAL)
      list(GET libdeflate_candidates -1 libdeflate_header)
      get_filename_component(libdeflate_source_dir ${libdeflate_header} DIRECTORY)
    endif()
  endif()
  if(NOT EXISTS "${libdeflate_source_dir}/libdeflate.h")
    message(FATAL_ERROR "libdeflate's source is missing (looked for ${starter_repository_root}/"
                        "build/deps/libdeflate-*): run scripts/install-deps.sh, or set "
                        "STARTER_LIBDEFLATE_SOURCE_DIR")
  endif()

  # The sources libdeflate's own Makefile builds its library from: the
  # compressor, the decompressor and the zlib and gzip wrappers, with the
  # processor feature detection the fast paths choose by at run time.
  file(GLOB libdeflate_sources CONFIGURE_DEPENDS
       ${libdeflate_source_dir}/lib/*.c ${libdeflate_source_dir}/lib/*/cpu_features.c)
  add_library(libdeflate STATIC ${libdeflate_sources})
  set_target_properties(libdeflate PROPERTIES OUTPUT_NAME deflate C_STANDARD 99
                        C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  # The definition its Makefile compiles the library with, and its warnings:
  # -Wall without -Wextra, whose unused-parameter and sign-compare findings in
  # its code are not ours to fix.
  target_compile_definitions(libdeflate PRIVATE _ANSI_SOURCE)
  get_target_property(libdeflate_options libdeflate COMPILE_OPTIONS)
  if(libdeflate_options)
    list(REMOVE_ITEM libdeflate_options -Wextra)
    set_target_properties(libdeflate PROPERTIES COMPILE_OPTIONS "${libdeflate_options}")
  endif()
  target_include_directories(libdeflate SYSTEM PUBLIC ${libdeflate_source_dir})
  add_library(Libdeflate::Libdeflate ALIAS libdeflate)
  set(libdeflate_header ${libdeflate_source_dir}/libdeflate.h)
  set(libdeflate_origin "compiled from ${libdeflate_source_dir}")
else()
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  find_library(LIBDEFLATE_LIBRARY NAMES deflate)
  if(NOT LIBDEFLATE_INCLUDE_DIR OR NOT LIBDEFLATE_LIBRARY)
    message(FATAL_ERROR "libdeflate is missing: install libdeflate-dev (scripts/install-deps.sh)")
  endif()
  add_library(Libdeflate::Libdeflate UNKNOWN IMPORTED)
  set_target_properties(Libdeflate::Libdeflate PROPERTIES
    IMPORTED_LOCATION ${LIBDEFLATE_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${LIBDEFLATE_INCLUDE_DIR})
  set(libdeflate_header ${LIBDEFLATE_INCLUDE_DIR}/libdeflate.h)
  set(libdeflate_origin "${LIBDEFLATE_LIBRARY}")
endif()

file(STRINGS ${libdeflate_header} libdeflate_version_line
     REGEX "^#define LIBDEFLATE_VERSION_STRING")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" libdeflate_version "${libdeflate_version_line}")
message(STATUS "libdeflate ${libdeflate_version}: ${libdeflate_origin}")
