# Checking an application name and an executable path by the packer's own
# rule (`pack check-names`), so that a starter is never built around names it
# cannot use on Windows.
#
# starter_check_identity(<caller> <app-name> <exe-path> [TARGET <target>])
#   With a packer at hand at configure time (STARTER_HOST_PACKER in a cross
#   build, or this build's `pack` built before), asks it now and stops the
#   configuration with "<caller>: APP_NAME '<name>' <why>" or
#   "<caller>: EXE_RELATIVE_PATH '<path>' <why>". Otherwise, when the build
#   makes `pack`, <target> (if given) is not built until `pack check-names`
#   accepted the names. A build without any packer leaves them unchecked.

function(starter_check_identity caller app_name exe)
  cmake_parse_arguments(ARG "" "TARGET" "" ${ARGN})
  set(checker "")
  if(TARGET pack AND NOT CMAKE_CROSSCOMPILING)
    get_target_property(folder pack BINARY_DIR)
    set(built "${folder}/pack${CMAKE_EXECUTABLE_SUFFIX}")
    if(EXISTS "${built}")
      set(checker "${built}")
    elseif(ARG_TARGET AND NOT TARGET ${ARG_TARGET}_names)
      set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}_names.stamp)
      add_custom_command(OUTPUT ${stamp}
        COMMAND pack check-names --app-name "${app_name}" --exe "${exe}"
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS pack
        COMMENT "Checking the names of ${ARG_TARGET}"
        VERBATIM)
      add_custom_target(${ARG_TARGET}_names DEPENDS ${stamp})
      add_dependencies(${ARG_TARGET} ${ARG_TARGET}_names)
    endif()
  elseif(EXISTS "${STARTER_HOST_PACKER}")
    set(checker "${STARTER_HOST_PACKER}")
  endif()
  if(checker STREQUAL "")
    return()
  endif()
  execute_process(COMMAND "${checker}" check-names --app-name "${app_name}" --exe "${exe}"
                  RESULT_VARIABLE status ERROR_VARIABLE problems)
  if(NOT status EQUAL 0)
    string(REPLACE "pack: --app-name " "${caller}: APP_NAME " problems "${problems}")
    string(REPLACE "pack: --exe " "${caller}: EXE_RELATIVE_PATH " problems "${problems}")
    string(REPLACE "(see pack --help)\n" "" problems "${problems}")
    message(FATAL_ERROR "${problems}")
  endif()
endfunction()
