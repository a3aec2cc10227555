# EpicsPva.cmake: EPICS's PV Access client and server libraries (pvAccess,
# pvData, normativeTypes) as the imported target Epics::pva, and the soft IOC
# that serves records over PV Access (EPICS_PVA_SOFTIOC: softIocPVA, with
# EPICS_PVA_SOFTIOC_DBD its dbd file).
#
# Where they come from, first found:
#   EPICS_PVA_DIR      an EPICS installation holding them (a bundled EPICS 7
#                      base, or an entry made by cmake/build-epics-pva.sh);
#   $EPICS_BASE        the installation Epics::ca takes libca from;
#   the dependency cache entry epics-pva-VERSION-ARCH, which
#                      cmake/build-epics-pva.sh builds on first use (about 3.5
#                      minutes on 2 cores, and EPICS base's 2 to 4 before it
#                      when that entry is missing too).
#
# Epics::pva links libpvAccess, libpvData and libnt, and Epics::ca (libca and
# libCom) after them.  The cache entry's libraries are static archives of
# position-independent code built from the same 7.0.3.1 source as Debian's
# libca/libCom: they go whole into the program or shared object that links
# them, and take libCom and libca from the shared libraries Epics::ca names,
# so a process holds one libCom however many of its parts speak Channel
# Access or PV Access.  Their symbols are not exported from a shared object
# that links them (--exclude-libs): another copy of pvAccess in the same
# process (another extension's) never binds to Tessaly's, nor Tessaly's to it.
# Nothing of them is installed beside Tessaly.
#
# An installation with shared libraries (EPICS_PVA_DIR or $EPICS_BASE) is
# linked as it is: its lib directory must then be on the loader's path where
# Tessaly runs, and Epics::ca must come from the same installation ($EPICS_BASE)
# so that one libCom serves both; a mix is refused.
include_guard(GLOBAL)
include(Epics)

set(EPICS_PVA_DIR "" CACHE PATH
    "EPICS installation with pvAccess, pvData and normativeTypes (empty: $EPICS_BASE, else the dependency cache's entry)")

set(_pva_dir "${EPICS_PVA_DIR}")
set(_pva_from "EPICS_PVA_DIR")
if(_pva_dir STREQUAL "" AND DEFINED ENV{EPICS_BASE} AND NOT "$ENV{EPICS_BASE}" STREQUAL "")
  set(_pva_dir "$ENV{EPICS_BASE}")
  set(_pva_from "EPICS_BASE")
endif()
if(_pva_dir STREQUAL "")
  set(_pva_from "the dependency cache")
  message(STATUS "Epics::pva: the PV Access entry of the dependency cache (built on first use, several minutes)")
  execute_process(
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/build-epics-pva.sh
    OUTPUT_VARIABLE _pva_out RESULT_VARIABLE _pva_rc)
  if(NOT _pva_rc EQUAL 0)
    message(FATAL_ERROR "Building EPICS's PV Access modules into the dependency cache failed "
      "(see above; packages make, perl, g++, tar and a Debian mirror for the source). "
      "Name an installation with -DEPICS_PVA_DIR=..., or configure with -DTESSALY_PVA=OFF.")
  endif()
  string(STRIP "${_pva_out}" _pva_out)
  string(REGEX REPLACE ".*\n" "" _pva_dir "${_pva_out}")  # the script's last line
endif()

if(DEFINED ENV{EPICS_HOST_ARCH} AND NOT "$ENV{EPICS_HOST_ARCH}" STREQUAL "")
  set(_pva_arch "$ENV{EPICS_HOST_ARCH}")
elseif(EXISTS "${_pva_dir}/STAMP")
  file(READ "${_pva_dir}/STAMP" _pva_stamp)
  string(REGEX MATCH "^[^ ]+ ([^ \n]+)" _ "${_pva_stamp}")
  set(_pva_arch "${CMAKE_MATCH_1}")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_pva_arch linux-x86)
else()
  set(_pva_arch linux-x86_64)
endif()

if(NOT EXISTS "${_pva_dir}/include/pva/client.h")
  message(FATAL_ERROR "${_pva_dir} (from ${_pva_from}) has no include/pva/client.h: "
    "it is not an EPICS installation with pvAccess")
endif()

set(_pva_libs)
set(_pva_archives)
foreach(_lib nt pvAccess pvData)
  unset(_pva_found CACHE)
  find_library(_pva_found ${_lib} PATHS "${_pva_dir}/lib/${_pva_arch}" NO_DEFAULT_PATH)
  if(NOT _pva_found)
    message(FATAL_ERROR "lib${_lib} not found in ${_pva_dir}/lib/${_pva_arch} (set EPICS_HOST_ARCH?)")
  endif()
  list(APPEND _pva_libs "${_pva_found}")
  if(_pva_found MATCHES "\\.a$")
    list(APPEND _pva_archives "lib${_lib}.a")
  endif()
  unset(_pva_found CACHE)
endforeach()

# Shared pvAccess libraries bring the libCom of their own installation: it
# must be the one Epics::ca links.
if(NOT _pva_archives)
  get_filename_component(_pva_com_dir "${EPICS_COM_LIBRARY}" DIRECTORY)
  get_filename_component(_pva_com_dir "${_pva_com_dir}" REALPATH)
  get_filename_component(_pva_lib_dir "${_pva_dir}/lib/${_pva_arch}" REALPATH)
  if(NOT _pva_com_dir STREQUAL _pva_lib_dir)
    message(FATAL_ERROR "${_pva_dir} has shared pvAccess libraries, which need its own libCom, "
      "but Epics::ca links ${EPICS_COM_LIBRARY}: two libComs in one process. "
      "Set EPICS_BASE to that installation too, or leave EPICS_PVA_DIR empty for the cache's static build.")
  endif()
endif()

find_package(Threads REQUIRED)
add_library(Epics::pva INTERFACE IMPORTED GLOBAL)
set_target_properties(Epics::pva PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES
    "${_pva_dir}/include;${_pva_dir}/include/os/Linux;${_pva_dir}/include/compiler/gcc"
  INTERFACE_LINK_LIBRARIES "${_pva_libs};Epics::ca;Threads::Threads")
if(_pva_archives)
  string(REPLACE ";" ":" _pva_exclude "${_pva_archives}")
  set_target_properties(Epics::pva PROPERTIES
    INTERFACE_LINK_OPTIONS "LINKER:--exclude-libs,${_pva_exclude}")
endif()

# The soft IOC with QSRV, for the tests.
unset(EPICS_PVA_SOFTIOC CACHE)
find_program(EPICS_PVA_SOFTIOC NAMES softIocPVA PATHS "${_pva_dir}/bin/${_pva_arch}" NO_DEFAULT_PATH)
set(EPICS_PVA_SOFTIOC_DBD "${_pva_dir}/dbd/softIocPVA.dbd")
set(EPICS_PVA_DIR_USED "${_pva_dir}")
message(STATUS "Epics::pva: ${_pva_dir} (${_pva_from}); softIocPVA: ${EPICS_PVA_SOFTIOC}")
