# The headers a host or module author builds against, and only those. They are installed under
# include/krzpapconfigu/, so that `#include <krzpapconfigu/core/KRZPAPModule.h>` works with the
# compiler's default include path; the library's own units keep including them as "core/...".
# The installed copies are written into the build tree first (include/krzpapconfigu/), with their
# includes of each other spelled <krzpapconfigu/...>: the header checks, the API reference and the
# installation all read those copies.
set(KRZ_PUBLIC_HEADERS
  core/KRZPAPCException.h core/KRZPAPConfigurator.h core/KRZPAPModule.h core/KRZPAPVersion.h
  http/KRZPAPComm.h http/KRZPFormParams.h http/KRZPMultipartParams.h
  html/KRZPHtmlParser.h
  webconf/KRZPHttpConfigurator.h
  discovery/KRZPAPFinder.h discovery/KRZPAPScanner.h discovery/KRZPArpAPFinder.h
  discovery/KRZPArpScanner.h discovery/KRZPDefaultsRecognizer.h discovery/KRZPHttpRecognizer.h
  discovery/KRZPHttpScanner.h
  host/krzcompat/krzexport.h host/krzcompat/krznettypes.h
  host/krzutil/KRZAccessPointWlanInfo.h host/krzutil/KRZEvent.h host/krzutil/KRZException.h
  host/krzutil/KRZLogLevel.h host/krzutil/KRZLoggingUtil.h host/krzutil/KRZMacAddress.h
  host/krzutil/KRZMutex.h host/krzutil/KRZPKey.h host/krzutil/KRZSerialize.h
  host/krzutil/KRZSsid.h
  host/krznetlib/KRZAdapterInfo.h host/krznetlib/KRZGetArpTable.h
  host/krzsettings/KRZSettings.h)
# The device service, a library of its own for hosts.
list(APPEND KRZ_PUBLIC_HEADERS service/KRZPDeviceService.h)
# The application layer, a library of its own for hosts.
list(APPEND KRZ_PUBLIC_HEADERS app/KRZPApp.h app/KRZPAppHelpers.h app/KRZPTlsTrust.h)

# The version macros and the project's version are one number: a release moves both or neither.
file(STRINGS ${PROJECT_SOURCE_DIR}/core/KRZPAPVersion.h version_lines
  REGEX "^#define KRZPAPCONFIGU_VERSION_(MAJOR|MINOR|PATCH) ")
set(header_version)
foreach(line ${version_lines})
  string(REGEX REPLACE ".* ([0-9]+)$" "\\1" number "${line}")
  list(APPEND header_version ${number})
endforeach()
list(JOIN header_version "." header_version)
if(NOT header_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "core/KRZPAPVersion.h says ${header_version}, the project ${PROJECT_VERSION}")
endif()

set(KRZ_PUBLIC_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/include)
set(KRZ_PUBLIC_HEADER_COPIES)
foreach(header ${KRZ_PUBLIC_HEADERS})
  string(REGEX REPLACE "^host/" "" installed ${header})
  set(copy ${KRZ_PUBLIC_INCLUDE_ROOT}/krzpapconfigu/${installed})
  add_custom_command(OUTPUT ${copy}
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/${header} -DTARGET=${copy}
            -P ${PROJECT_SOURCE_DIR}/cmake/KrzPublicHeaderCopy.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/${header} ${PROJECT_SOURCE_DIR}/cmake/KrzPublicHeaderCopy.cmake
    VERBATIM)
  list(APPEND KRZ_PUBLIC_HEADER_COPIES ${copy})
endforeach()
add_custom_target(krz_public_headers ALL DEPENDS ${KRZ_PUBLIC_HEADER_COPIES})
