# Fails unless the Python package has the version CMake gives the program
# and its Debian package: both the version its build resolves from
# pyproject.toml and the package's own __version__.
#
#   cmake -DPYTHON=<python3> -DPACKAGE=<python dir> -DEXPECTED=<version> -P version_check.cmake
#
# Skipped where the interpreter lacks setuptools or numpy.
set(script [=[
import sys
package = sys.argv[1]
try:
    import numpy  # noqa: F401, the package's one dependency
    from setuptools.config.pyprojecttoml import read_configuration
except ImportError as missing:
    print("version check skipped:", missing)
    sys.exit(0)
sys.path.insert(0, package)
import quendix
built = read_configuration(package + "/pyproject.toml")["project"]["version"].strip()
print(built, quendix.__version__)
]=])
execute_process(COMMAND ${PYTHON} -c "${script}" ${PACKAGE}
                RESULT_VARIABLE status OUTPUT_VARIABLE found ERROR_VARIABLE errors OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PYTHON} ended with status ${status}:\n${errors}")
endif()
if(found MATCHES "^version check skipped")
  message("${found}")
  return()
endif()
if(NOT found STREQUAL "${EXPECTED} ${EXPECTED}")
  message(FATAL_ERROR "the Debian package is ${EXPECTED}; the Python package's build and __version__ are ${found}")
endif()
message("the program, the Debian package and the Python package are all ${EXPECTED}")
