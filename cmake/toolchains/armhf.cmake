# 32-bit ARM with hardware floating point (Debian armhf: Raspberry Pi OS 32-bit), cross-built
# with Debian's crossbuild-essential-armhf against the armhf development packages that
# scripts/setup.sh --cross armhf installs. Programs run under qemu-user:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
# Here size_t and long are 32 bits, char is unsigned, and (Debian 12) time_t is 32 bits.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VEXO_CROSS_TRIPLE arm-linux-gnueabihf)
set(VEXO_CROSS_DEB_ARCH armhf)
set(VEXO_CROSS_QEMU qemu-arm)
# g++ notes at every std::vector or std::map iterator passed by value that GCC 7.1 changed how
# such arguments are passed on 32-bit ARM: only code built by GCC 6 or older would mind.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
