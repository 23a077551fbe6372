# Installs the build into a fresh prefix and builds the C example against
# the library there, once with pkg-config and once with find_package; each
# must repair the sample frame as the tool does. Run by CTest with
# -DBUILD=... -DSOURCE=... -DWORK=... -DLIBDIR=... -DGENERATOR=... -DCC=...
# -DPKG_CONFIG=... -DTOOL=... -DCI=...
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

# What the tool makes of the sample.
file(COPY ${SOURCE}/samples/frame.jpg DESTINATION ${WORK})
execute_process(COMMAND ${TOOL} ${WORK}/frame.jpg OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(READ ${WORK}/frame.jpg expected HEX)

set(examples)
if(PKG_CONFIG)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
                          ${PKG_CONFIG} --cflags --libs dhtfix
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -pedantic -Werror ${SOURCE}/examples/repair_frames.c
                          ${flags} -o ${WORK}/repair_frames_pc
                  COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND examples ${WORK}/repair_frames_pc)
elseif(CI)
  message(FATAL_ERROR "pkg-config is needed to build the example (apt-get install pkg-config)")
else()
  message(STATUS "no pkg-config here: the example is built with find_package only")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/examples -B ${WORK}/example -G ${GENERATOR}
                        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${CC} -DCMAKE_BUILD_TYPE=Release
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/example OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
list(APPEND examples ${WORK}/example/repair_frames)

foreach(example IN LISTS examples)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${example}
                  INPUT_FILE ${SOURCE}/samples/frame.jpg OUTPUT_FILE ${WORK}/out.jpg COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${WORK}/out.jpg got HEX)
  if(NOT got STREQUAL expected)
    message(FATAL_ERROR "${example} repaired the sample otherwise than the tool")
  endif()
endforeach()
