# The tool built once more against musl, in a build of its own through
# cmake/musl-x86_64.cmake, while the tests here are built with the host
# compiler and run that tool. It is the one installed and packaged.
if(NOT EXISTS /usr/lib/x86_64-linux-musl/libc.a)
  message(FATAL_ERROR "DHTFIX_MUSL needs musl, which was not found. On Debian: apt-get install musl-dev")
endif()

include(ExternalProject)
set(musl_prefix ${CMAKE_BINARY_DIR}/musl)
set(musl_tool ${musl_prefix}/install/${CMAKE_INSTALL_BINDIR}/dhtfix)
ExternalProject_Add(dhtfix_musl
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${musl_prefix}/build
  INSTALL_DIR ${musl_prefix}/install
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/musl-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
             -DBUILD_TESTING=OFF -DDHTFIX_LIBRARY=OFF -DDHTFIX_WERROR=${DHTFIX_WERROR} -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
             -DCMAKE_INSTALL_BINDIR=${CMAKE_INSTALL_BINDIR}
  INSTALL_COMMAND ${CMAKE_COMMAND} --install <BINARY_DIR> --strip
  # The sources are this project's own: rebuild whenever they may have changed.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${musl_tool} ${musl_prefix}/install/${CMAKE_INSTALL_BINDIR}/dhtcat
                   ${musl_prefix}/install/${CMAKE_INSTALL_BINDIR}/dhtcheck)

set(DHTFIX_TOOL ${musl_tool} CACHE FILEPATH "The dhtfix binary that the tests run; empty: the one built here")
# The companions come from the same build, beside the tool.
install(PROGRAMS ${musl_tool} ${musl_prefix}/install/${CMAKE_INSTALL_BINDIR}/dhtcat
        ${musl_prefix}/install/${CMAKE_INSTALL_BINDIR}/dhtcheck DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
