# Runs the README's example of converting a collection with one quendix per
# directory, and fails unless it writes exactly the files `quendix -r` does.
#
#   cmake -DQUENDIX=<program> -DREADME=<README.md> -DEXAMPLES=<examples dir>
#         -DWORK=<scratch dir> [-DEMULATOR=<command line>] -P readme_parallel_check.cmake
#
# The example is the first ```sh block after the heading "## Converting large
# collections". It runs under sh in a copy of the examples, with the
# program's directory first on PATH; with an EMULATOR, a script of the
# program's name that runs it through the emulator stands there instead.

include(${CMAKE_CURRENT_LIST_DIR}/markdown_block.cmake)
file(READ ${README} readme)
string(REPLACE "\r" "" readme "${readme}")
markdown_block("${readme}" "## Converting large collections" sh ${README} example)

# Each way of converting gets a fresh copy of the examples.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${EXAMPLES}/ DESTINATION ${WORK}/parallel)
file(COPY ${EXAMPLES}/ DESTINATION ${WORK}/recursive)

separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
get_filename_component(program_dir ${QUENDIX} DIRECTORY)
if(emulator)
  set(program_dir ${WORK}/bin)
  string(REPLACE ";" " " words "${emulator};${QUENDIX}")
  file(WRITE ${WORK}/quendix "#!/bin/sh\nexec ${words} \"$@\"\n")
  file(COPY ${WORK}/quendix DESTINATION ${program_dir} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env "PATH=${program_dir}:$ENV{PATH}" sh -c "${example}"
                WORKING_DIRECTORY ${WORK}/parallel RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "the README's example ended with status ${status}, standard error:\n${errors}")
endif()
execute_process(COMMAND ${emulator} ${QUENDIX} -r WORKING_DIRECTORY ${WORK}/recursive
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "quendix -r ended with status ${status}")
endif()

file(GLOB_RECURSE expected RELATIVE ${WORK}/recursive ${WORK}/recursive/*.csv ${WORK}/recursive/*.log)
file(GLOB_RECURSE written RELATIVE ${WORK}/parallel ${WORK}/parallel/*.csv ${WORK}/parallel/*.log)
list(SORT expected)
list(SORT written)
if(NOT written STREQUAL expected OR expected STREQUAL "")
  message(FATAL_ERROR "the README's example wrote [${written}], quendix -r [${expected}]")
endif()
foreach(file ${expected})
  file(READ ${WORK}/recursive/${file} want HEX)
  file(READ ${WORK}/parallel/${file} got HEX)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "the README's example wrote another ${file} than quendix -r")
  endif()
endforeach()
list(LENGTH expected count)
message("the README's example writes the ${count} files quendix -r does")
