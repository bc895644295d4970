# Shared part of the MinGW-w64 toolchain files; KOLV_MINGW_TRIPLE is set by
# the file that includes this one. Debian's cross compilers come in two
# thread models: the -posix ones give std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

set(CMAKE_C_COMPILER ${KOLV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOLV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KOLV_MINGW_TRIPLE}-windres)

# Look for target libraries and headers only in the MinGW sysroot and in the
# OpenSSL build named by OPENSSL_ROOT_DIR, never among the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${KOLV_MINGW_TRIPLE})
if(OPENSSL_ROOT_DIR)
  list(APPEND CMAKE_FIND_ROOT_PATH ${OPENSSL_ROOT_DIR})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry their C++ runtime, libgcc and winpthread inside: they
# need no DLL beyond those that come with Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
