# 32-bit Windows: the same toolchain as mingw-w64.cmake for i686. Its programs
# are built, not run (configure with -DEBBMARK_TESTS=OFF).
set(EBBMARK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
