# Cross-compiling for 32-bit Windows with Debian's mingw-w64:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(KRZ_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)

# Tests run under Debian's 32-bit Wine (wine32, with the i386 architecture added to dpkg).
find_program(KRZ_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(KRZ_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KRZ_WINE32})
endif()
