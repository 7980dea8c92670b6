# Cross build for 32-bit ARM Linux with the hard-float ABI (32-bit Raspberry Pi OS, Debian armhf)
# with Debian's g++-arm-linux-gnueabihf; RAILMUX_SYSROOT is the tree that tools/pi-sysroot armhf
# fills.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(RAILMUX_TRIPLET arm-linux-gnueabihf)
set(RAILMUX_DEB_ARCH armhf)
set(RAILMUX_QEMU qemu-arm)
set(RAILMUX_LOADER /lib/ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/pi-toolchain.cmake)
