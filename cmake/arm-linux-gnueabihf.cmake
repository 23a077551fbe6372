# Linux on armhf (32-bit Raspberry Pi OS), with g++-arm-linux-gnueabihf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triple arm-linux-gnueabihf)
set(cross_qemu qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-static.cmake)
