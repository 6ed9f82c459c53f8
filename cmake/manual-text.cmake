# Renders a manual page as plain text with Windows line ends, for the
# Windows package:  cmake -DMAN=page.1 -DOUT=page.txt -P manual-text.cmake
# The text is read in Notepad, not a pager: 78 columns, ragged right, and
# no word broken at a line end (a message split by a hyphen is not the
# message any more).
find_program(NROFF nroff REQUIRED)
set(preamble ${OUT}.roff)
file(WRITE ${preamble} ".ad l\n")
execute_process(COMMAND ${NROFF} -man -Tascii -rLL=78n -rHY=0 ${preamble} ${MAN}
                OUTPUT_VARIABLE text RESULT_VARIABLE rc)
file(REMOVE ${preamble})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nroff could not render ${MAN}")
endif()
# nroff marks bold and underline with backspaces; a text file has none.
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
