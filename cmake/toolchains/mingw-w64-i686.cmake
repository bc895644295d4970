# 32-bit Windows (x86) with Debian's g++-mingw-w64-i686-posix.
set(KOLV_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KOLV_OPENSSL_ARCH x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
