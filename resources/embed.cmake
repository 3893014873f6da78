# Turns the wording file into a C++ array so that POSIX programs carry it inside.
file(READ ${IN} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUT} "// Generated from upgsetup.uui; do not edit.\n#include <stdint.h>\nextern const uint8_t kDefaultWording[] = {${bytes} 0};\nextern const uint32_t kDefaultWordingSize = sizeof(kDefaultWording) - 1;\n")
