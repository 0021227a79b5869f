# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads,
# so std::thread and std::mutex work). The tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ossara_mingw x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ossara_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ossara_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${ossara_mingw}-windres)

# Libraries and headers come from the mingw sysroot and the prefix that
# scripts/build-windows-deps.sh builds (passed as CMAKE_PREFIX_PATH), never
# from the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${ossara_mingw} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(OSSARA_WINE NAMES wine64 wine)
if(OSSARA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSSARA_WINE})
endif()
