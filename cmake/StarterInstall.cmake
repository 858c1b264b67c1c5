# What `cmake --install` puts under the prefix, and what CPack packs (TGZ):
#   bin/pack                                   the packer (host builds)
#   share/starter/starter-stub                 the stub of a host build
#   share/starter/starter-stub.exe             the stub of a Windows build
#   share/starter/cmake/StarterFromStub.cmake  starter_from_stub()
# Installing the Windows cross build into the same prefix adds its stub; so
# does packaging a host build configured with
# -DSTARTER_PACKAGE_WINDOWS_BUILD=<the cross build's folder>.

if(TARGET pack AND NOT CMAKE_CROSSCOMPILING)
  install(TARGETS pack RUNTIME DESTINATION bin)
endif()
install(TARGETS starter_stub RUNTIME DESTINATION share/starter)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/StarterFromStub.cmake DESTINATION share/starter/cmake)

set(STARTER_PACKAGE_WINDOWS_BUILD "" CACHE PATH
    "A built Windows cross build whose stub the package holds as well")
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME starter)
set(CPACK_PACKAGE_VENDOR starter)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Self-extracting starters made from prebuilt stubs")
set(CPACK_PACKAGE_FILE_NAME "starter-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
if(STARTER_PACKAGE_WINDOWS_BUILD)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/"
      "${STARTER_PACKAGE_WINDOWS_BUILD};${PROJECT_NAME};ALL;/")
endif()
include(CPack)
