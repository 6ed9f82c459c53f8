# The manual pages' one source for two systems, and their exit statuses.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -P manual_pages_test.cmake
include(${SOURCE_DIR}/cmake/manual-page.cmake)
function(expect what actual expected)
  if(NOT actual STREQUAL expected)
    message(SEND_ERROR "${what}:\n--- got\n${actual}\n--- expected\n${expected}")
  endif()
endfunction()

# A block on the first line, an empty one, and text that CMake would
# otherwise take apart (semicolons, brackets, backslashes) come through.
file(WRITE ${WORK_DIR}/page.in
  ".\\\" posix {\n.B /dev/ttyS0\n.\\\" }\nA; [b] \\e\\e.\\e\n.\\\" win32 {\n.\\\" }\n"
  ".\\\" win32 {\nCOM3 @PROJECT_VERSION@\n.\\\" }\nend\n")
set(PROJECT_VERSION 9.9)
foreach(platform posix win32)
  configure_manual_page(${WORK_DIR}/page.in ${WORK_DIR}/page.${platform} ${platform})
  file(READ ${WORK_DIR}/page.${platform} page_${platform})
endforeach()
expect("the Linux page" "${page_posix}" ".B /dev/ttyS0\nA; [b] \\e\\e.\\e\nend\n")
expect("the Windows page" "${page_win32}" "A; [b] \\e\\e.\\e\nCOM3 9.9\nend\n")

# A block left open stops the configuration rather than eating the page.
file(WRITE ${WORK_DIR}/open.in "a\n.\\\" posix {\nb\n")
file(WRITE ${WORK_DIR}/open.cmake "include(${SOURCE_DIR}/cmake/manual-page.cmake)\n"
  "configure_manual_page(${WORK_DIR}/open.in ${WORK_DIR}/open.1 win32)\n")
execute_process(COMMAND ${CMAKE_COMMAND} -P ${WORK_DIR}/open.cmake
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
expect("an open block fails the configuration" "${rc}" "1")

# Every exit status of chipferry(1) is an item of its own, on each system:
# a status without its .TP runs on in the text of the one before.
foreach(platform posix win32)
  configure_manual_page(${SOURCE_DIR}/doc/chipferry.1.in ${WORK_DIR}/chipferry.${platform}
                        ${platform})
  file(READ ${WORK_DIR}/chipferry.${platform} page)
  string(REGEX REPLACE ".*\n\\.SH \"EXIT STATUS\"\n" "" section "${page}")
  string(REGEX REPLACE "\n\\.SH .*" "\n" section "${section}")
  # The matches below become a list, which a semicolon in the text would cut.
  string(REPLACE ";" "," section "${section}")
  string(REGEX MATCHALL "[^\n]*\n\\.B (\\\\-)?[0-9]+\n" tags "\n${section}")
  set(statuses "")
  foreach(tag IN LISTS tags)
    string(REGEX REPLACE ".*\n\\.B ([^\n]*)\n" "\\1" status "${tag}")
    if(NOT tag MATCHES "^\\.TP\n")
      message(SEND_ERROR "${platform}: exit status ${status} is no item of its own")
    endif()
    list(APPEND statuses ${status})
  endforeach()
  set(ended_early_posix "129;130;131;141;143")
  set(ended_early_win32 "141;\\-1073741510")
  expect("${platform}: the exit statuses" "${statuses}"
         "0;1;2;3;4;5;6;7;8;9;10;11;12;64;${ended_early_${platform}}")
endforeach()
