# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX-thread variant, which has
# std::thread). RAILMUX_WINDOWS_BOOST is the prefix that tools/windows-boost fills: the Boost
# headers and the static Boost libraries built for Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries, headers and packages come from the target's roots only, never from the build
# machine's /usr.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RAILMUX_WINDOWS_BOOST)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${RAILMUX_WINDOWS_BOOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(RAILMUX_WINDOWS_BOOST)
    set(BOOST_ROOT ${RAILMUX_WINDOWS_BOOST})
    set(Boost_NO_BOOST_CMAKE ON)
    set(Boost_NO_SYSTEM_PATHS ON)
endif()
