# The part the Raspberry Pi cross builds share (arm64-toolchain.cmake, armhf-toolchain.cmake set
# RAILMUX_TRIPLET, RAILMUX_DEB_ARCH, RAILMUX_QEMU and RAILMUX_LOADER first). Debian's cross compiler brings the C
# and C++ libraries it links; RAILMUX_SYSROOT, filled by tools/pi-sysroot, holds the target's
# Boost and GoogleTest from Debian's packages, and the run-time libraries that qemu-user runs the
# programs and the tests with.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${RAILMUX_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RAILMUX_TRIPLET})

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RAILMUX_SYSROOT)
# Libraries, headers and packages come from the target's roots only, never from the build
# machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${RAILMUX_TRIPLET} ${RAILMUX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(RAILMUX_SYSROOT)
    # ctest runs the target's programs through this: the sysroot's loader with the sysroot's
    # libraries. Not qemu's -L SYSROOT, which shows the program the sysroot as "/" when it lists
    # that directory (as Railmux does to match a device name regardless of case).
    set(CMAKE_CROSSCOMPILING_EMULATOR ${RAILMUX_QEMU} ${RAILMUX_SYSROOT}${RAILMUX_LOADER}
        --library-path
        ${RAILMUX_SYSROOT}/lib/${RAILMUX_TRIPLET}:${RAILMUX_SYSROOT}/usr/lib/${RAILMUX_TRIPLET})
endif()
