# Cross-compiling for 32-bit Windows with Debian's mingw-w64:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(KRZ_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
