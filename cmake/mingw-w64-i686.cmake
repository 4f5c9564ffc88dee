# Toolchain file: cross-build vorna.exe for 32-bit Windows with MinGW-w64 on Linux
# (Debian package g++-mingw-w64-i686). Running its tests under Wine needs the 32-bit Wine
# (Debian: dpkg --add-architecture i386; apt-get install wine32:i386).
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-i686.cmake
set(VORNA_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
