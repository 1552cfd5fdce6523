# Windows builds with mingw-w64 (see cmake/toolchain-*.cmake).
#
# DLLs carry their plain names (krzpapconfigu.dll, krzpapmodulesu.dll), as LoadLibraryW asks for
# them. The header-only dependencies come from the build machine's Debian packages: only their own
# folders are put on the include path, never /usr/include itself, so no glibc header can slip
# into a Windows unit.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
enable_language(RC)

set(KRZ_HEADER_DEPS ${CMAKE_BINARY_DIR}/header-deps)
file(MAKE_DIRECTORY ${KRZ_HEADER_DEPS}/include ${KRZ_HEADER_DEPS}/cmake)
foreach(dir boost nlohmann CLI valijson)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/deps.sh")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${KRZ_HEADER_DEPS}/include/${dir} SYMBOLIC)
endforeach()
add_library(krz_header_deps INTERFACE)
# Build tree only: a project built against the installation puts Boost on its own include path.
target_include_directories(krz_header_deps SYSTEM INTERFACE
  $<BUILD_INTERFACE:${KRZ_HEADER_DEPS}/include>)
add_library(Boost::headers ALIAS krz_header_deps)
add_library(nlohmann_json::nlohmann_json ALIAS krz_header_deps)
add_library(CLI11::CLI11 ALIAS krz_header_deps)
add_library(valijson ALIAS krz_header_deps)
# find_package() of the two header-only packages finds these targets.
foreach(package nlohmann_json CLI11)
  file(WRITE ${KRZ_HEADER_DEPS}/cmake/${package}Config.cmake
    "# The header-only ${package} from the build machine (see cmake/KrzWindows.cmake).\n")
  file(WRITE ${KRZ_HEADER_DEPS}/cmake/${package}ConfigVersion.cmake
    "set(PACKAGE_VERSION 3.11)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(${package}_DIR ${KRZ_HEADER_DEPS}/cmake CACHE PATH "" FORCE)
endforeach()

# The compiler's run-time DLLs beside the programs, as an installer would put them.
foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${dll_path}" AND EXISTS "${dll_path}")
    file(COPY ${dll_path} DESTINATION ${CMAKE_BINARY_DIR}/bin)
    # The installation holds them too: without them no program or DLL of it starts.
    install(FILES ${dll_path} DESTINATION bin COMPONENT runtime)
  endif()
endforeach()

# GoogleTest built from Debian's googletest sources for the tests that run under Wine.
if(BUILD_TESTING)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gtest_main gmock gmock_main)
    target_compile_options(${lib} PRIVATE -w)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
  file(WRITE ${KRZ_HEADER_DEPS}/cmake/GTestConfig.cmake
    "# GoogleTest built from source (see cmake/KrzWindows.cmake).\n")
  set(GTest_DIR ${KRZ_HEADER_DEPS}/cmake CACHE PATH "" FORCE)
  # A Wine prefix of the build's own, quiet, with the Linux file system as drive Z:.
  # The 32-bit build's prefix is a 32-bit Windows, as the DLL's users run it.
  set(KRZ_WINE_ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND KRZ_WINE_ENVIRONMENT "WINEARCH=win32")
  endif()
endif()
