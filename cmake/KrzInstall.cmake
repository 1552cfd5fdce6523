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
