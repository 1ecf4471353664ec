# Debian packages: `cd build && cpack -G DEB` makes three packages from the install rules:
#   libcloudstacksdkwrapper1      the shared library                              (component runtime)
#   libcloudstacksdkwrapper-dev   headers, CMake package, pkg-config file, README (component dev)
#   cloudstack-tools              cloudstack-cli and cloudstack-sim, man pages    (component tools)
# The tree must be configured with -DCMAKE_INSTALL_PREFIX=/usr, the packages' prefix, so that
# GNUInstallDirs chooses the folders Debian uses (the multiarch library folder); cpack refuses
# otherwise. Each package carries /usr/share/doc/<package>/ with the copyright file and the
# changelog of cmake/debian/, whose top entry gives the packages' version.
set(CPACK_PACKAGE_NAME cloudstack-sdk-wrapper)
set(CPACK_PACKAGE_VENDOR "CloudStackSDKWrapper developers")
set(CPACK_PACKAGE_CONTACT
  "CloudStackSDKWrapper developers <maintainers@users.noreply.c-seed-c848e541.example>")
# Each package's summary is the first line of its own description below; CPack would put this
# one in front of it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(CLOUDSTACK_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

# What cpack checks before it packages (cmake/CloudStackCPackProject.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CloudStackCPackProject.cmake)
set(CPACK_CLOUDSTACK_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_CLOUDSTACK_PACKAGE_DIR ${PROJECT_BINARY_DIR}/debian)

# The version: the top entry of the changelog, "cloudstack-sdk-wrapper (1.0.0-1) unstable; ...".
set(CLOUDSTACK_DEB_CHANGELOG ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CLOUDSTACK_DEB_CHANGELOG} ${PROJECT_SOURCE_DIR}/README.md)
file(STRINGS ${CLOUDSTACK_DEB_CHANGELOG} top LIMIT_COUNT 1)
if(NOT top MATCHES "^${CPACK_PACKAGE_NAME} \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: the top line names no version UPSTREAM-REVISION: ${top}")
endif()
set(CPACK_CLOUDSTACK_CHANGELOG_VERSION ${CMAKE_MATCH_1})
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set(deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ${CPACK_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of the runtime package, which dpkg-shlibdeps finds in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(runtime_package libcloudstacksdkwrapper${PROJECT_VERSION_MAJOR})
# Descriptions: the summary line, then the long description (CPack indents it for the control file).
set(about_library
  "A host program links this library to log in to an Apache CloudStack\n"
  "management server with a password or an API key pair, list its projects,\n"
  "zones, pods, clusters, hosts and virtual machines into plain records, start\n"
  "and stop virtual machines, and send any other command of the HTTP API.\n\n")
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "C++ client library for CloudStack management servers\n" ${about_library}
  "This package holds the shared library.")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
  "C++ client library for CloudStack management servers (development files)\n" ${about_library}
  "This package holds the headers, the CMake package and the pkg-config file.")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
  "command-line client and server simulator for CloudStack\n"
  "cloudstack-cli lists the projects, zones, pods, clusters, hosts and virtual\n"
  "machines of an Apache CloudStack management server, starts and stops virtual\n"
  "machines, and sends any other command of the HTTP API.\n\n"
  "cloudstack-sim is a management-server simulator for tests and demos.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
# CPack's own dpkg-shlibdeps run and shlibs file would come with ldconfig maintainer scripts, and a
# postrm keeps a removed package in dpkg's "rc" state. So the runtime package gets its Depends
# from cmake/CloudStackCPackProject.cmake, and a shlibs file and an ldconfig trigger of ours.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CPACK_CLOUDSTACK_PACKAGE_DIR}/shlibs ${CPACK_CLOUDSTACK_PACKAGE_DIR}/triggers)
# A host built against this version needs at least this version.
file(WRITE ${CPACK_CLOUDSTACK_PACKAGE_DIR}/shlibs
  "libCloudStackSDKWrapper ${PROJECT_VERSION_MAJOR} ${runtime_package} (>= ${PROJECT_VERSION})\n")
file(WRITE ${CPACK_CLOUDSTACK_PACKAGE_DIR}/triggers "activate-noawait ldconfig\n")
file(GENERATE OUTPUT ${CPACK_CLOUDSTACK_PACKAGE_DIR}/library-file CONTENT "$<TARGET_FILE:CloudStackSDKWrapper>")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcloudstacksdkwrapper-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${runtime_package} (= ${deb_version})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME cloudstack-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${runtime_package} (= ${deb_version})")

# /usr/share/doc/<package>/ of each package: the copyright file, the changelog and (in the -dev
# package) the README, compressed as Debian policy asks. Only a package's own installation
# (cpack) puts them there, never `cmake --install`.
find_program(CLOUDSTACK_GZIP gzip REQUIRED)
execute_process(COMMAND ${CLOUDSTACK_GZIP} -9nc ${CLOUDSTACK_DEB_CHANGELOG}
  OUTPUT_FILE ${CPACK_CLOUDSTACK_PACKAGE_DIR}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CLOUDSTACK_GZIP} -9nc ${PROJECT_SOURCE_DIR}/README.md
  OUTPUT_FILE ${CPACK_CLOUDSTACK_PACKAGE_DIR}/README.md.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(docs ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${CPACK_CLOUDSTACK_PACKAGE_DIR}/changelog.Debian.gz)
  if(component STREQUAL "dev")
    list(APPEND docs ${CPACK_CLOUDSTACK_PACKAGE_DIR}/README.md.gz)
  endif()
  install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
