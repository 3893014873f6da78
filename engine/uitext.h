// The table of user-interface wording: 26 lines of a .uui text, looked up by line and part.
#pragma once
#include <stdint.h>
#include <memory>

class Stream;

const int kUiLines = 26;   // lines 0..25; a wording may stop after line 20 (see HasLine)
const uint32_t kUiLineSize = 256;
// The resource that holds the default wording in every program.
extern const char kDefaultUiResource[];   // "UPGAPPLYUI"

// The lines of the wording by their role. The numbers are the line numbers of the .uui text.
enum UiLineId {
    LineNone = 0,         // a clean pre-check finding; line 0 of the text is a comment, never read
    LineOperations = 1,   // parts: Add, Patch, Delete
    LineLabels = 2,       // parts: before the operation, the file name, the description
    LineCaption = 3,      // the progress view, every question and information box
    LineCancelButton = 4,
    LineChecking = 5,    // operation during the pre-check and the build
    LineReplacing = 6,   // operation during the commit
    LineContinue = 7,    // last paragraph of an Ask question
    LineConfirmCancel = 8,
    LineAddExists = 9,   // findings of the pre-check, 9..15
    LinePatchDateDiffers = 10,
    LineDeleteDiffers = 11,
    LineAddReadOnly = 12,
    LineMissing = 13,
    LinePatchModified = 14,
    LineReadOnly = 15,
    LineCannotGoOn = 16,      // third paragraph of the Abort question in the pre-check
    LineBadResultStop = 17,   // third paragraph after a failed verification, Abort
    LineBadResultAsk = 18,    // the same, Ask
    LineKnowMore = 19,        // last paragraph of an Abort question
    LineStopped = 20,         // information after a failed verification
    LineNotReplaced = 21,     // files the commit could not replace; older wordings lack it
    LinePathTooLong = 22,     // finding: the path does not fit the target; older wordings lack it
    LineInUse = 23,           // files another program holds: Retry or Cancel; older wordings lack it
    LineNoAccess = 24,        // the user may not change the target; older wordings lack it
    LineRunAsAdmin = 25       // the offer to run again with administrator rights; older wordings lack it
};

class UiTextTable {
public:
    // From a file; one that cannot be opened reads as an empty text.
    explicit UiTextTable(const char* path);
    // From a resource of the program: the named one, else kDefaultUiResource, else the text "N/A".
    UiTextTable(void* module, const char* name);
    ~UiTextTable();

    // Fills the table from any stream (Reset first). Lines 1 and 2 are split at '|'.
    void ReadUiLines(Stream* stream);
    // Text of line n (0..25, a UiLineId); for lines 1 and 2 its part 0.
    const char* LineText(int n) const;
    // Part k of line n; never reads outside the store (a part past the last reads as "").
    const char* LinePart(int n, int k) const;
    // Whether the text really held line n (lines 21 to 25 are additions older files lack).
    int HasLine(int n) const { return n >= 0 && n < kUiLines && present[n]; }

    std::unique_ptr<char[]> store;
    char* lines[kUiLines];

private:
    UiTextTable(const UiTextTable&) = delete;
    UiTextTable& operator=(const UiTextTable&) = delete;
    int present[kUiLines];
};
