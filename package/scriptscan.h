// Figures of a patch script read without running it: what `upg inspect` shows for each script.
#pragma once
#include <stdint.h>

class Stream;

struct ScriptFigures {
    uint32_t instructions = 0;   // every opcode but End, unknown ones included
    uint64_t literal = 0;        // bytes the inserts declare
    uint64_t copied = 0;         // bytes the copies declare
    int ended = 0;               // 1 when the End byte was read
    int cutInside = 0;           // 1 when the stream ended inside an instruction's operands or
                                 // data; an end where an opcode is due reads as End instead
    uint64_t Output() const { return literal + copied; }
};

// Reads one script from the stream's position up to and including its End byte and counts
// what it declares. A script cut off by the end of the stream leaves ended 0, the stream at its
// end and its error flag raised; literal data past the end still counts as declared.
ScriptFigures ScanScript(Stream* s);
