// One script in a file of its own ("part"), replayed through the interpreter exactly as the
// applier would run it, before it may go into a package.
#pragma once
#include <stdint.h>

class Stream;

// A part is a package with no entries whose first script is the one it carries: the header,
// an empty title and empty notes, then the script.
const uint32_t kPartHeaderSize = 13;
void WritePartHeader(Stream* out);

struct ReplayResult {
    uint32_t written;           // bytes the script produced
    uint32_t firstDifference;   // first position where they differ from the new file, or 0xFFFFFFFF
    int endsAtPartEnd;          // the script was read exactly up to the end of the part
};

// Runs the part's script with old (or no old file when old is null) and compares what it
// writes with newSize bytes of the file at newPath. Returns 1 when they are equal.
int ReplayPart(const char* partPath, const uint8_t* old, uint32_t oldSize, const char* newPath, uint32_t newSize,
               ReplayResult* result);
