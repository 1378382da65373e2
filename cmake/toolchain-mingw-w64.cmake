# The MinGW-w64 cross build (posix thread model), shared by the i686 and x86-64 toolchain
# files, which set ZYKIM_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR before including it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${ZYKIM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZYKIM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZYKIM_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP      ${ZYKIM_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZYKIM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary carries its own runtime: the DLL and the tools need only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The test programs run under Wine; the wrapper sets the prefix and quiet defaults, and
# picks Wine's 64-bit loader for x86-64 programs.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
