# Cross-builds the Windows server on Linux with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-win --toolchain cmake/mingw-w64-x86_64.cmake && cmake --build build-win
#
# gives build-win/nightcomet-server.exe, linked statically (C++ runtime, libgcc and winpthread
# included), so it runs on Windows, or under Wine, with nothing beside it. The tests are not
# built in such a build: they run on the build machine against the .exe (see docs/windows.md).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
# The "posix" variant: its thread model gives std::thread and std::mutex.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
