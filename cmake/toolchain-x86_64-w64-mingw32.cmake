# Cross-compiling for 64-bit Windows with Debian's mingw-w64:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
set(KRZ_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)

# Tests run under Debian's 64-bit Wine.
find_program(KRZ_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KRZ_WINE64 NAMES wine64 wine)
if(KRZ_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KRZ_WINE64})
endif()
