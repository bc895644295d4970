# 64-bit Windows (x64) with Debian's g++-mingw-w64-x86-64-posix.
set(KOLV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KOLV_OPENSSL_ARCH x64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
