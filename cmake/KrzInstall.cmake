# Installation: the runtime (the libraries, the sample module, krzpap, krzlab, manual pages) and the
# development files (public headers, the CMake package, krzpapconfigu.pc, the API reference), as
# two components that the Debian packages split along.
include(CMakePackageConfigHelpers)

# The libraries that programs link with carry a version and a SONAME; the sample module, the lab
# library and the resource library are loaded by name at run time and keep the names the loader
# looks for.
set(KRZ_LINKED_LIBRARIES krzplatform krzutil krzsettings krznetlib krzpapconfigu)
list(APPEND KRZ_LINKED_LIBRARIES krzpapservice)
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
  install(TARGETS TqvRes LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
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
  file(WRITE ${CMAKE_BINARY_DIR}/devlink/libkrzpapconfigu.so
    "/* The library and, as needed, the host libraries its interface uses. */\n"
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
install(FILES ${CMAKE_BINARY_DIR}/krzpapconfigu.pc DESTINATION ${KRZ_PKGCONFIG_DIR}
  COMPONENT development)

# The guides and the example projects, for host developers and module authors.
install(FILES ${PROJECT_SOURCE_DIR}/docs/hosts.md ${PROJECT_SOURCE_DIR}/docs/modules.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/host ${PROJECT_SOURCE_DIR}/examples/module
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
# The API reference, where doxygen built it (KrzApiReference.cmake).
if(TARGET api_reference)
  install(DIRECTORY ${KRZ_API_REFERENCE_DIR}/html DESTINATION ${CMAKE_INSTALL_DOCDIR}/api
    COMPONENT development)
endif()

# What a user of the program needs beside it: the sample module, the emulated lab (its library,
# which the network library loads, and the krzlab program that 'krzpap lab' runs), the manual
# pages, bash completion and the schema of the JSON output. Everything is found relative to the
# program and the libraries, so the prefix can be anywhere.
foreach(runtime krzpapmodulesu krzlab)
  if(TARGET ${runtime})
    install(TARGETS ${runtime} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()
if(TARGET krzlab_program)
  install(TARGETS krzlab_program RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
if(TARGET krzpap)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/krzpap/krzpap.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME krzpap
    COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/krzpap/krzpap-output.schema.json
    ${PROJECT_SOURCE_DIR}/lab/recording/recording.schema.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/krzpap COMPONENT runtime)
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
  install(FILES ${manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()

if(WIN32)
  # On Windows one ZIP of the installation: programs, DLLs, import libraries, headers, the CMake
  # package and the guides (cpack -G ZIP in the build folder).
  set(CPACK_PACKAGE_NAME krzpapconfigu)
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

# Debian packages of the same installation, split as Debian ships libraries (cpack -G DEB in the
# build folder): krzpap, what runs (the libraries, the sample module, krzpap, krzlab, manual pages;
# its dependencies found from the binaries), and libkrzpapconfigu-dev, what builds hosts and
# modules (headers, CMake package, pkg-config file, guides, API reference, examples).
# Each package carries its copyright and changelog in its own documentation folder, as Debian's
# policy asks; ldconfig runs through the trigger rather than from a maintainer script.
foreach(component_package runtime:krzpap development:libkrzpapconfigu-dev)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  set(changelog ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/${package}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
  add_custom_target(changelog_${component} ALL DEPENDS ${changelog})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME krzpap)
set(CPACK_PACKAGE_VENDOR "krzpapconfigu developers")
set(CPACK_PACKAGE_CONTACT "krzpapconfigu developers <maintainers@krzpapconfigu.example>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME krzpap)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# The shlibs file tells packages built against these libraries which version to depend on.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
# The package's own libraries are found through the programs' run path.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "ieee-data, bash-completion")
# One string each (a CMake list would put ';' into the text); the first line is the synopsis.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "find, inspect and configure access points and routers
The krzpapconfigu library with its sample module, the krzpap command
line and the krzlab emulated network.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkrzpapconfigu-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "krzpap (= ${PROJECT_VERSION}), libboost-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "development files for krzpapconfigu hosts and modules
Headers, CMake package, pkg-config file, guides, API reference and example
projects.")
include(CPack)
