# Installs the Python module from a copy of the source tree's python/ (its
# links to the C++ sources followed, as an sdist has them) with pip, the way
# its README says, runs its pytest suite against that install, and makes a
# wheel with `python3 -m build`, which builds it once more from its sdist.
# Run by CTest with -DPYTHON=... -DSOURCE=... -DWORK=... -DCI=...
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(copy ${WORK}/python)
execute_process(COMMAND ${PYTHON} -c
  "import shutil, sys; shutil.copytree(sys.argv[1], sys.argv[2], ignore=shutil.ignore_patterns('build', 'dist', '*.egg-info', '__pycache__'))"
  ${SOURCE}/python ${copy} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${PYTHON} -m pip install --no-build-isolation --no-index --no-deps --quiet
                        --target ${WORK}/site ${copy}
                WORKING_DIRECTORY ${WORK} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${WORK}/site DHTFIX_SAMPLE=${SOURCE}/samples/frame.jpg
                        DHTFIX_EXAMPLES=${SOURCE}/examples
                        ${PYTHON} -m pytest -q -p no:cacheprovider ${copy}/tests
                WORKING_DIRECTORY ${WORK} COMMAND_ERROR_IS_FATAL ANY)

execute_process(COMMAND ${PYTHON} -c "import build" RESULT_VARIABLE no_build OUTPUT_QUIET ERROR_QUIET)
if(no_build)
  if(CI)
    message(FATAL_ERROR "python3 -m build is needed to make the wheel (apt-get install python3-build)")
  endif()
  message(STATUS "no python3 -m build here (python3-build): the wheel is not made")
  return()
endif()
execute_process(COMMAND ${PYTHON} -m build --no-isolation --outdir ${WORK}/dist ${copy}
                WORKING_DIRECTORY ${WORK} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB wheels ${WORK}/dist/dhtfix-*-cp38-abi3-*.whl)
if(NOT wheels)
  message(FATAL_ERROR "python3 -m build made no cp38-abi3 wheel")
endif()
