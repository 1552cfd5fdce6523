# The API reference (Doxygen), generated from the installed copies of the public headers that
# KrzPublicHeaders.cmake writes, into <build>/doc/api/html, and installed with the development
# files. Built with everything when doxygen is present; warnings go to doc/api/warnings.log here,
# and the package test (tests/package/api_reference.sh) fails on any of them.
find_program(KRZ_DOXYGEN doxygen)
set(KRZ_API_REFERENCE_DIR ${CMAKE_BINARY_DIR}/doc/api)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${CMAKE_BINARY_DIR}/Doxyfile @ONLY)
if(KRZ_DOXYGEN)
  add_custom_command(OUTPUT ${KRZ_API_REFERENCE_DIR}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${KRZ_API_REFERENCE_DIR}/html
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KRZ_API_REFERENCE_DIR}
    COMMAND ${KRZ_DOXYGEN} ${CMAKE_BINARY_DIR}/Doxyfile
    DEPENDS ${KRZ_PUBLIC_HEADER_COPIES} ${CMAKE_BINARY_DIR}/Doxyfile
            ${PROJECT_SOURCE_DIR}/docs/api.md
    COMMENT "API reference (doxygen)")
  add_custom_target(api_reference ALL DEPENDS ${KRZ_API_REFERENCE_DIR}/html/index.html)
endif()
