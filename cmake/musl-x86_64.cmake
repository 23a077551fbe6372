# Builds the tool for x86-64 Linux against musl (Debian's musl-dev) with the
# host g++: C headers and libc.a from musl, only the header-only parts of
# libstdc++, GCC's own start files and libgcc, and no C++ runtime. The
# result is a small static binary that does no CPU probing at start-up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER g++)

set(musl_lib /usr/lib/x86_64-linux-musl)
set(musl_include /usr/include/x86_64-linux-musl)
if(NOT EXISTS ${musl_lib}/libc.a OR NOT EXISTS ${musl_include}/stdio.h)
  message(FATAL_ERROR "musl is needed for this build and was not found. On Debian: apt-get install musl-dev")
endif()

function(gcc_answer variable)
  execute_process(COMMAND g++ ${ARGN} OUTPUT_VARIABLE answer OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  set(${variable} ${answer} PARENT_SCOPE)
endfunction()
gcc_answer(gcc_version -dumpversion)
gcc_answer(gcc_machine -dumpmachine)
gcc_answer(gcc_include -print-file-name=include)
gcc_answer(crtbegin -print-file-name=crtbeginT.o)
gcc_answer(crtend -print-file-name=crtend.o)
gcc_answer(libgcc -print-file-name=libgcc.a)
set(cxx_include /usr/include/c++/${gcc_version})
set(cxx_machine_include /usr/include/${gcc_machine}/c++/${gcc_version})
if(NOT EXISTS ${cxx_include}/cstdio OR NOT EXISTS ${cxx_machine_include}/bits/c++config.h)
  message(FATAL_ERROR "libstdc++'s headers for g++ ${gcc_version} were not found. On Debian: apt-get install g++")
endif()

# libstdc++ first, as its C wrappers include the C headers next; musl's
# before GCC's own, which fall through to them.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${cxx_include} -isystem ${cxx_machine_include} \
-isystem ${musl_include} -isystem ${gcc_include} -include \"${CMAKE_CURRENT_LIST_DIR}/musl-prereq.h\"")

set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> -static -nostdlib \
${musl_lib}/crt1.o ${musl_lib}/crti.o ${crtbegin} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> \
-Wl,--start-group ${musl_lib}/libc.a ${libgcc} -Wl,--end-group ${crtend} ${musl_lib}/crtn.o")

set(CMAKE_FIND_ROOT_PATH ${musl_lib})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
