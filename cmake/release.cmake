# The release's version and day, as the packages carry them.

# check_changelog(FILE VERSION DATE): the newest entry of the Debian
# changelog FILE must be VERSION, released on DATE (YYYY-MM-DD). A release
# that forgets its entry, or a date that moved on one side only, stops the
# build here rather than shipping a package that contradicts itself.
function(check_changelog file version date)
  file(READ ${file} changelog)
  if(NOT changelog MATCHES "^chipferry \\(([^)]*)\\)")
    message(FATAL_ERROR "${file} does not begin with an entry for chipferry")
  endif()
  set(entry_version "${CMAKE_MATCH_1}")
  if(NOT entry_version STREQUAL version)
    message(FATAL_ERROR "${file}: the newest entry is ${entry_version}, the project "
                        "${version}; add an entry for ${version}")
  endif()
  # The newest entry's trailer, in the form `date -R` writes.
  set(trailer "\n -- [^\n]*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  if(NOT changelog MATCHES "${trailer}")
    message(FATAL_ERROR "${file}: the newest entry has no trailer line with its date")
  endif()
  set(day ${CMAKE_MATCH_1})
  set(month_name ${CMAKE_MATCH_2})
  set(year ${CMAKE_MATCH_3})
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND months ${month_name} month)
  math(EXPR month "${month} + 1")
  if(month LESS 10)
    set(month 0${month})
  endif()
  if(NOT "${year}-${month}-${day}" STREQUAL date)
    message(FATAL_ERROR "${file}: ${version} is dated ${year}-${month}-${day}, "
                        "the release date in CMakeLists.txt is ${date}")
  endif()
endfunction()
