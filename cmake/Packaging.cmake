# Installation, the CMake package an agent finds with find_package(snapscan), and
# the Debian package. Included last by the top CMakeLists.txt, once every target
# exists. The plug-in, libsnaphost, the CLI and the emulator install their
# binaries beside their targets (install(TARGETS ... EXPORT snapscanTargets)).
include(CMakePackageConfigHelpers)

set(SNAPSCAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/snapscan)

# The public headers: what an agent builds a plug-in or a host against.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host ${PROJECT_SOURCE_DIR}/common
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/snapscan
  FILES_MATCHING PATTERN "*.h")
# The headers include each other as "host/..." and "common/...".
foreach(target snaphost IsilonSnapClient)
  if(TARGET ${target})
    target_include_directories(${target} INTERFACE
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/snapscan>)
  endif()
endforeach()

install(EXPORT snapscanTargets
  NAMESPACE snapscan::
  DESTINATION ${SNAPSCAN_CMAKE_DIR})

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/snapscanConfig.cmake.in [=[
@PACKAGE_INIT@

include(CMakeFindDependencyMacro)
# The host headers hand out boost::shared_ptr and boost::any.
find_dependency(Boost 1.74)

include("${CMAKE_CURRENT_LIST_DIR}/snapscanTargets.cmake")
set_and_check(snapscan_INCLUDE_DIR "@PACKAGE_CMAKE_INSTALL_INCLUDEDIR@/snapscan")
check_required_components(snapscan)
]=])
configure_package_config_file(
  ${CMAKE_CURRENT_BINARY_DIR}/snapscanConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/snapscanConfig.cmake
  INSTALL_DESTINATION ${SNAPSCAN_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/snapscanConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/snapscanConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/snapscanConfigVersion.cmake
  DESTINATION ${SNAPSCAN_CMAKE_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)

# Debian package: cpack -G DEB in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME snapscan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "snapscan developers")
set(CPACK_PACKAGE_CONTACT "snapscan developers <snapscan@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Snapshot-based change detection for backups of NAS shares: plug-in, host services, CLI, array emulator")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "snapscan developers <snapscan@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The shared libraries libsnaphost, the CLI and the emulator (TLS) link; the
# rest of what they use (Boost, JSON, CLI11, cpp-httplib) is header-only.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6, libstdc++6, libcurl4, libssl3, libsqlite3-0, libxxhash0, libsimdjson14")
# An agent that builds against the installed headers needs Boost's.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libboost-dev")
include(CPack)
