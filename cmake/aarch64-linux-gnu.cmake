# Linux on arm64 (64-bit Raspberry Pi OS), with g++-aarch64-linux-gnu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_triple aarch64-linux-gnu)
set(cross_qemu qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-static.cmake)
