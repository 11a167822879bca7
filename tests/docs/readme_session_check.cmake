# Replays the sample session of the README and fails unless every command
# prints exactly what the README shows.
#
#   cmake -DQUENDIX=<program> -DREADME=<README.md> -DEXAMPLES=<examples dir>
#         -DWORK=<scratch dir> [-DEMULATOR=<command line>] [-DBACKSLASH_PATHS=ON]
#         -P readme_session_check.cmake
#
# The session is the first fenced block after the heading "## A sample
# session". Its lines that start with "$ " are commands, run in a fresh copy
# of the examples; the lines up to the next command are their output. The
# commands understood are `quendix [arguments]` and `head -N <file>`.
# Line ends are compared without CR, and with BACKSLASH_PATHS the program's
# paths are compared as if written with "/".

# The program runs through EMULATOR when one is given.
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")

include(${CMAKE_CURRENT_LIST_DIR}/markdown_block.cmake)
file(READ ${README} readme)
string(REPLACE "\r" "" readme "${readme}")
markdown_block("${readme}" "## A sample session" "" ${README} session)

file(REMOVE_RECURSE ${WORK})
file(COPY ${EXAMPLES}/ DESTINATION ${WORK})

# Runs one command of the session and sets `actual` to what it printed.
function(run_command command)
  separate_arguments(words UNIX_COMMAND "${command}")
  list(POP_FRONT words program)
  if(program STREQUAL "quendix")
    execute_process(COMMAND ${emulator} ${QUENDIX} ${words} WORKING_DIRECTORY ${WORK}
                    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
      message(FATAL_ERROR "`${command}` ended with status ${status}, standard error:\n${errors}")
    endif()
    string(REPLACE "\r" "" output "${output}")
    if(BACKSLASH_PATHS)
      string(REPLACE "\\" "/" output "${output}")
    endif()
  elseif(program STREQUAL "head" AND words MATCHES "^-([0-9]+);([^;]+)$")
    set(count ${CMAKE_MATCH_1})
    file(READ ${WORK}/${CMAKE_MATCH_2} content)
    string(REPLACE "\r" "" content "${content}")
    set(output "")
    foreach(n RANGE 1 ${count})
      string(FIND "${content}" "\n" at)
      if(at EQUAL -1)
        break()
      endif()
      math(EXPR at "${at} + 1")
      string(SUBSTRING "${content}" 0 ${at} line)
      string(SUBSTRING "${content}" ${at} -1 content)
      string(APPEND output "${line}")
    endforeach()
  else()
    message(FATAL_ERROR "the README session uses `${command}`, which this check cannot run")
  endif()
  set(actual "${output}" PARENT_SCOPE)
endfunction()

function(check_command command expected)
  run_command("${command}")
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "`${command}` in the README shows:\n${expected}\nbut prints:\n${actual}")
  endif()
endfunction()

set(command "")
set(expected "")
set(commands_run 0)
while(NOT session STREQUAL "")
  string(FIND "${session}" "\n" at)
  if(at EQUAL -1)
    set(line "${session}")
    set(session "")
  else()
    string(SUBSTRING "${session}" 0 ${at} line)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${session}" ${at} -1 session)
  endif()
  if(line MATCHES "^\\$ (.*)$")
    if(NOT command STREQUAL "")
      check_command("${command}" "${expected}")
    endif()
    set(command "${CMAKE_MATCH_1}")
    set(expected "")
    math(EXPR commands_run "${commands_run} + 1")
  elseif(command STREQUAL "")
    message(FATAL_ERROR "the README session does not start with a command: ${line}")
  else()
    string(APPEND expected "${line}\n")
  endif()
endwhile()
if(commands_run EQUAL 0)
  message(FATAL_ERROR "the README session holds no command")
endif()
check_command("${command}" "${expected}")
message("${commands_run} commands of the README session print what it shows")
