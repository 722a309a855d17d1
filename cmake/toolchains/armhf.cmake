# 32-bit ARM with hardware floating point (Debian armhf: Raspberry Pi OS 32-bit), cross-built
# with Debian's crossbuild-essential-armhf against the armhf development packages that
# scripts/setup.sh --cross armhf installs. Programs run under qemu-user:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
# Here size_t and long are 32 bits, char is unsigned, and (Debian 12) time_t is 32 bits.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VEXO_CROSS_TRIPLE arm-linux-gnueabihf)
set(VEXO_CROSS_DEB_ARCH armhf)
set(VEXO_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
