# Checks that the manual page formats without a single warning, and that
# man renders it with the version and the release date in its footer.
#
#   cmake -DPAGE=<quendix.1> -DVERSION=<version> -DDATE=<YYYY-MM-DD> -P man_page_check.cmake
#
# Without groff there is nothing to check with: the script says so, and the
# test is counted as skipped.

find_program(GROFF groff)
if(NOT GROFF)
  message("groff not found: man page check skipped")
  return()
endif()

# -ww turns on every warning, -z formats without output.
execute_process(COMMAND ${GROFF} -ww -z -man ${PAGE}
                RESULT_VARIABLE result ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff -ww -z -man ${PAGE} (status ${result}):\n${warnings}")
endif()

find_program(MAN man)
if(NOT MAN)
  message("man not found: only the groff check was run")
  return()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPAGER=cat PAGER=cat MANWIDTH=80
                        ${MAN} --warnings -l ${PAGE}
                RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man -l ${PAGE} (status ${result}):\n${warnings}")
endif()
# A page that renders must at least show its name and synopsis, and its
# footer the release.
foreach(expected "quendix - convert" "SYNOPSIS" "quendix [-r] [-e end_block] [file_selector]"
                 "quendix ${VERSION}" "${DATE}")
  string(FIND "${text}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "man -l ${PAGE} does not show \"${expected}\":\n${text}")
  endif()
endforeach()
