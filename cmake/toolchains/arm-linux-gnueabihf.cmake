# 32-bit ARM Linux, hard float (Debian armhf: ARMv7 with VFPv3-D16, the
# compiler's default, which 32-bit Raspberry Pi OS runs) with Debian's
# g++-arm-linux-gnueabihf, against a root filesystem of armhf Debian as the
# sysroot:
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake \
#       -DCMAKE_SYSROOT=/path/to/armhf/root
#
# tools/emulated_suite.sh armv7 builds the wheel so and runs the suite under QEMU.
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(TONALIS_CROSS_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-sysroot.cmake)
