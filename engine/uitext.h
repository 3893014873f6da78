// The table of user-interface wording: 22 lines of a .uui text, looked up by line and part.
#pragma once
#include <stdint.h>

class TQLXStream;

const int kUiLines = 22;          // 0..20 as published, 21: files that could not be replaced
const uint32_t kUiLineSize = 256;

class UiTextTable {
public:
    // From a file; one that cannot be opened reads as an empty text.
    explicit UiTextTable(const char* path);
    // From a resource of the program: the named one, else "UPGAPPLYUI", else the text "N/A".
    UiTextTable(void* module, const char* name);
    ~UiTextTable();

    // Fills the table from any stream (Reset first). Lines 1 and 2 are split at '|'.
    void ReadUiLines(TQLXStream* stream);
    // Text of line n (0..21); for lines 1 and 2 its part 0.
    const char* LineText(int n) const;
    // Part k of line n; never reads outside the store (a part past the last reads as "").
    const char* LinePart(int n, int k) const;
    // Whether the text really held line n (line 21 is an addition older files lack).
    int HasLine(int n) const { return n >= 0 && n < kUiLines && present[n]; }

    char* store;
    char* lines[kUiLines];

private:
    UiTextTable(const UiTextTable&) = delete;
    UiTextTable& operator=(const UiTextTable&) = delete;
    int present[kUiLines];
};
