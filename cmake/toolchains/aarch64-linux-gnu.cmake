# 64-bit ARM Linux (Debian arm64) with Debian's g++-aarch64-linux-gnu,
# against a root filesystem of arm64 Debian as the sysroot:
#
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
#       -DCMAKE_SYSROOT=/path/to/arm64/root
#
# tools/emulated_suite.sh builds the wheel so and runs the suite under QEMU.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TONALIS_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-sysroot.cmake)
