# Cross build for 64-bit ARM Linux (64-bit Raspberry Pi OS, Debian arm64) with Debian's
# g++-aarch64-linux-gnu; RAILMUX_SYSROOT is the tree that tools/pi-sysroot arm64 fills.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RAILMUX_TRIPLET aarch64-linux-gnu)
set(RAILMUX_DEB_ARCH arm64)
set(RAILMUX_QEMU qemu-aarch64)
set(RAILMUX_LOADER /lib/ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/pi-toolchain.cmake)
