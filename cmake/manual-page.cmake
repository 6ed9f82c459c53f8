# configure_manual_page(SOURCE OUTPUT PLATFORM): one manual source serves
# Linux and Windows. The lines between a line `.\" posix {` and a line
# `.\" }` are for POSIX systems, those between `.\" win32 {` and `.\" }` for
# Windows: the blocks of PLATFORM keep their lines, the others lose them,
# and the marker lines go from both. Then @VARIABLES@ are filled in, as
# configure_file does. The page is written only when it changes, so that an
# unchanged page rebuilds nothing.
function(configure_manual_page source output platform)
  file(READ ${source} text)
  # The text still to read starts with a line end of its own, not part of the
  # page, so that a marker is found on the first line as on any other.
  set(text "\n${text}")
  set(opening_pattern "\n\\.\\\\\" (posix|win32) [{]\n")
  set(closing "\n.\\\" }\n")
  string(LENGTH "${closing}" closing_length)
  set(result "")
  while(text MATCHES "${opening_pattern}")
    set(opening "${CMAKE_MATCH_0}")
    set(block_platform ${CMAKE_MATCH_1})
    string(FIND "${text}" "${opening}" start)
    string(LENGTH "${opening}" opening_length)
    math(EXPR inner_start "${start} + ${opening_length}")
    string(SUBSTRING "${text}" 1 ${start} before)
    # The block's lines, each with its line end, then the closing marker.
    string(SUBSTRING "${text}" ${inner_start} -1 rest)
    set(rest "\n${rest}")
    string(FIND "${rest}" "${closing}" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "${source}: a ${block_platform} block has no closing line .\\\" }")
    endif()
    string(SUBSTRING "${rest}" 1 ${end} inner)
    if("\n${inner}" MATCHES "${opening_pattern}")
      message(FATAL_ERROR "${source}: a ${block_platform} block holds another block")
    endif()
    math(EXPR after_start "${end} + ${closing_length}")
    string(SUBSTRING "${rest}" ${after_start} -1 text)
    set(text "\n${text}")
    string(APPEND result "${before}")
    if(block_platform STREQUAL platform)
      string(APPEND result "${inner}")
    endif()
  endwhile()
  string(SUBSTRING "${text}" 1 -1 text)
  string(APPEND result "${text}")
  file(CONFIGURE OUTPUT ${output} CONTENT "${result}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
