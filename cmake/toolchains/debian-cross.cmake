# What the Debian cross builds share (arm64.cmake and armhf.cmake set the triple, the Debian
# architecture and the qemu-user program first).
#
# Libraries and headers come from Debian's multiarch directories (/usr/lib/TRIPLE,
# /usr/include/TRIPLE), where the ARCH packages are installed beside the build machine's own;
# packages that cannot be installed that way are unpacked into build-cross/ARCH-dev/ by
# scripts/setup-cross.sh. Test programs run under qemu-user, named explicitly (no binfmt
# handler is needed).
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER ${VEXO_CROSS_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER ${VEXO_CROSS_TRIPLE}-g++ REQUIRED)
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXO_CROSS_TRIPLE})

# Host programs (cython3, python3, pkg-config) from the build machine; libraries, headers and
# CMake packages only from the target's directories, never the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VEXO_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/include/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)

get_filename_component(vexo_cross_source_dir ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(VEXO_CROSS_DEV_DIR ${vexo_cross_source_dir}/build-cross/${VEXO_CROSS_DEB_ARCH}-dev
    CACHE PATH "The ${VEXO_CROSS_DEB_ARCH} packages unpacked by scripts/setup-cross.sh")
set(ENV{PKG_CONFIG_LIBDIR}
    "${VEXO_CROSS_DEV_DIR}/usr/lib/${VEXO_CROSS_TRIPLE}/pkgconfig:/usr/lib/${VEXO_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(VEXO_CROSS_QEMU_PROGRAM ${VEXO_CROSS_QEMU} REQUIRED)
# The root for the emulated dynamic loader is /, not the cross compiler's /usr/TRIPLE: the ARCH
# packages bring the C library of the ARCH architecture (libc6:ARCH) into /lib/TRIPLE, and
# the cross C library's loader would load that libc.so.6 of another build, whose private
# interface differs (the first thread a program starts then hangs or crashes).
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXO_CROSS_QEMU_PROGRAM} -L /)
# umockdev's preload library for the usbfs suites goes to the emulated program only: in
# LD_PRELOAD of the build machine it would be loaded into qemu itself.
set(VEXO_CROSS_UMOCKDEV_PRELOAD
    ${VEXO_CROSS_DEV_DIR}/usr/lib/${VEXO_CROSS_TRIPLE}/libumockdev-preload.so.0)

# The Python module is built for the target's python3 (Debian's libpython3.X-dev:ARCH): its
# headers (pyconfig.h picks /usr/include/TRIPLE/python3.X/), and its file name's ABI tag, which
# the build machine's interpreter would otherwise give as its own.
set(Python3_INCLUDE_DIR /usr/include/python3.11 CACHE PATH "")
set(VEXO_CROSS_PYTHON_SOABI cpython-311-${VEXO_CROSS_TRIPLE})
