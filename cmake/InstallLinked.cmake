# snapscan_install_linked(<target> <destination>): installs a program or module
# that links libsnaphost of this build, and gives the installed copy the RUNPATH
# it needs there: none when libsnaphost goes to a system library directory,
# else one relative to the installed file ($ORIGIN/...).
#
# Not install(TARGETS): for a target it installs, CMake ends the build tree's
# RUNPATH with an empty entry (room to rewrite it in place at install), and the
# loader reads an empty entry as the working directory. Installed as a file,
# the target keeps a build-tree RUNPATH of build directories only.
function(snapscan_install_linked target destination)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${destination})
  else()
    install(FILES $<TARGET_FILE:${target}> DESTINATION ${destination})
  endif()
  if(IS_ABSOLUTE "${destination}")
    set(directory "${destination}")
    set(installed "\$ENV{DESTDIR}${destination}/$<TARGET_FILE_NAME:${target}>")
  else()
    set(directory "${CMAKE_INSTALL_PREFIX}/${destination}")
    set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>")
  endif()
  if(SNAPSCAN_INSTALL_RUNPATH)
    file(RELATIVE_PATH to_libdir "${directory}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    string(REGEX REPLACE "/$" "" to_libdir "${to_libdir}")
    install(CODE "file(RPATH_SET FILE \"${installed}\" NEW_RPATH \"\$ORIGIN/${to_libdir}\")")
  else()
    install(CODE "file(RPATH_REMOVE FILE \"${installed}\")")
  endif()
endfunction()
