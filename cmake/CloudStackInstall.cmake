# The installed package: the versioned library, the public headers, a CMake package with the
# imported target CloudStackSDKWrapper::CloudStackSDKWrapper, a pkg-config file, the tools and
# their manual pages (see tools/*/CMakeLists.txt) and the README. Every path is one of
# GNUInstallDirs and relative to the prefix, so that `cmake --install build --prefix P` and the
# Debian packages place the same tree; with the prefix /usr (the packages) the library lands in the
# multiarch folder, lib/x86_64-linux-gnu.
include(CMakePackageConfigHelpers)

set(CLOUDSTACK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CloudStackSDKWrapper)

install(TARGETS CloudStackSDKWrapper EXPORT CloudStackSDKWrapperTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${CLOUDSTACK_PUBLIC_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/CloudStackSDKWrapper COMPONENT dev)
install(EXPORT CloudStackSDKWrapperTargets
  NAMESPACE CloudStackSDKWrapper::
  DESTINATION ${CLOUDSTACK_CMAKE_DIR}
  COMPONENT dev)

configure_package_config_file(cmake/CloudStackSDKWrapperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/CloudStackSDKWrapperConfig.cmake
  INSTALL_DESTINATION ${CLOUDSTACK_CMAKE_DIR})
# The library keeps its interface within one major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CloudStackSDKWrapperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/CloudStackSDKWrapperConfig.cmake
  ${PROJECT_BINARY_DIR}/CloudStackSDKWrapperConfigVersion.cmake
  DESTINATION ${CLOUDSTACK_CMAKE_DIR}
  COMPONENT dev)

# The .pc file finds the prefix from its own place, so it holds wherever the tree is installed or
# unpacked.
set(CLOUDSTACK_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(CLOUDSTACK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up /${CLOUDSTACK_PKGCONFIG_DIR} /)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(CLOUDSTACK_PC_PREFIX "\${pcfiledir}/${up}")
endif()
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_LIBDIR BASE_DIRECTORY "\${prefix}" OUTPUT_VARIABLE CLOUDSTACK_PC_LIBDIR)
cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_INCLUDEDIR BASE_DIRECTORY "\${prefix}" OUTPUT_VARIABLE CLOUDSTACK_PC_INCLUDEDIR)
configure_file(cmake/cloudstack-sdk-wrapper.pc.in ${PROJECT_BINARY_DIR}/cloudstack-sdk-wrapper.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cloudstack-sdk-wrapper.pc DESTINATION ${CLOUDSTACK_PKGCONFIG_DIR} COMPONENT dev)

# The README in the project's documentation folder. Its component is none of the Debian packages',
# which carry it in the documentation folder of their own (cmake/CloudStackPackaging.cmake).
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
