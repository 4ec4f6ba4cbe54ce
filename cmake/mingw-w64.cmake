# Cross-build for 64-bit Windows with MinGW-w64 (POSIX thread model), every
# program statically linked so that it needs no MinGW runtime DLL, and tests
# run under Wine.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Cache variables:
#   KELVORIN_MINGW_PREFIX  tool prefix (default x86_64-w64-mingw32)
#   KELVORIN_WINE          the Wine program that runs the tests (default: wine
#                          from PATH; empty when not found, then nothing runs)
#   KELVORIN_WINEPREFIX    the Wine prefix (default: <build>/wineprefix)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVORIN_MINGW_PREFIX "x86_64-w64-mingw32" CACHE STRING "MinGW-w64 tool prefix")

find_program(CMAKE_C_COMPILER NAMES ${KELVORIN_MINGW_PREFIX}-gcc-posix ${KELVORIN_MINGW_PREFIX}-gcc
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KELVORIN_MINGW_PREFIX}-g++-posix ${KELVORIN_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KELVORIN_MINGW_PREFIX}-windres)

# Look for headers and libraries only in the target's sysroot, for programs
# only on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVORIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: the compiler's runtime and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and test discovery run the programs through Wine, always in a prefix
# of their own inside the build folder and without Wine's debug chatter. The
# crash debugger stays off: with it, a crashed program sometimes ends with
# status 0, so a crash could pass as success.
find_program(KELVORIN_WINE NAMES wine wine64 DOC "Wine program that runs the Windows tests")
set(KELVORIN_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for the tests")
if(KELVORIN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_COMMAND} -E env WINEPREFIX=${KELVORIN_WINEPREFIX} WINEDEBUG=-all
        WINEDLLOVERRIDES=winedbg.exe=d ${KELVORIN_WINE})
elseif(NOT CMAKE_IN_TRY_COMPILE)
    message(WARNING "Wine not found (set KELVORIN_WINE): the Windows tests cannot run")
endif()
