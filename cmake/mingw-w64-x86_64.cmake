# Cross-builds a 64-bit Windows dhtfix.exe with Debian's mingw-w64
# (g++-mingw-w64-x86-64); its tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The POSIX-thread flavour: GoogleTest needs std::mutex, which the win32
# flavour lacks. The tool itself starts no thread.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program, tests included, carries its C++ runtime: no DLL beyond
# Windows' own, so nothing needs to be found on a path under wine either.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(WINE wine)
if(NOT WINE)
  message(FATAL_ERROR "wine is needed to run the Windows tests (apt-get install wine)")
endif()
# Quiet, and without the offers to install .NET and a browser engine that
# a fresh wine prefix makes.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${WINE})
