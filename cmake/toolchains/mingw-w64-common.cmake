# Shared part of the MinGW-w64 toolchain files; KOLV_MINGW_TRIPLE and
# KOLV_OPENSSL_ARCH are set by the file that includes this one. Debian's cross
# compilers come in two thread models: the -posix ones give std::thread and
# std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

set(CMAKE_C_COMPILER ${KOLV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOLV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KOLV_MINGW_TRIPLE}-windres)

set(KOLV_MINGW_SYSROOT /usr/${KOLV_MINGW_TRIPLE} CACHE PATH "MinGW-w64 target libraries and headers")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KOLV_MINGW_SYSROOT)

# The static OpenSSL that scripts/build-openssl-mingw.sh leaves under
# $KOLV_OPENSSL_CACHE (the same variable, the same default as the script).
set(_kolv_openssl_cache /var/cache/kolv-bridge)
if(DEFINED ENV{KOLV_OPENSSL_CACHE})
  set(_kolv_openssl_cache "$ENV{KOLV_OPENSSL_CACHE}")
endif()
set(OPENSSL_ROOT_DIR "${_kolv_openssl_cache}/openssl-${KOLV_OPENSSL_ARCH}" CACHE PATH
    "Static OpenSSL for the target (default: \$KOLV_OPENSSL_CACHE/openssl-${KOLV_OPENSSL_ARCH})")

# Look for target libraries and headers only in the MinGW sysroot and in the
# OpenSSL build named by OPENSSL_ROOT_DIR, never among the host's.
set(CMAKE_FIND_ROOT_PATH ${KOLV_MINGW_SYSROOT} ${OPENSSL_ROOT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry their C++ runtime, libgcc and winpthread inside: they
# need no DLL beyond those that come with Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
