# Windows (mingw-w64 cross) parts of the scan-control extension.
#
# Tcl: the Windows Tcls of cmake/Tcl.cmake; the extension links their stubs
# libraries, so the DLLs need no particular Tcl DLL name.
#
# Board library: the vendor's import library for cbw32.dll is not available,
# so one is made from scan_control/cbw32.def with dlltool (target
# cbw32_import).  On 32-bit x86 the calls are __stdcall: the compiler
# references cbToEngUnits@16 and the like, while cbw32.dll exports the plain
# names, hence dlltool --kill-at.  The 64-bit build has no such suffixes.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_mingw_host x86_64-w64-mingw32)
else()
  set(_mingw_host i686-w64-mingw32)
endif()
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${_mingw_host}-dlltool dlltool REQUIRED)
endif()
set(_cbw32_def ${PROJECT_SOURCE_DIR}/scan_control/cbw32.def)
set(_cbw32_implib ${CMAKE_CURRENT_BINARY_DIR}/libcbw32.a)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  file(READ ${_cbw32_def} _def_text)
  string(REGEX REPLACE "@[0-9]+" "" _def_text "${_def_text}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/cbw32-x64.def "${_def_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_cbw32_def})
  set(_cbw32_def ${CMAKE_CURRENT_BINARY_DIR}/cbw32-x64.def)
  set(_kill_at "")
else()
  set(_kill_at --kill-at)
endif()
add_custom_command(OUTPUT ${_cbw32_implib}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${_cbw32_def} --dllname cbw32.dll ${_kill_at} --output-lib ${_cbw32_implib}
  DEPENDS ${_cbw32_def}
  COMMENT "Import library for cbw32.dll from cbw32.def")
add_custom_target(cbw32_implib DEPENDS ${_cbw32_implib})
add_library(cbw32_import INTERFACE)
target_link_libraries(cbw32_import INTERFACE ${_cbw32_implib})

# vantorq.dll and tcl9vantorq.dll: runtime linked in statically (no mingw
# DLLs needed), and the board library stand-in beside them for the tests.
function(vantorq_windows_dll target)
  add_dependencies(${target} cbw32_implib)
  target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++)
  set_target_properties(${target} PROPERTIES PREFIX "")
  if(TARGET board_sim)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:board_sim> $<TARGET_FILE_DIR:${target}>
      COMMENT "cbw32.dll (board library stand-in) beside ${target}")
  endif()
endfunction()
