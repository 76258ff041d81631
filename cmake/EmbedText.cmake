# Writes OUT, a C++ source defining `const unsigned char NAME[]` with the bytes of the text file IN, so that
# a page template stays a readable file of its own in the source tree.
# Usage: cmake -DIN=<file> -DOUT=<file.cpp> -DNAME=<symbol> -P EmbedText.cmake
file(READ ${IN} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUT} "// Generated from ${IN} by cmake/EmbedText.cmake: do not edit.
extern const unsigned char ${NAME}[];
const unsigned char ${NAME}[] = {${bytes}0};
")
