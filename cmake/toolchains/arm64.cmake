# 64-bit ARM (Debian arm64: Raspberry Pi OS 64-bit, Jetson-class boards), cross-built with
# Debian's crossbuild-essential-arm64 against the arm64 development packages that
# scripts/setup.sh --cross arm64 installs. Programs run under qemu-user:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VEXO_CROSS_TRIPLE aarch64-linux-gnu)
set(VEXO_CROSS_DEB_ARCH arm64)
set(VEXO_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
