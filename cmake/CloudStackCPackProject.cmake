# Read by cpack before it packages (CPACK_PROJECT_CONFIG_FILE of cmake/CloudStackPackaging.cmake):
# refuses Debian packages that would not be what Debian expects, and gives the runtime package the
# dependencies dpkg-shlibdeps finds for the shared object.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

if(NOT CPACK_CLOUDSTACK_INSTALL_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
  message(FATAL_ERROR "The Debian packages install into ${CPACK_PACKAGING_INSTALL_PREFIX}, so that the library "
    "lands in the multiarch folder: configure this tree with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX} "
    "(it is ${CPACK_CLOUDSTACK_INSTALL_PREFIX}).")
endif()
if(NOT CPACK_CLOUDSTACK_CHANGELOG_VERSION STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog ends at version ${CPACK_CLOUDSTACK_CHANGELOG_VERSION}, the project "
    "is at ${CPACK_PACKAGE_VERSION}: add an entry for ${CPACK_PACKAGE_VERSION}-1 at its top.")
endif()

# The runtime package's Depends, as CPack would find them for a package without ldconfig scripts.
find_program(CLOUDSTACK_SHLIBDEPS dpkg-shlibdeps)
if(NOT CLOUDSTACK_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps not found (apt-get install dpkg-dev)")
endif()
file(READ ${CPACK_CLOUDSTACK_PACKAGE_DIR}/library-file library)
# dpkg-shlibdeps wants to run in a source tree: an empty debian/control is enough.
set(work ${CPACK_CLOUDSTACK_PACKAGE_DIR}/shlibdeps)
file(REMOVE_RECURSE ${work})
file(WRITE ${work}/debian/control "")
execute_process(COMMAND ${CLOUDSTACK_SHLIBDEPS} -O ${library}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE substvars
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps ${library} failed: ${substvars}${errors}")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
