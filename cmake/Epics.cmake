# Epics.cmake: the EPICS Channel Access client library as the imported
# target Epics::ca (include directories + libca + libCom).
#
# With $EPICS_BASE set, an EPICS base installation is used:
#   $EPICS_BASE/include, include/os/Linux, include/compiler/gcc and
#   $EPICS_BASE/lib/$EPICS_HOST_ARCH (default linux-x86_64).
# Otherwise Debian's libca-dev and libcom-dev give the libraries; they ship no
# headers, so the headers of the same version (7.0.3.1) are taken from Debian's
# epics-base source package, fetched once into the build tree by
# fetch_epics_headers.sh (cache: EPICS_HEADERS_DIR).
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

  set(EPICS_HEADERS_DIR ${CMAKE_BINARY_DIR}/epics-headers CACHE PATH
      "Where the EPICS base headers are fetched from Debian's epics-base source package")
  if(NOT EXISTS ${EPICS_HEADERS_DIR}/STAMP)
    find_program(EPICS_APT_GET apt-get)
    if(NOT EPICS_APT_GET)
      message(FATAL_ERROR "No EPICS headers: apt-get is needed to fetch them from "
        "Debian's epics-base source package, or set EPICS_BASE to an EPICS base installation")
    endif()
    message(STATUS "Fetching EPICS 7.0.3.1 headers into ${EPICS_HEADERS_DIR}")
    execute_process(
      COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/fetch_epics_headers.sh ${EPICS_HEADERS_DIR}
      RESULT_VARIABLE _epics_rc)
    if(NOT _epics_rc EQUAL 0)
      message(FATAL_ERROR "Fetching the EPICS headers failed (see above). They come from "
        "Debian's epics-base source package through apt-get (packages apt, tar, "
        "debian-archive-keyring and a reachable Debian mirror); or set EPICS_BASE.")
    endif()
  endif()
  set(_epics_src ${EPICS_HEADERS_DIR}/epics-base/modules)
  set(_epics_includes ${_epics_src}/ca/src/client)
  foreach(_d misc osi osi/os/Linux osi/os/posix osi/os/default osi/compiler/gcc
             osi/compiler/default ellLib error timer cxxTemplates)
    list(APPEND _epics_includes ${_epics_src}/libcom/src/${_d})
  endforeach()
  if(NOT EXISTS ${_epics_src}/ca/src/client/cadef.h)
    message(FATAL_ERROR "${EPICS_HEADERS_DIR} holds no cadef.h: delete that directory "
      "and configure again to fetch the headers anew")
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
