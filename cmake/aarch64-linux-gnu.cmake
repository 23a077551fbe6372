# Cross-builds for Linux on arm64 with Debian's g++-aarch64-linux-gnu; the
# tests run under qemu-aarch64-static (qemu-user-static). Everything is linked
# statically against glibc: ARM has no cpuid instruction for glibc to trap on
# at start-up, and the emulator then needs no library folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(QEMU qemu-aarch64-static)
if(NOT QEMU)
  message(FATAL_ERROR "qemu-aarch64-static is needed to run the arm64 tests (apt-get install qemu-user-static)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU})
