# Cross build of the 32-bit Windows DLL, the product, with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZYKIM_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
