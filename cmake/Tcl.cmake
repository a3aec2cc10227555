# Tcl for the extensions.  Each extension is built once per Tcl major version
# it serves, from the same sources, against that version's headers and stubs
# library, and is never linked against a Tcl library: Tcl's `load` hands the
# extension the function table of the interpreter loading it (Tcl_InitStubs),
# and a Tcl the build does not serve refuses it with its own message instead
# of mixing two Tcl libraries in one process.
#
#   Tcl::stubs8   the 8.x flavour: Tcl 8.6 headers and stubs library
#   Tcl::stubs9   the Tcl 9 flavour (BUILD_TCL9): Tcl 9.0 headers and stubs
#   TCL8_TCLSH, TCL9_TCLSH  (cache) the shells the Tcl tests of each flavour
#                 run under (Windows builds: .exe files, run under Wine)
#
# Linux: Tcl 8.6 is Debian's (tcl-dev); Tcl 9 is built from Debian's tcl9.0
# source package into the dependency cache by build-tcl.sh when missing (a few
# minutes, once per machine), unless TCL9_DIR names a Tcl 9 installation.
# Windows (mingw-w64 cross builds): both Tcls are built by build-tcl.sh for
# the target into the dependency cache, unless WINDOWS_TCL_DIR /
# WINDOWS_TCL9_DIR name them.
include_guard(GLOBAL)
include(Install)

option(BUILD_TCL9 "Build the Tcl 9 flavour of each extension (a Tcl 9 is built into the dependency cache when missing)" ON)
set(_tcl_module_dir ${CMAKE_CURRENT_LIST_DIR})

# Directory of a Tcl from the dependency cache, built when missing.
function(_tcl_from_cache series host out)
  execute_process(COMMAND sh ${_tcl_module_dir}/build-tcl.sh ${series} ${host} ${_tcl_mode}
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "Building Tcl ${series} for ${host} from Debian's tcl${series} source "
      "package failed (see the messages above).  Name an installed one instead "
      "(WINDOWS_TCL_DIR / WINDOWS_TCL9_DIR / TCL9_DIR), or configure with "
      "-DBUILD_TCL9=OFF to build without the Tcl 9 flavour.")
  endif()
  set(${out} ${_dir} PARENT_SCOPE)
endfunction()

function(_tcl_stubs_target name include stublib)
  foreach(_f ${include}/tcl.h ${stublib})
    if(NOT EXISTS ${_f})
      message(FATAL_ERROR "${name}: ${_f} not found")
    endif()
  endforeach()
  add_library(${name} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${include}
    INTERFACE_COMPILE_DEFINITIONS USE_TCL_STUBS
    INTERFACE_LINK_LIBRARIES ${stublib})
  if(NOT WIN32)
    # The stubs library's own symbols (tclStubsPtr, Tcl_InitStubs, ...) stay
    # inside the extension: it exports its entry points only.
    set_property(TARGET ${name} PROPERTY INTERFACE_LINK_OPTIONS "LINKER:--exclude-libs,ALL")
  endif()
endfunction()

set(_tcl_mode "")
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_tcl_host x86_64-w64-mingw32)
  else()
    set(_tcl_host i686-w64-mingw32)
    # Where Wine's 32-bit loader does not run (a kernel that refuses 32-bit
    # code, or no wine32) the 32-bit Tcls could never run: their headers and
    # stubs libraries, enough to build the DLLs, take seconds instead of
    # minutes.  Why it does not run is .ci/lib/wine32.sh's to tell.
    execute_process(COMMAND /usr/lib/wine/wine --version RESULT_VARIABLE _wine32_rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT _wine32_rc EQUAL 0)
      set(_tcl_mode stubs)
      message(STATUS "Wine's 32-bit loader does not run here (/usr/lib/wine/wine --version: ${_wine32_rc}): the 32-bit Windows Tcls are built as headers and stubs libraries only")
    endif()
  endif()
  set(WINDOWS_TCL_DIR "" CACHE PATH "A Windows Tcl 8.6 (empty: the dependency cache's, built when missing)")
  set(_tcl8 ${WINDOWS_TCL_DIR})
  if(NOT _tcl8)
    _tcl_from_cache(8.6 ${_tcl_host} _tcl8)   # instant once the entry exists
  endif()
  message(STATUS "Windows Tcl 8.6: ${_tcl8}")
  _tcl_stubs_target(Tcl::stubs8 ${_tcl8}/include ${_tcl8}/lib/libtclstub86.a)
  # In the cache: a 32-bit tree reads the 64-bit tree's for the cross-bitness tests.
  set(TCL8_TCLSH ${_tcl8}/bin/tclsh86.exe CACHE FILEPATH "Windows tclsh of the 8.x flavour's tests" FORCE)
  if(BUILD_TCL9)
    set(WINDOWS_TCL9_DIR "" CACHE PATH "A Windows Tcl 9.0 (empty: the dependency cache's, built when missing)")
    set(_tcl9 ${WINDOWS_TCL9_DIR})
    if(NOT _tcl9)
      _tcl_from_cache(9.0 ${_tcl_host} _tcl9)
    endif()
    message(STATUS "Windows Tcl 9: ${_tcl9}")
    _tcl_stubs_target(Tcl::stubs9 ${_tcl9}/include ${_tcl9}/lib/libtclstub.a)
    set(TCL9_TCLSH ${_tcl9}/bin/tclsh90.exe CACHE FILEPATH "Windows tclsh of the Tcl 9 flavour's tests" FORCE)
  endif()
else()
  find_path(TCL8_INCLUDE_DIR tcl.h HINTS /usr/include/tcl8.6 PATH_SUFFIXES tcl8.6)
  find_library(TCL8_STUB_LIBRARY NAMES tclstub8.6 PATH_SUFFIXES tcl8.6)
  find_program(TCL8_TCLSH NAMES tclsh8.6 tclsh)
  if(NOT TCL8_INCLUDE_DIR OR NOT TCL8_STUB_LIBRARY OR NOT TCL8_TCLSH)
    message(FATAL_ERROR "Tcl 8.6 not found (tcl.h: ${TCL8_INCLUDE_DIR}, stubs library: "
      "${TCL8_STUB_LIBRARY}, tclsh: ${TCL8_TCLSH}): install the Debian packages tcl and tcl-dev")
  endif()
  _tcl_stubs_target(Tcl::stubs8 ${TCL8_INCLUDE_DIR} ${TCL8_STUB_LIBRARY})
  if(BUILD_TCL9)
    set(TCL9_DIR "" CACHE PATH "A Tcl 9.0 installation (empty: the dependency cache's, built when missing)")
    set(_tcl9 ${TCL9_DIR})
    if(NOT _tcl9)
      _tcl_from_cache(9.0 x86_64-linux-gnu _tcl9)
    endif()
    message(STATUS "Tcl 9: ${_tcl9}")
    _tcl_stubs_target(Tcl::stubs9 ${_tcl9}/include ${_tcl9}/lib/libtclstub.a)
    set(TCL9_TCLSH ${_tcl9}/bin/tclsh9.0 CACHE FILEPATH "tclsh of the Tcl 9 flavour's tests" FORCE)
  endif()
endif()

# The pkgIndex.tcl of a package built in both flavours: it loads the file
# that serves the running Tcl (Tcl 8.4 to 9 can read it).  Without the Tcl 9
# flavour, Tcl 9 gets an error that says so.  A package with a script layer
# (`script`, a Tcl file beside the libraries that needs Tcl 8.6) has it
# sourced right after the library from Tcl 8.6 on; Tcl 8.4 and 8.5 get the
# library alone, as before.
function(tcl_package_index output package version file8 file9 script)
  set(_load8 "[list load [file join $dir ${file8}] ${package}]")
  if(file9)
    set(_load9 "[list load [file join $dir ${file9}] ${package}]")
    set(_serves "${file8} serves Tcl 8.4 to 8.6, ${file9} Tcl 9")
  else()
    set(_load9 "[list error \"${package} ${version} was built without its Tcl 9 flavour\"]")
    set(_serves "${file8} serves Tcl 8.4 to 8.6")
  endif()
  if(script)
    set(_source "[list source [file join $dir ${script}]]")
    if(file9)
      set(_load9 "\"${_load9}; ${_source}\"")
    endif()
    set(_layer "
# From Tcl 8.6 on, ${script} (the script layer) is sourced after the library.")
    set(_older "} elseif {[package vcompare [info tclversion] 8.6] >= 0} {
    package ifneeded ${package} ${version} \"${_load8}; ${_source}\"
")
  else()
    set(_layer "")
    set(_older "")
  endif()
  file(GENERATE OUTPUT ${output} CONTENT
"# ${package} ${version}: ${_serves}.${_layer}
if {[package vcompare [info tclversion] 9.0] >= 0} {
    package ifneeded ${package} ${version} ${_load9}
${_older}} else {
    package ifneeded ${package} ${version} ${_load8}
}
")
endfunction()

# A Tcl extension built once per Tcl major version from the same SOURCES,
# linked to the LINK libraries and the stubs library of its Tcl:
#   `target`       file `name`, against Tcl 8's stubs (serves 8.4 to 8.6);
#   `target`_tcl9  file tcl9`name` as Tcl 9 names extensions, with BUILD_TCL9.
# Both go to `dir` with hidden symbols, beside the package's pkgIndex.tcl, and
# are installed with it in `installdir` (under the prefix).  The sources get
# `version` as the string LABTCL_PACKAGE_VERSION.  SCRIPTS are Tcl files
# copied beside them and installed too; pkgIndex.tcl sources the first after
# the library (Tcl 8.6 on), which sources the others.  Sets
# `target`_FLAVOURS in the caller to the targets made, for settings of its own.
function(tcl_extension package version target name dir installdir)
  cmake_parse_arguments(PARSE_ARGV 6 _ext "" "" "SOURCES;LINK;SCRIPTS")
  set(_flavours "")
  set(_file9 "")
  foreach(_major 8 9)
    if(_major EQUAL 8)
      set(_target ${target})
      set(_name ${name})
    elseif(BUILD_TCL9)
      set(_target ${target}_tcl9)
      set(_name tcl9${name})
      set(_file9 $<TARGET_FILE_NAME:${_target}>)
    else()
      break()
    endif()
    add_library(${_target} MODULE ${_ext_SOURCES})
    target_link_libraries(${_target} PRIVATE ${_ext_LINK} Tcl::stubs${_major})
    target_compile_definitions(${_target} PRIVATE LABTCL_PACKAGE_VERSION="${version}")
    set_target_properties(${_target} PROPERTIES
      OUTPUT_NAME ${_name}
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON
      LIBRARY_OUTPUT_DIRECTORY ${dir})
    list(APPEND _flavours ${_target})
  endforeach()
  set(_scripts "")
  set(_script "")
  foreach(_s ${_ext_SCRIPTS})
    get_filename_component(_n ${_s} NAME)
    configure_file(${_s} ${dir}/${_n} COPYONLY)
    list(APPEND _scripts ${dir}/${_n})
    if(NOT _script)
      set(_script ${_n})
    endif()
  endforeach()
  tcl_package_index(${dir}/pkgIndex.tcl ${package} ${version} $<TARGET_FILE_NAME:${target}> "${_file9}" "${_script}")
  install(TARGETS ${_flavours} LIBRARY DESTINATION ${installdir} RUNTIME DESTINATION ${installdir})
  install(FILES ${dir}/pkgIndex.tcl ${_scripts} DESTINATION ${installdir})
  labtcl_installed(default ${_flavours})
  set(${target}_FLAVOURS ${_flavours} PARENT_SCOPE)
endfunction()
