# What an application name and an executable path must be to make a starter
# that works on Windows as well: the rule the packer applies to --app-name and
# --exe (tools/pack/starter_names.h, CheckAppName and CheckExecutablePath),
# written once more here so that a build refuses them at configure time and
# ./scripts/make-starter.sh before it builds anything. The packer also checks
# the UTF-8 when it fills a starter.
#
# starter_app_name_problem(<out-var> <name>)
#   Sets <out-var> to "" when <name> can name the destination folder: one
#   plain path component that Windows can create. Otherwise to why not.
#
# starter_exe_path_problem(<out-var> <path>)
#   Sets <out-var> to "" when <path> is a relative, '/'-separated path of such
#   components, the executable as the archive names it. Otherwise to why not.
#
# As a script,
#   [STARTER_CHECK_APP_NAME=NAME] [STARTER_CHECK_EXE=PATH] cmake -P cmake/StarterNames.cmake
# writes one line to standard error for each of the two that is refused
# ("--app-name 'NAME' ..." or "--exe 'PATH' ...") and nothing when both are
# usable.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_policy(VERSION 3.24)
endif()

# Why Windows cannot create a file or folder named <component>, or "".
function(starter_component_problem out component)
  foreach(code RANGE 1 31)
    string(ASCII ${code} control)
    string(FIND "${component}" "${control}" at)
    if(at GREATER -1)
      set(${out} "holds a control character" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  string(REGEX MATCH "[<>:\"|?*]" reserved "${component}")
  if(NOT reserved STREQUAL "")
    set(${out} "holds '${reserved}'" PARENT_SCOPE)
    return()
  endif()
  if(component MATCHES "[. ]$")
    set(${out} "ends in '.' or ' '" PARENT_SCOPE)
    return()
  endif()
  # Windows opens the device, not a file, for these names, whatever follows
  # the first dot and whatever blanks trail the base name.
  string(FIND "${component}" "." dot)
  string(SUBSTRING "${component}" 0 ${dot} base)
  string(REGEX REPLACE " +$" "" base "${base}")
  string(TOUPPER "${base}" base)
  if(base MATCHES "^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)([0-9]|¹|²|³))$")
    set(${out} "is a Windows device name" PARENT_SCOPE)
    return()
  endif()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Sets <out> to the number of UTF-16 code units of the UTF-8 text <text>:
# one for each byte that starts a character, two for a four-byte one.
function(starter_utf16_length out text)
  string(HEX "${text}" hex)
  string(REGEX MATCHALL ".." bytes "${hex}")
  set(units 0)
  foreach(byte IN LISTS bytes)
    if(byte MATCHES "^f")
      math(EXPR units "${units} + 2")
    elseif(NOT byte MATCHES "^[89ab]")
      math(EXPR units "${units} + 1")
    endif()
  endforeach()
  set(${out} ${units} PARENT_SCOPE)
endfunction()

# The longest names the starter's identity block holds, in UTF-16 code units
# (src/starter/identity_block.h; the path is stored with a leading '\').
set(STARTER_APP_NAME_CAPACITY 64)
set(STARTER_EXE_PATH_CAPACITY 259)

function(starter_app_name_problem out name)
  if(name STREQUAL "")
    set(problem "is empty")
  elseif(name STREQUAL "." OR name STREQUAL "..")
    set(problem "is '.' or '..', not a folder name")
  elseif(name MATCHES "[/\\]")
    set(problem "holds a '/' or '\\': it must be one folder name")
  else()
    starter_component_problem(problem "${name}")
  endif()
  if(problem STREQUAL "")
    starter_utf16_length(units "${name}")
    if(units GREATER STARTER_APP_NAME_CAPACITY)
      set(problem "is longer than ${STARTER_APP_NAME_CAPACITY} UTF-16 code units")
    endif()
  endif()
  set(${out} "${problem}" PARENT_SCOPE)
endfunction()

function(starter_exe_path_problem out path)
  set(problem "")
  if(path STREQUAL "")
    set(problem "is empty")
  elseif(path MATCHES "^/")
    set(problem "is not relative")
  elseif(path MATCHES "/$")
    set(problem "ends in '/'")
  elseif(path MATCHES "\\\\")
    set(problem "holds a backslash (use '/')")
  else()
    # Walked with string(FIND), not as a list: a name may hold ';' or '['.
    set(rest "${path}")
    while(problem STREQUAL "")
      string(FIND "${rest}" "/" slash)
      if(slash EQUAL -1)
        set(component "${rest}")
      else()
        string(SUBSTRING "${rest}" 0 ${slash} component)
        math(EXPR after "${slash} + 1")
        string(SUBSTRING "${rest}" ${after} -1 rest)
      endif()
      if(component STREQUAL "" OR component STREQUAL "." OR component STREQUAL "..")
        set(problem "has an empty, '.' or '..' component")
      else()
        starter_component_problem(component_problem "${component}")
        if(NOT component_problem STREQUAL "")
          set(problem "has a component that ${component_problem}")
        endif()
      endif()
      if(slash EQUAL -1)
        break()
      endif()
    endwhile()
  endif()
  if(problem STREQUAL "")
    starter_utf16_length(units "${path}")
    if(units GREATER STARTER_EXE_PATH_CAPACITY)
      set(problem "is longer than ${STARTER_EXE_PATH_CAPACITY} UTF-16 code units")
    endif()
  endif()
  set(${out} "${problem}" PARENT_SCOPE)
endfunction()

# The texts come through the environment: -D would drop trailing blanks.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(DEFINED ENV{STARTER_CHECK_APP_NAME})
    starter_app_name_problem(problem "$ENV{STARTER_CHECK_APP_NAME}")
    if(NOT problem STREQUAL "")
      message(NOTICE "--app-name '$ENV{STARTER_CHECK_APP_NAME}' ${problem}")
    endif()
  endif()
  if(DEFINED ENV{STARTER_CHECK_EXE})
    starter_exe_path_problem(problem "$ENV{STARTER_CHECK_EXE}")
    if(NOT problem STREQUAL "")
      message(NOTICE "--exe '$ENV{STARTER_CHECK_EXE}' ${problem}")
    endif()
  endif()
endif()
