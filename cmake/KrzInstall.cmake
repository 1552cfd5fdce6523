# Installation and the exported CMake package, so that a host or module project can
# find_package(krzpapconfigu) and build against the headers.
include(CMakePackageConfigHelpers)

install(TARGETS krzplatform krzutil krzsettings krznetlib krzpapconfigu
  EXPORT krzpapconfiguTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET TqvRes)
  install(TARGETS TqvRes LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

foreach(dir host/krzcompat host/platform host/krzutil host/krznetlib host/krzsettings
            core http html webconf discovery)
  string(REGEX REPLACE "^host/" "" dest ${dir})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/krzpapconfigu/${dest}
    FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT krzpapconfiguTargets NAMESPACE krzpapconfigu::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/krzpapconfigu)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/krzpapconfiguConfig.cmake.in
  ${CMAKE_BINARY_DIR}/krzpapconfiguConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/krzpapconfigu)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/krzpapconfiguConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/krzpapconfiguConfig.cmake
  ${CMAKE_BINARY_DIR}/krzpapconfiguConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/krzpapconfigu)

# What a user of the program needs beside it: the sample module, the emulated lab (its library,
# which the network library loads, and the krzlab program that 'krzpap lab' runs), the manual
# pages, bash completion and the schema of the JSON output. Everything is found relative to the
# program and the libraries, so the prefix can be anywhere.
foreach(runtime krzpapmodulesu krzlab)
  if(TARGET ${runtime})
    install(TARGETS ${runtime} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endforeach()
if(TARGET krzlab_program)
  install(TARGETS krzlab_program RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET krzpap)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/krzpap/krzpap.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME krzpap)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/krzpap/krzpap-output.schema.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/krzpap)
  # Written as manuals, not generated from --help.
  install(FILES ${PROJECT_SOURCE_DIR}/man/krzpap.1 ${PROJECT_SOURCE_DIR}/man/krzlab.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# A Debian package of the same installation: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME krzpap)
set(CPACK_PACKAGE_VENDOR "krzpapconfigu developers")
set(CPACK_PACKAGE_CONTACT "krzpapconfigu developers <krzpap@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "find, inspect and configure access points and routers; library, modules, emulated lab")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The package's own libraries are found through the programs' run path.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libboost-dev")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ieee-data, bash-completion")
include(CPack)
