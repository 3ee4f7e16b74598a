# Cross build for Windows with the mingw-w64 compilers of Debian (the -posix
# variants, whose libstdc++ has std::thread). x86_64 by default; the i686
# toolchain file sets EBBMARK_MINGW_ARCH first and includes this one.
#
#   cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Test programs run under Wine (CMAKE_CROSSCOMPILING_EMULATOR), so ctest and
# the test discovery work as on Linux. Set WINEPREFIX and WINEDEBUG=-all in
# the environment to keep Wine out of your own prefix and quiet.

if(NOT DEFINED EBBMARK_MINGW_ARCH)
  set(EBBMARK_MINGW_ARCH x86_64)
endif()
set(EBBMARK_MINGW_TRIPLE ${EBBMARK_MINGW_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${EBBMARK_MINGW_ARCH})

set(CMAKE_C_COMPILER ${EBBMARK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EBBMARK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EBBMARK_MINGW_TRIPLE}-windres)
set(CMAKE_MC_COMPILER ${EBBMARK_MINGW_TRIPLE}-windmc)

# Headers and libraries come from the target's sysroot only, never from the
# host's /usr/include or /usr/lib; programs (windmc, python) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${EBBMARK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static runtime: the programs need no mingw DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Only the x86_64 programs can run here: Debian's Wine runs 32-bit programs
# only with the i386 architecture enabled, which the i686 build does not need.
if(EBBMARK_MINGW_ARCH STREQUAL "x86_64")
  find_program(EBBMARK_WINE wine)
  if(EBBMARK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${EBBMARK_WINE})
  endif()
endif()
