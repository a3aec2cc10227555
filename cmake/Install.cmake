# What `cmake --install` copies, in two components:
#
#   (default)   both packages in their flavours, with pkgIndex.tcl, and
#               vantorq-status: what a lab machine needs;
#   stand-ins   the stand-ins of the lab's parts, only on request
#               (cmake --install BUILD --component stand-ins): the board
#               library stand-in where the extension finds it, the driver
#               simulator and the Channel Access server in libexec/labtcl.
#               Never part of a plain install, so that the stand-in never
#               answers for the real board library.
#
# Each component first checks that every file it copies has been built, and
# refuses before copying anything when one is missing: a tree built for a few
# targets only (the soak's, the IOC leg's) says so instead of failing half
# way through.  Call labtcl_install_checks() before any other install rule
# and labtcl_write_install_checks() once every target exists.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(LABTCL_STAND_INS_DIR ${CMAKE_INSTALL_LIBEXECDIR}/labtcl)

# Notes that `component` ("default" or "stand-ins") copies these targets.
function(labtcl_installed component)
  foreach(_target ${ARGN})
    set_property(GLOBAL APPEND PROPERTY LABTCL_INSTALLED_FILES "${component}|$<TARGET_FILE:${_target}>")
  endforeach()
endfunction()

# Installs a stand-in target into `destination` (under the prefix), on
# request only; a Windows DLL's import library goes to lib/ with it.
function(labtcl_install_stand_in target destination)
  install(TARGETS ${target}
    RUNTIME DESTINATION ${destination} COMPONENT stand-ins EXCLUDE_FROM_ALL
    LIBRARY DESTINATION ${destination} COMPONENT stand-ins EXCLUDE_FROM_ALL
    ARCHIVE DESTINATION lib COMPONENT stand-ins EXCLUDE_FROM_ALL)
  labtcl_installed(stand-ins ${target})
endfunction()

set(_labtcl_check_file ${CMAKE_BINARY_DIR}/install-check.cmake)

# The first rule of each component: the check.
function(labtcl_install_checks)
  install(CODE "set(_labtcl_component default)\ninclude(\"${_labtcl_check_file}\")")
  install(CODE "set(_labtcl_component stand-ins)\ninclude(\"${_labtcl_check_file}\")"
          COMPONENT stand-ins EXCLUDE_FROM_ALL)
endfunction()

# Writes the script the checks run: each file with its component, then the
# check itself.
function(labtcl_write_install_checks)
  get_property(_entries GLOBAL PROPERTY LABTCL_INSTALLED_FILES)
  string(REPLACE ";" "\"\n    \"" _lines "${_entries}")
  file(GENERATE OUTPUT ${_labtcl_check_file} CONTENT
"# Written by CMake (cmake/Install.cmake): the files each install component
# copies from this tree, checked before anything is copied.
set(_labtcl_tree \"${CMAKE_BINARY_DIR}\")
set(_labtcl_files
    \"${_lines}\")
include(\"${CMAKE_CURRENT_FUNCTION_LIST_DIR}/install-check-run.cmake\")
")
endfunction()
