# Windows (mingw-w64 cross) parts of the scan-control extension.
#
# Tcl: a Windows Tcl 8.6 built by build-windows-tcl.sh into the dependency
# cache (cmake/deps-cache.sh; built at configure time when missing, a few
# minutes, once per machine); the extension links its stubs library, so
# vantorq.dll needs no particular Tcl DLL name.
#
# Board library: the vendor's import library for cbw32.dll is not available,
# so one is made from scan_control/cbw32.def with dlltool (target
# cbw32_import).  On 32-bit x86 the calls are __stdcall: the compiler
# references cbToEngUnits@16 and the like, while cbw32.dll exports the plain
# names, hence dlltool --kill-at.  The 64-bit build has no such suffixes.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_wintcl_host x86_64-w64-mingw32)
else()
  set(_wintcl_host i686-w64-mingw32)
endif()

set(WINDOWS_TCL_DIR "" CACHE PATH "A Windows Tcl 8.6 with lib/libtclstub86.a (empty: the dependency cache's, built when missing)")
set(_wintcl ${WINDOWS_TCL_DIR})
if(NOT _wintcl)
  # Asked at every configure: instant once the entry exists.
  execute_process(COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/build-windows-tcl.sh ${_wintcl_host}
                  RESULT_VARIABLE _wintcl_result OUTPUT_VARIABLE _wintcl OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _wintcl_result EQUAL 0)
    message(FATAL_ERROR "Building the Windows Tcl 8.6 for ${_wintcl_host} failed (see the messages above); "
                        "or set WINDOWS_TCL_DIR to a Windows Tcl 8.6 with lib/libtclstub86.a")
  endif()
endif()
if(NOT EXISTS ${_wintcl}/lib/libtclstub86.a OR NOT EXISTS ${_wintcl}/include/tcl.h)
  message(FATAL_ERROR "${_wintcl} is no Windows Tcl 8.6: lib/libtclstub86.a or include/tcl.h missing")
endif()
message(STATUS "Windows Tcl 8.6: ${_wintcl}")
set(TCL_INCLUDE_PATH ${_wintcl}/include)
set(TCL_LIBRARY ${_wintcl}/lib/libtclstub86.a)
# In the cache so that the 32-bit tree can read the 64-bit tree's.
set(WINDOWS_TCLSH ${_wintcl}/bin/tclsh86.exe CACHE FILEPATH "Windows tclsh, run under Wine by the tests" FORCE)

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${_wintcl_host}-dlltool dlltool REQUIRED)
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

# vantorq.dll: stubs, runtime linked in statically (no mingw DLLs needed),
# and the board library stand-in beside it for the tests.
function(vantorq_windows_dll target)
  add_dependencies(${target} cbw32_implib)
  target_compile_definitions(${target} PRIVATE USE_TCL_STUBS)
  target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++)
  set_target_properties(${target} PROPERTIES PREFIX "")
  if(TARGET board_sim)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:board_sim> $<TARGET_FILE_DIR:${target}>
      COMMENT "cbw32.dll (board library stand-in) beside ${target}")
  endif()
endfunction()
