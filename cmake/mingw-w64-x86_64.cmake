# Builds the 64-bit Windows program with Debian's MinGW-w64 cross compiler
# (g++-mingw-w64-x86-64-posix): cmake --preset windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZELVOR_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZELVOR_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELVOR_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELVOR_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELVOR_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthread) goes into the
# executable, so that it needs nothing on a Windows machine beyond the
# system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
