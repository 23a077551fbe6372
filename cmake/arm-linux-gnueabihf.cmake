# Cross-builds for Linux on armhf with Debian's g++-arm-linux-gnueabihf; the
# tests run under qemu-arm-static (qemu-user-static). Everything is linked
# statically against glibc: ARM has no cpuid instruction for glibc to trap on
# at start-up, and the emulator then needs no library folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(QEMU qemu-arm-static)
if(NOT QEMU)
  message(FATAL_ERROR "qemu-arm-static is needed to run the armhf tests (apt-get install qemu-user-static)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU})
