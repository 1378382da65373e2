# Cross build of the same sources as an x86-64 Windows DLL with MinGW-w64: it runs the
# Windows tests under 64-bit Wine on a kernel that cannot run 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZYKIM_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
