# Runs the Python package's tests against a build's programs, importing the
# package from the source tree.
#
#   cmake -DPYTHON=<interpreter> -DQUENDIX=<program> -DQUENDIX_GEN=<generator>
#         -DPACKAGE=<the python directory> [-DTESTS=<a test module>] -P run_tests.cmake
#
# TESTS is one module of the package's tests; without it, all of them run.
#
# Where the interpreter cannot import numpy and pytest, the script says so
# and the test counts as skipped.

execute_process(COMMAND ${PYTHON} -c "import numpy, pytest"
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
if(NOT status EQUAL 0)
  message("numpy or pytest not importable by ${PYTHON}: python package tests skipped")
  return()
endif()

if(NOT TESTS)
  set(TESTS ${PACKAGE}/tests)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PACKAGE} PYTHONDONTWRITEBYTECODE=1
                        QUENDIX=${QUENDIX} QUENDIX_GEN=${QUENDIX_GEN}
                        ${PYTHON} -m pytest -q -rs -p no:cacheprovider ${TESTS}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the Python package's tests failed (${status})")
endif()
