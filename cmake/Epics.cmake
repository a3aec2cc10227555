# Epics.cmake: the EPICS Channel Access client library as the imported
# target Epics::ca (include directories + libca + libCom).
#
# With $EPICS_BASE set, an EPICS base installation is used:
#   $EPICS_BASE/include, include/os/Linux, include/compiler/gcc and
#   $EPICS_BASE/lib/$EPICS_HOST_ARCH (default linux-x86_64).
# Otherwise Debian's libca-dev and libcom-dev give the libraries; they ship no
# headers, so the headers of the same version (7.0.3.1) are taken from Debian's
# epics-base source package, unpacked once into the dependency cache
# (cmake/deps-cache.sh) by fetch_epics_headers.sh, or from EPICS_HEADERS_DIR.
include_guard(GLOBAL)

if(DEFINED ENV{EPICS_BASE} AND NOT "$ENV{EPICS_BASE}" STREQUAL "")
  set(_epics_base "$ENV{EPICS_BASE}")
  if(DEFINED ENV{EPICS_HOST_ARCH} AND NOT "$ENV{EPICS_HOST_ARCH}" STREQUAL "")
    set(_epics_arch "$ENV{EPICS_HOST_ARCH}")
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_epics_arch linux-x86)
  else()
    set(_epics_arch linux-x86_64)
  endif()
  set(_epics_includes ${_epics_base}/include ${_epics_base}/include/os/Linux
                      ${_epics_base}/include/compiler/gcc)
  if(NOT EXISTS ${_epics_base}/include/cadef.h)
    message(FATAL_ERROR "EPICS_BASE=${_epics_base} has no include/cadef.h: "
      "point EPICS_BASE at an EPICS base installation, or unset it to use "
      "Debian's libca-dev and libcom-dev")
  endif()
  find_library(EPICS_CA_LIBRARY ca PATHS ${_epics_base}/lib/${_epics_arch} NO_DEFAULT_PATH)
  find_library(EPICS_COM_LIBRARY Com PATHS ${_epics_base}/lib/${_epics_arch} NO_DEFAULT_PATH)
  set(_epics_lib_hint "in ${_epics_base}/lib/${_epics_arch} (set EPICS_HOST_ARCH?)")
else()
  find_library(EPICS_CA_LIBRARY ca)
  find_library(EPICS_COM_LIBRARY Com)
  set(_epics_lib_hint "(install the Debian packages libca-dev and libcom-dev)")

  # Empty: the entry of the dependency cache, made on first use.
  set(EPICS_HEADERS_DIR "" CACHE PATH
      "EPICS base headers unpacked from Debian's epics-base source package (empty: the dependency cache)")
  set(_epics_headers "${EPICS_HEADERS_DIR}")
  if(_epics_headers STREQUAL "")
    execute_process(
      COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/fetch_epics_headers.sh
      OUTPUT_VARIABLE _epics_out RESULT_VARIABLE _epics_rc)
    if(NOT _epics_rc EQUAL 0)
      message(FATAL_ERROR "Fetching the EPICS headers failed (see above). They come from "
        "Debian's epics-base source package through apt-get (packages apt, tar, "
        "debian-archive-keyring and a reachable Debian mirror); or set EPICS_BASE.")
    endif()
    string(STRIP "${_epics_out}" _epics_headers)  # the script's only line on stdout
  endif()
  set(_epics_src ${_epics_headers}/epics-base/modules)
  set(_epics_includes ${_epics_src}/ca/src/client)
  foreach(_d misc osi osi/os/Linux osi/os/posix osi/os/default osi/compiler/gcc
             osi/compiler/default ellLib error timer cxxTemplates)
    list(APPEND _epics_includes ${_epics_src}/libcom/src/${_d})
  endforeach()
  if(NOT EXISTS ${_epics_src}/ca/src/client/cadef.h)
    message(FATAL_ERROR "${_epics_headers} holds no epics-base/modules/ca/src/client/cadef.h: "
      "delete that directory and configure again to fetch the headers anew")
  endif()
endif()

if(NOT EPICS_CA_LIBRARY)
  message(FATAL_ERROR "libca not found ${_epics_lib_hint}")
endif()
if(NOT EPICS_COM_LIBRARY)
  message(FATAL_ERROR "libCom not found ${_epics_lib_hint}")
endif()

add_library(Epics::ca INTERFACE IMPORTED GLOBAL)
set_target_properties(Epics::ca PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_epics_includes}"
  INTERFACE_LINK_LIBRARIES "${EPICS_CA_LIBRARY};${EPICS_COM_LIBRARY}")
message(STATUS "Epics::ca: ${EPICS_CA_LIBRARY} ${EPICS_COM_LIBRARY}")
