# What the ARM toolchain files share: Debian's cross g++ for cross_triple,
# everything linked statically against glibc, and the tests run under
# cross_qemu (qemu-user-static). ARM has no cpuid instruction for glibc to
# trap on at start-up, and a static program needs no library folder under
# the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(QEMU ${cross_qemu})
if(NOT QEMU)
  message(FATAL_ERROR "${cross_qemu} is needed to run the ${CMAKE_SYSTEM_PROCESSOR} tests "
                      "(apt-get install qemu-user-static)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU})
