# Cross build for 32-bit ARM Linux with the hard-float ABI (32-bit Raspberry Pi OS, Debian armhf)
# with Debian's g++-arm-linux-gnueabihf; RAILMUX_SYSROOT is the tree that tools/pi-sysroot armhf
# fills.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RAILMUX_TRIPLET arm-linux-gnueabihf)
set(RAILMUX_DEB_ARCH armhf)
set(RAILMUX_QEMU qemu-arm)
set(RAILMUX_LOADER /lib/ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/pi-toolchain.cmake)
# GCC notes at every std::vector of Asio's timers that GCC 7.1 changed how such arguments are
# passed on ARM: it matters only for linking against code built before GCC 7, which nothing here
# is; the note would bury real warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
