# Cross-compiling for 64-bit Windows with the mingw-w64 toolchain (Debian:
# apt-get install mingw-w64):
#
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# SHEETLAY_MINGW_PREFIX selects another triplet (default: x86_64-w64-mingw32).
# The compilers of the POSIX thread model are preferred where Debian offers
# both: their C++ library has std::thread and std::mutex (which GoogleTest
# needs). The project links its DLL and programs with -static, so that
# neither the C++ runtime nor winpthread has to be shipped beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SHEETLAY_MINGW_PREFIX "x86_64-w64-mingw32" CACHE STRING "mingw-w64 tool prefix")

find_program(CMAKE_C_COMPILER NAMES ${SHEETLAY_MINGW_PREFIX}-gcc-posix ${SHEETLAY_MINGW_PREFIX}-gcc
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SHEETLAY_MINGW_PREFIX}-g++-posix ${SHEETLAY_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${SHEETLAY_MINGW_PREFIX}-windres)
find_program(CMAKE_AR NAMES ${SHEETLAY_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB NAMES ${SHEETLAY_MINGW_PREFIX}-ranlib)

# Headers and libraries come from the target's sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SHEETLAY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine when the host has it (try_run, tests).
find_program(SHEETLAY_WINE NAMES wine wine64)
if(SHEETLAY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SHEETLAY_WINE})
endif()
