# Where an installation puts things. On Debian the libraries, the CMake package and the .pc files
# go to the multiarch folder (lib/x86_64-linux-gnu), as Debian's own packages do, whatever the
# prefix; a CMAKE_INSTALL_LIBDIR given on the command line wins. The libraries that are only ever
# loaded by name (modules, the lab library, the resource strings) go to the package's private
# folder krzpapconfigu/ inside it, out of the loader's path; the platform layer looks there. Windows keeps
# every DLL beside the programs.
if(NOT WIN32 AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  find_program(KRZ_DPKG_ARCHITECTURE dpkg-architecture)
  if(KRZ_DPKG_ARCHITECTURE)
    execute_process(COMMAND ${KRZ_DPKG_ARCHITECTURE} -qDEB_HOST_MULTIARCH
      OUTPUT_VARIABLE KRZ_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(KRZ_MULTIARCH)
      set(CMAKE_INSTALL_LIBDIR lib/${KRZ_MULTIARCH} CACHE PATH "Object code libraries")
    endif()
  endif()
endif()
include(GNUInstallDirs)

if(WIN32)
  set(KRZ_INSTALL_MODULEDIR ${CMAKE_INSTALL_BINDIR})
else()
  set(KRZ_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/krzpapconfigu)
endif()

# Programs find the libraries from their own folder, modules from the folder above theirs, so that
# an installation works under any prefix and after it has been moved.
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN;$ORIGIN/..")
