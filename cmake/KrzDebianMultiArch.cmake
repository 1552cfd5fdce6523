# Run by CPack once the Debian packages are built: adds to each package's control file the
# Multi-Arch field that CPACK_DEBIAN_MULTIARCH_FIELDS names for it (PACKAGE=same|foreign), which
# CPack cannot write itself.
foreach(deb ${CPACK_PACKAGE_FILES})
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND dpkg-deb -f ${deb} Package OUTPUT_VARIABLE package
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(value)
  foreach(entry ${CPACK_DEBIAN_MULTIARCH_FIELDS})
    if(entry MATCHES "^${package}=(.*)$")
      set(value ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(NOT value)
    continue()
  endif()
  get_filename_component(tree ${deb}.tree ABSOLUTE)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(APPEND ${tree}/DEBIAN/control "Multi-Arch: ${value}\n")
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${deb} OUTPUT_QUIET
    COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
