# 64-bit Windows with Debian's MinGW-w64 g++ (posix thread model, for
# std::thread and the atomic waits of libstdc++):
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
#
# tools/cross_core.sh windows builds the core's test programs so and runs
# them under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TONALIS_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "The MinGW-w64 tools' prefix")
set(CMAKE_C_COMPILER ${TONALIS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TONALIS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TONALIS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TONALIS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and winpthreads linked in, so that the programs
# and modules need no MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
