# Finds fenced code blocks in Markdown text, for the checks that run the
# examples of the documents.

# Sets `out` in the caller to the contents of the first fenced block of
# `text` after the line `heading` (from the start when it is empty) whose
# opening fence carries `language` (any block when it is empty). `what`
# names the document in messages. Line ends must already be plain "\n".
function(markdown_block text heading language what out)
  set(rest "\n${text}")
  if(NOT heading STREQUAL "")
    string(FIND "${rest}" "\n${heading}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${what} has no \"${heading}\" section")
    endif()
    string(SUBSTRING "${rest}" ${at} -1 rest)
  endif()
  if(language STREQUAL "")
    string(FIND "${rest}" "\n```" at)
  else()
    string(FIND "${rest}" "\n```${language}\n" at)
  endif()
  if(at EQUAL -1)
    message(FATAL_ERROR "${what} has no ```${language} block after \"${heading}\"")
  endif()
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${rest}" ${at} -1 rest)
  string(FIND "${rest}" "\n" at)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${rest}" ${at} -1 rest)  # past the opening fence and its tag
  string(FIND "${rest}" "```" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "a ```${language} block of ${what} is not closed")
  endif()
  string(SUBSTRING "${rest}" 0 ${at} block)
  set(${out} "${block}" PARENT_SCOPE)
endfunction()
