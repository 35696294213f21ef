# Installation: what an agent builds against (headers, the CMake package
# find_package(snapscan) reads, pkg-config's snaphost.pc), the CLI with its
# private plug-in, its manual pages, completion and examples, and the system
# files of a deployment (configuration, systemd units, tmpfiles.d, logrotate).
# Included last by the top CMakeLists.txt, once every target exists. The
# binaries' own install rules sit beside their targets. The Debian packages
# (debian/, scripts/package) split this one install into packages.
include(CMakePackageConfigHelpers)

set(SNAPSCAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/snapscan)

# The public headers: what an agent builds a plug-in or a host against.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host ${PROJECT_SOURCE_DIR}/common
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/snapscan
  FILES_MATCHING PATTERN "*.h")
# The headers include each other as "host/..." and "common/...".
target_include_directories(snaphost INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/snapscan>)

# The CMake package holds libsnaphost only: the plug-in is loaded with dlopen,
# never linked, and the programs are no part of what an agent builds against.
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

# pkg-config: `pkg-config --cflags --libs snaphost`.
configure_file(${PROJECT_SOURCE_DIR}/cmake/snaphost.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/snaphost.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/snaphost.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Documentation of the CLI and the emulator.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/snapscan.1 ${PROJECT_SOURCE_DIR}/man/arraysim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/snapscan.conf.5
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${PROJECT_SOURCE_DIR}/completion/snapscan
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The scheduled-job wrapper finds the CLI relative to itself, like the CLI
# finds its plug-in, so that an unpacked tree runs its own binaries.
set(SNAPSCAN_JOB_WRAPPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/snapscan)
file(RELATIVE_PATH SNAPSCAN_WRAPPER_TO_BINDIR
  ${CMAKE_INSTALL_FULL_LIBEXECDIR}/snapscan ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/deploy/snapscan-job.in
  ${CMAKE_CURRENT_BINARY_DIR}/snapscan-job @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/snapscan-job DESTINATION ${SNAPSCAN_JOB_WRAPPER_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/deploy/examples/nightly.conf
  ${PROJECT_SOURCE_DIR}/deploy/examples/snapscan.cron
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/examples/mirror-share
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The files of a deployment outside the prefix's own tree.
option(SNAPSCAN_INSTALL_SYSTEM_FILES
  "Install configuration examples, systemd units, tmpfiles.d and logrotate files" ON)
set(SNAPSCAN_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system
  CACHE PATH "Where the systemd units go")
set(SNAPSCAN_TMPFILES_DIR ${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d
  CACHE PATH "Where the tmpfiles.d file goes")
if(SNAPSCAN_INSTALL_SYSTEM_FILES)
  set(SNAPSCAN_JOB_WRAPPER ${CMAKE_INSTALL_FULL_LIBEXECDIR}/snapscan/snapscan-job)
  configure_file(${PROJECT_SOURCE_DIR}/deploy/snapscan-job@.service.in
    ${CMAKE_CURRENT_BINARY_DIR}/snapscan-job@.service @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/snapscan-job@.service
    ${PROJECT_SOURCE_DIR}/deploy/snapscan-job@.timer
    DESTINATION ${SNAPSCAN_SYSTEMD_UNIT_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/tmpfiles.conf
    DESTINATION ${SNAPSCAN_TMPFILES_DIR} RENAME snapscan.conf)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/logrotate
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME snapscan)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/settings.ini
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/snapscan)
  # An example only, yet the file an administrator fills in with a password:
  # owner-only from the start, like the credentials.ini the CLI accepts.
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/credentials.ini.example
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/snapscan
    PERMISSIONS OWNER_READ OWNER_WRITE)
  install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/snapscan/jobs)
endif()
