# Linux on another processor with Debian's cross g++ (TONALIS_CROSS_TRIPLE-g++),
# against a root filesystem of the target as the sysroot: its C library,
# C++ runtime, Python and numpy headers are the ones the module is built
# against and later runs with. Included by the per-processor files beside
# this one, which name the processor and the triple.
#
# The sysroot is CMAKE_SYSROOT when given (-DCMAKE_SYSROOT=...), else the
# TONALIS_SYSROOT environment variable, which try_compile sees as well.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${TONALIS_CROSS_TRIPLE}-g++)

if(NOT CMAKE_SYSROOT AND DEFINED ENV{TONALIS_SYSROOT})
    set(CMAKE_SYSROOT $ENV{TONALIS_SYSROOT})
endif()
if(NOT CMAKE_SYSROOT)
    message(FATAL_ERROR "cross builds for ${TONALIS_CROSS_TRIPLE} need a sysroot: "
        "-DCMAKE_SYSROOT=DIR or TONALIS_SYSROOT=DIR (tools/emulated_suite.sh makes one)")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
