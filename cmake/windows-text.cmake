# Writes a text file for Windows: CR LF line ends, and every reference to a
# page NAME.md turned into NAME.txt, the name the page has in the Windows zip.
#   cmake -DIN=page.md -DOUT=page.txt -P windows-text.cmake
file(READ ${IN} text)
string(REGEX REPLACE "([A-Za-z0-9_./-]+)\\.md([^A-Za-z0-9_]|$)" "\\1.txt\\2" text "${text}")
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
