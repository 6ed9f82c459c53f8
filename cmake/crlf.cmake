# Copies a text file with Windows line ends:  cmake -DIN=a -DOUT=b -P crlf.cmake
file(READ ${IN} text)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
