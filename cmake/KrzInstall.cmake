# Installation, as three components that the Debian packages split along: runtime (the libraries,
# and in their private folder the modules, the lab library and the resource library), tools
# (krzpap, krzlab, manual pages) and development (public headers, the CMake package, the .pc
# files, the API reference). The folders are chosen in KrzInstallDirs.cmake.
include(CMakePackageConfigHelpers)

# The libraries that programs link with carry a version and a SONAME; the sample module, the lab
# library and the resource library are loaded by name at run time and keep the names the loader
# looks for.
set(KRZ_LINKED_LIBRARIES krzplatform krzutil krzsettings krznetlib krzpapconfigu)
list(APPEND KRZ_LINKED_LIBRARIES krzpapservice)
list(APPEND KRZ_LINKED_LIBRARIES krzpapapp)
set(KRZ_SOVERSION 1)
if(NOT WIN32)
  set_target_properties(${KRZ_LINKED_LIBRARIES} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${KRZ_SOVERSION})
endif()

# libkrzpapconfigu.so, the name that -lkrzpapconfigu finds, is written below.
set(KRZ_NAMELINKED_LIBRARIES ${KRZ_LINKED_LIBRARIES})
list(REMOVE_ITEM KRZ_NAMELINKED_LIBRARIES krzpapconfigu)
install(TARGETS ${KRZ_NAMELINKED_LIBRARIES}
  EXPORT krzpapconfiguTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(TARGETS krzpapconfigu
  EXPORT krzpapconfiguTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
if(WIN32)
  # The stand-in for the header-only packages, which the libraries name as a dependency.
  install(TARGETS krz_header_deps EXPORT krzpapconfiguTargets)
endif()
if(TARGET TqvRes)
  install(TARGETS TqvRes LIBRARY DESTINATION ${KRZ_INSTALL_MODULEDIR} COMPONENT runtime
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

install(DIRECTORY ${KRZ_PUBLIC_INCLUDE_ROOT}/krzpapconfigu
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# `-lkrzpapconfigu` alone links a program: the development name is a linker script (as the C
# library's is) that adds the host libraries whose classes the interface hands out.
if(NOT WIN32)
  set(linker_inputs)
  foreach(library krzutil krznetlib krzsettings krzplatform)
    list(APPEND linker_inputs lib${library}.so.${KRZ_SOVERSION})
  endforeach()
  list(JOIN linker_inputs " " linker_inputs)
  # ldconfig takes a file that opens with "/* GNU ld script" for what it is and passes it by.
  file(WRITE ${CMAKE_BINARY_DIR}/devlink/libkrzpapconfigu.so
    "/* GNU ld script\n"
    "   The library and, as needed, the host libraries its interface uses. */\n"
    "INPUT(libkrzpapconfigu.so.${KRZ_SOVERSION} AS_NEEDED(${linker_inputs}))\n")
  install(FILES ${CMAKE_BINARY_DIR}/devlink/libkrzpapconfigu.so
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

set(KRZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/krzpapconfigu)
install(EXPORT krzpapconfiguTargets NAMESPACE krzpapconfigu::
  DESTINATION ${KRZ_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/krzpapconfiguConfig.cmake.in
  ${CMAKE_BINARY_DIR}/krzpapconfiguConfig.cmake
  INSTALL_DESTINATION ${KRZ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/krzpapconfiguConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/krzpapconfiguConfig.cmake
  ${CMAKE_BINARY_DIR}/krzpapconfiguConfigVersion.cmake
  DESTINATION ${KRZ_CMAKE_DIR} COMPONENT development)

# pkg-config: every path from the .pc file's own folder, so that a prefix works wherever it was
# installed.
set(KRZ_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KRZ_PC_TO_PREFIX /${KRZ_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" KRZ_PC_TO_PREFIX "${KRZ_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/krzpapconfigu.pc.in ${CMAKE_BINARY_DIR}/krzpapconfigu.pc
  @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/krzpapservice.pc.in ${CMAKE_BINARY_DIR}/krzpapservice.pc
  @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/krzpapapp.pc.in ${CMAKE_BINARY_DIR}/krzpapapp.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/krzpapapp.pc
  DESTINATION ${KRZ_PKGCONFIG_DIR} COMPONENT development)
install(FILES ${CMAKE_BINARY_DIR}/krzpapconfigu.pc ${CMAKE_BINARY_DIR}/krzpapservice.pc
  DESTINATION ${KRZ_PKGCONFIG_DIR} COMPONENT development)

# The guides and the example projects, for host developers and module authors.
install(FILES ${PROJECT_SOURCE_DIR}/docs/hosts.md ${PROJECT_SOURCE_DIR}/docs/modules.md
  ${PROJECT_SOURCE_DIR}/docs/har-keep-log.png ${PROJECT_SOURCE_DIR}/docs/har-export.png
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/host ${PROJECT_SOURCE_DIR}/examples/module
  ${PROJECT_SOURCE_DIR}/examples/app
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
# The API reference, where doxygen built it (KrzApiReference.cmake).
if(TARGET api_reference)
  install(DIRECTORY ${KRZ_API_REFERENCE_DIR}/html DESTINATION ${CMAKE_INSTALL_DOCDIR}/api
    COMPONENT development)
endif()

# What a user of the program needs beside it: the sample module, the emulated lab (its library,
# which the network library loads, and the krzlab program that 'krzpap lab' runs), the manual
# pages, bash completion and the schema of the JSON output. Everything is found relative to the
# program and the libraries, so the prefix can be anywhere. The module and the lab library belong
# with the library (it loads them), the programs and their pages with the tools.
foreach(runtime krzpapmodulesu krzlab)
  if(TARGET ${runtime})
    install(TARGETS ${runtime} LIBRARY DESTINATION ${KRZ_INSTALL_MODULEDIR} COMPONENT runtime
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()
if(TARGET krzlab_program)
  # The lab program links the lab library, which lies in the private folder.
  set_property(TARGET krzlab_program APPEND PROPERTY INSTALL_RPATH
    "$ORIGIN/../${KRZ_INSTALL_MODULEDIR}")
  install(TARGETS krzlab_program RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET krzpap)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/krzpap/krzpap.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME krzpap
    COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/krzpap/krzpap-output.schema.json
    ${PROJECT_SOURCE_DIR}/recording/recording.schema.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/krzpap COMPONENT tools)
  # Written as manuals, not generated from --help; compressed as Debian installs them (gzip -n:
  # the same bytes on every build).
  set(manpages)
  foreach(page krzpap.1 krzlab.1)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page})
    list(APPEND manpages ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${manpages})
  install(FILES ${manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

if(WIN32)
  # On Windows one ZIP of the installation: programs, DLLs, import libraries, headers, the CMake
  # package and the guides (cpack -G ZIP in the build folder).
  set(CPACK_PACKAGE_NAME krzpapconfigu)
  set(CPACK_GENERATOR ZIP)
  # The licence at the top of the archive, the third-party notices with the guides.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT runtime)
  include(CPack)
  return()
endif()

# Debian packages of the same installation, split as Debian ships libraries (cpack -G DEB in the
# build folder):
#   libkrzpapconfigu1     the libraries (named after the SONAME, as Debian names library packages)
#                         with, in their private folder, the modules, the lab library and the
#                         resource library, and the descriptions; Multi-Arch: same;
#   krzpap                the programs, their manual pages, completion and schemas; Multi-Arch:
#                         foreign (any architecture's krzpap serves);
#   libkrzpapconfigu-dev  what builds hosts and modules (headers, CMake package, .pc files, guides,
#                         API reference, examples); Multi-Arch: same.
# Each package carries its copyright, changelog and lintian overrides where Debian's policy puts
# them; ldconfig runs through the trigger rather than from a maintainer script.
set(KRZ_DEBIAN_LIBRARY_PACKAGE libkrzpapconfigu${KRZ_SOVERSION})
# 1.0.0 was packaged without a Debian revision and with everything in krzpap.
set(KRZ_DEBIAN_REVISION 1)
set(KRZ_DEBIAN_VERSION ${PROJECT_VERSION}-${KRZ_DEBIAN_REVISION})
foreach(component_package runtime:${KRZ_DEBIAN_LIBRARY_PACKAGE}:libkrzpapconfigu tools:krzpap:krzpap
                          development:libkrzpapconfigu-dev:libkrzpapconfigu-dev)
  string(REPLACE ":" ";" triple ${component_package})
  list(GET triple 0 component)
  list(GET triple 1 package)
  list(GET triple 2 overrides)
  # changelog.Debian.gz: the packages carry a Debian revision (1.0.0-1).
  set(changelog ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/${package}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
  add_custom_target(changelog_${component} ALL DEPENDS ${changelog})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  set(overrides ${PROJECT_SOURCE_DIR}/packaging/lintian/${overrides}.overrides)
  if(EXISTS ${overrides})
    # The package's name in the first word of each override, as lintian reads them.
    file(STRINGS ${overrides} lines)
    set(text)
    foreach(line ${lines})
      if(NOT line MATCHES "^#" AND NOT line STREQUAL "")
        set(line "${package}: ${line}")
      endif()
      string(APPEND text "${line}\n")
    endforeach()
    file(WRITE ${CMAKE_BINARY_DIR}/packaging/${package}/lintian-overrides "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${package}/lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
      COMPONENT ${component})
  endif()
endforeach()

set(CPACK_PACKAGE_NAME krzpap)
set(CPACK_PACKAGE_VENDOR "krzpapconfigu developers")
set(CPACK_PACKAGE_CONTACT "krzpapconfigu developers <maintainers@krzpapconfigu.example>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime tools development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KRZ_DEBIAN_REVISION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KRZ_DEBIAN_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# The shlibs file tells packages built against these libraries which version to depend on.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
# The files the library package takes over from the 1.0.0 krzpap (descriptions, check, schema).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_REPLACES "krzpap (<< ${KRZ_DEBIAN_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_BREAKS "krzpap (<< ${KRZ_DEBIAN_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "ieee-data")
# The package's own libraries are found through the programs' run path.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
# One string each (a CMake list would put ';' into the text); the first line is the synopsis.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "library to find and configure access points and routers
The krzpapconfigu library finds the access points and routers of a network,
recognizes their make and model with plug-in modules and changes their
settings through their own web pages. This package holds the libraries, the
sample and description modules and the emulated network's library.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME krzpap)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KRZ_DEBIAN_LIBRARY_PACKAGE} (= ${KRZ_DEBIAN_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "find, inspect and configure access points and routers
The krzpap command line over the krzpapconfigu library, and the krzlab
emulated network it can be tried against.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkrzpapconfigu-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${KRZ_DEBIAN_LIBRARY_PACKAGE} (= ${KRZ_DEBIAN_VERSION}), libboost-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "development files for krzpapconfigu hosts and modules
Headers, CMake package, pkg-config files, guides, API reference and example
projects.")
# CPack writes no Multi-Arch field, and ldconfig calls where the trigger serves: each package is
# finished once built (KrzDebianControl.cmake).
set(CPACK_DEBIAN_MULTIARCH_FIELDS "${KRZ_DEBIAN_LIBRARY_PACKAGE}=same;krzpap=foreign;libkrzpapconfigu-dev=same")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/KrzDebianControl.cmake)
include(CPack)
