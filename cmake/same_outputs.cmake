# Fails unless two builds of quendix, such as the x86-64 build and the arm64
# cross build, write the same bytes: every CSV and log file and the console
# text of `quendix -r`, on a copy of the bundled examples together with a
# generated recording of many frames, jumps, frames without the marker, R
# flags, wraps at the end block and a trailing fragment.
#
#   cmake -DREFERENCE=<quendix> -DCANDIDATE=<quendix> [-DCANDIDATE_EMULATOR=<command line>]
#         -DGENERATOR=<quendix-gen> -DEXAMPLES=<examples dir> -DWORK=<scratch dir>
#         -P same_outputs.cmake
#
# The generator and the reference run natively; the candidate through its
# emulator (qemu-aarch64 for the arm64 build) when one is given.
separate_arguments(candidate_emulator UNIX_COMMAND "${CANDIDATE_EMULATOR}")

file(REMOVE_RECURSE ${WORK})
file(COPY ${EXAMPLES}/ DESTINATION ${WORK}/tree)
file(MAKE_DIRECTORY ${WORK}/tree/generated)
execute_process(COMMAND ${GENERATOR} --frames 40000 --start 509,300 --end-block 510 --jump-every 997
                        --missing-every 1201 --r-flag-every 13 --fragment 61 --seed 25 ${WORK}/tree/generated/long.qvx
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "quendix-gen ended with status ${status}")
endif()
file(COPY ${WORK}/tree/ DESTINATION ${WORK}/reference)
file(COPY ${WORK}/tree/ DESTINATION ${WORK}/candidate)

execute_process(COMMAND ${REFERENCE} -r WORKING_DIRECTORY ${WORK}/reference
                RESULT_VARIABLE reference_status OUTPUT_VARIABLE reference_console)
execute_process(COMMAND ${candidate_emulator} ${CANDIDATE} -r WORKING_DIRECTORY ${WORK}/candidate
                RESULT_VARIABLE candidate_status OUTPUT_VARIABLE candidate_console)
if(NOT reference_status EQUAL 0 OR NOT candidate_status EQUAL 0)
  message(FATAL_ERROR "quendix -r ended with status ${reference_status} (${REFERENCE}) "
                      "and ${candidate_status} (${CANDIDATE})")
endif()
if(NOT candidate_console STREQUAL reference_console)
  file(WRITE ${WORK}/reference.out "${reference_console}")
  file(WRITE ${WORK}/candidate.out "${candidate_console}")
  message(FATAL_ERROR "the console texts differ: ${WORK}/reference.out, ${WORK}/candidate.out")
endif()

file(GLOB_RECURSE reference_files RELATIVE ${WORK}/reference ${WORK}/reference/*)
file(GLOB_RECURSE candidate_files RELATIVE ${WORK}/candidate ${WORK}/candidate/*)
list(SORT reference_files)
list(SORT candidate_files)
if(NOT candidate_files STREQUAL reference_files)
  message(FATAL_ERROR "the builds left other files: [${reference_files}] and [${candidate_files}]")
endif()
set(outputs 0)
foreach(name ${reference_files})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/reference/${name} ${WORK}/candidate/${name}
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "${name} differs between the builds (${WORK}/reference, ${WORK}/candidate)")
  endif()
  if(name MATCHES "\\.(csv|log)$")
    math(EXPR outputs "${outputs} + 1")
  endif()
endforeach()
string(LENGTH "${reference_console}" console_bytes)
message("the two builds wrote the same ${outputs} CSV and log files and ${console_bytes} bytes of console text")
