# Runs the CSV-reading examples of the format description on a real
# conversion, so that they keep working as the formats evolve.
#
#   cmake -DQUENDIX=<program> -DFORMAT=<format.md> -DEXAMPLES=<examples dir>
#         -DWORK=<scratch dir> [-DEMULATOR=<command line>] -P format_examples_check.cmake
#
# The Python example runs where python3 is installed, the R example where
# Rscript is; with neither the script says so and the test counts as skipped.

# The program runs through EMULATOR when one is given.
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")

include(${CMAKE_CURRENT_LIST_DIR}/markdown_block.cmake)
file(READ ${FORMAT} text)
string(REPLACE "\r" "" text "${text}")

# Runs `interpreter script` in WORK and fails unless it ends well and prints
# `expected` somewhere in its output.
function(run_example interpreter script expected)
  execute_process(COMMAND ${interpreter} ${script} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the ${script} example of ${FORMAT} failed (${status}):\n${errors}")
  endif()
  string(FIND "${output}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the ${script} example printed no \"${expected}\":\n${output}")
  endif()
endfunction()

find_program(PYTHON3 python3)
find_program(RSCRIPT Rscript)
if(NOT PYTHON3 AND NOT RSCRIPT)
  message("neither python3 nor Rscript found: format examples skipped")
  return()
endif()

file(REMOVE_RECURSE ${WORK})
file(COPY ${EXAMPLES}/ DESTINATION ${WORK})
execute_process(COMMAND ${emulator} ${QUENDIX} WORKING_DIRECTORY ${WORK} OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS ${WORK}/morning.csv)
  message(FATAL_ERROR "quendix did not convert the examples in ${WORK}")
endif()

if(PYTHON3)
  markdown_block("${text}" "" python ${FORMAT} code)
  file(WRITE ${WORK}/read_csv.py "${code}")
  # The first row of morning.csv: its sequence number, AX and GX in units,
  # ASVM in units and GSVM.
  run_example(${PYTHON3} read_csv.py "0 -0.343505859375 -44.7845458984375 1.05 46\n")
else()
  message("python3 not found: the Python example was not run")
endif()

if(RSCRIPT)
  markdown_block("${text}" "" r ${FORMAT} code)
  file(WRITE ${WORK}/read_csv.R "${code}")
  run_example(${RSCRIPT} read_csv.R "SEQNO")
endif()
