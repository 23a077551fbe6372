# Installs the build into a fresh prefix and checks that the tool runs from
# there, that its man page renders, and that nothing meant only for the .deb
# came along. Run by CTest with -DBUILD=... -DPREFIX=...; with -DSOURCE=...
# and -DGENERATOR=..., BUILD is first made fresh the way the demo preset
# makes its own: without the tests, building the targets its build preset
# names.
file(REMOVE_RECURSE ${PREFIX})
if(DEFINED SOURCE)
  file(REMOVE_RECURSE ${BUILD})
  file(READ ${SOURCE}/CMakePresets.json presets)
  string(JSON count LENGTH "${presets}" buildPresets)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${presets}" buildPresets ${i} name)
    if(name STREQUAL "demo")
      string(JSON targets GET "${presets}" buildPresets ${i} targets)
      string(JSON n LENGTH "${targets}")
      math(EXPR last_target "${n} - 1")
      set(demo_targets)
      foreach(j RANGE ${last_target})
        string(JSON target GET "${targets}" ${j})
        list(APPEND demo_targets ${target})
      endforeach()
    endif()
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BUILD} -G ${GENERATOR} -DBUILD_TESTING=OFF
                  COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target ${demo_targets}
                  COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
include(GNUInstallDirs)
set(tool ${PREFIX}/${CMAKE_INSTALL_BINDIR}/dhtfix)
set(page ${PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/dhtfix.1.gz)
foreach(f ${tool} ${page})
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(EXISTS ${PREFIX}/${CMAKE_INSTALL_DATADIR}/lintian)
  message(FATAL_ERROR "the .deb's lintian override was installed too")
endif()

execute_process(COMMAND ${tool} RESULT_VARIABLE status)
if(NOT status EQUAL 1)
  message(FATAL_ERROR "installed dhtfix without arguments ended with ${status}, not 1")
endif()

find_program(MAN man)
if(NOT MAN)
  message(FATAL_ERROR "man is needed to check the man page (apt-get install man-db)")
endif()
execute_process(COMMAND ${MAN} -l ${page} OUTPUT_VARIABLE text ERROR_VARIABLE warnings
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT text MATCHES "EXIT STATUS" OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man page did not render cleanly: ${warnings}")
endif()
