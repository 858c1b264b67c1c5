# Starter stubs: starters that carry no archive yet and whose identity block is
# open, so that `pack SOURCE -o OUT --stub STUB` can make complete starters of
# them without a compiler, a linker or a resource compiler.
#
# starter_add_stub(<name> [OUTPUT_NAME <name>])
#   A stub executable: a starter without payload (on Windows with its
#   manifest) holding the default application name and executable path in an
#   open identity block. Release builds are stripped (starter_add_executable).
#   A POSIX stub also reserves its payload slot: a read-only segment of its
#   own, above the others, that `pack` points at the archive, so that the
#   kernel maps the archive with the image (src/payload/payload_trailer.h).

function(starter_add_stub name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "" ${ARGN})
  set(pass_on)
  if(ARG_OUTPUT_NAME)
    list(APPEND pass_on OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  starter_add_executable(${name} ${pass_on})
  starter_make_stub(${name})
endfunction()
