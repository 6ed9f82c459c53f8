# Renders a manual page as plain text with Windows line ends, for the
# Windows package:  cmake -DMAN=page.1 -DOUT=page.txt -P manual-text.cmake
find_program(NROFF nroff REQUIRED)
execute_process(COMMAND ${NROFF} -man -Tascii -rLL=78n ${MAN}
                OUTPUT_VARIABLE text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nroff could not render ${MAN}")
endif()
# nroff marks bold and underline with backspaces; a text file has none.
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
