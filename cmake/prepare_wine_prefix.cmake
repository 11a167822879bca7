# Creates the wine prefix that the Windows test runs share, before any of
# them runs: creating it takes several seconds, more than a test discovery
# may take, and wine reports on it at length.
#
#   cmake "-DEMULATOR=<env ... wine64>" -DLOG=<file> -P prepare_wine_prefix.cmake
#
# EMULATOR is the command list that runs a Windows program, ending in the
# wine loader; the wine server beside the loader is waited for, so that the
# prefix is complete on disk when this script returns.

execute_process(COMMAND ${EMULATOR} wineboot --init
                OUTPUT_FILE ${LOG} ERROR_FILE ${LOG}.err RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(READ ${LOG}.err errors)
  message(FATAL_ERROR "wineboot failed (${result}):\n${errors}")
endif()

set(environment ${EMULATOR})
list(POP_BACK environment loader)
get_filename_component(wine_dir ${loader} DIRECTORY)
execute_process(COMMAND ${environment} ${wine_dir}/wineserver -w RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "waiting for the wine server failed (${result})")
endif()
