# Shared part of the MinGW-w64 toolchain files; VORNA_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)

# The "-posix" compilers (winpthreads) provide std::thread and std::mutex, which the
# console code and GoogleTest need; the "-win32" ones of GCC 12 do not.
set(CMAKE_C_COMPILER ${VORNA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORNA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VORNA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORNA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A self-contained program: the C++ runtime, libgcc and winpthreads are linked in, so the
# executable imports only system DLLs (KERNEL32, ADVAPI32, msvcrt, WS2_32).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine (headless, quiet, with a warm wineserver).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
