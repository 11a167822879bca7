# Starts or stops the wine server that the Windows test runs share.
#
#   cmake "-DEMULATOR=<env ... wine64>" -DACTION=start|stop -DLOG=<file> -P wine_server.cmake
#
# Left to itself, a wine server ends three seconds after its last program
# has; a program that starts just then finds it going away ("wine client
# error: recvmsg: Connection reset by peer") and dies before it runs. So the
# test run starts one server that stays until the run stops it, and no
# program ever meets a server on its way out. The server's first program
# starts wine's own services, which live as long as the server and keep the
# output they were given: wineboot starts them here, with a file for their
# output, so that no test's output pipe is held open by them. EMULATOR is
# the command list that runs a Windows program, ending in the wine loader;
# the server beside the loader runs in the same environment.

set(environment ${EMULATOR})
list(POP_BACK environment loader)
get_filename_component(wine_dir ${loader} DIRECTORY)

# Any server of this prefix left from before goes first, and is waited for.
execute_process(COMMAND ${environment} ${wine_dir}/wineserver -k OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND ${environment} ${wine_dir}/wineserver -w OUTPUT_QUIET ERROR_QUIET)
if(ACTION STREQUAL "start")
  # The server stays in the background with the output it was given; a file,
  # since a pipe it holds open would keep this script waiting for its end.
  execute_process(COMMAND ${environment} ${wine_dir}/wineserver -p
                  OUTPUT_FILE ${LOG} ERROR_FILE ${LOG} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the wine server did not start (${result})")
  endif()
  execute_process(COMMAND ${EMULATOR} wineboot OUTPUT_FILE ${LOG}.boot ERROR_FILE ${LOG}.boot
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "wine's services did not start (${result})")
  endif()
elseif(NOT ACTION STREQUAL "stop")
  message(FATAL_ERROR "ACTION is start or stop, not \"${ACTION}\"")
endif()
