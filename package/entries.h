// The entry table of a package: the records of the files it adds, patches and deletes.
//
// How the package layer reports failure, everywhere in it:
// - what reads a package never refuses on construction: IsValid says whether it holds, and the
//   reason is kept as a typed fault beside its text (NameFault and NameFaultText here, SealRead
//   and SealReadText, KeyFault and KeyFaultText), or as a flag its contract names (cut);
// - the patch interpreter reports through its ScriptRun (scriptCut, outputOverrun);
// - plain predicates and steps answer with an int, 1 for yes or success, 0 for no or failure;
// - the filelayer's rules hold below: sticky stream flags, and only std::bad_alloc is thrown.
#pragma once
#include <stdint.h>
#include <memory>
#include <vector>
#include "fingerprint.h"
#include "reader.h"

const int kMaxEntries = 10000;
// Sizes of the strings as the package stores them, terminator included.
const uint32_t kNameSize = 250;
const uint32_t kDescriptionSize = 80;

enum EntryKind { KindAdd = 0, KindPatch = 1, KindDelete = 2 };
enum MismatchPolicy { PolicyIgnore = 0, PolicyAsk = 1, PolicyAbort = 2 };
enum EntryState {
    StatePending = 0,
    StateMissing = 1,
    StateUpgraded = 2,   // the file already carries its new fingerprint: nothing to do
    StateModified = 3,
    StateReadOnly = 4,
    StateDateDiffers = 5,
    StateAlreadyExists = 6,
    StateTooLong = 7,   // the file's path, or a scratch name for it, does not fit the target
    StateBadResult = 8
};

struct FileEntry {
    uint8_t kind;
    uint8_t softPolicy;
    uint8_t hardPolicy;
    uint8_t state;
    char name[kNameSize];                 // UTF-8; a name whose UTF-8 does not fit is refused as cut
    char description[kDescriptionSize];   // UTF-8, cut at a character boundary
    FileFingerprint oldPrint;
    FileFingerprint newPrint;
};

// Why an entry name is refused; NameOk when it is a plain relative path below the target.
enum NameFault {
    NameOk = 0,
    NameEmpty,
    NameTooLong,    // cut by the 250-byte buffer
    NameAbsolute,   // starts with a separator, or carries a drive or any ':'
    NameForwardSlash,
    NameEdgeSeparator,    // ends with a separator
    NameEmptyComponent,   // "a\\b", "." or ".."
    NameTrailingDotOrBlank,
    NameDevice,         // CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$
    NameBadCharacter,   // control characters or any of <>"|?*
    NameInScratch       // inside the scratch folder
};
// wasCut: the name filled its buffer when read, so its end was dropped.
NameFault CheckEntryName(const char* name, int wasCut);
const char* NameFaultText(NameFault fault);

// A package read through its entry table; the stream then stands at the first script.
// Construction never refuses: IsValid, or the faults below, say what was found.
struct PackageTable : PackageReader {
    explicit PackageTable(const char* path, unsigned codePage = 0);
    // The reader's test, and a table that fits, holds only safe names and is whole.
    int IsValid() const;
    // The same but for the last test: a table cut short inside a fingerprint still holds the
    // entries before it, which the installation search judges by.
    int HoldsSafeEntries() const;
    // Entry i as read; null past the entries read.
    FileEntry* Entry(int i) const { return i >= 0 && i < (int)entries.size() ? entries[(size_t)i].get() : nullptr; }
    // Entries before the one a cut fingerprint ended the table in: all of them when whole.
    int WholeEntries() const { return cut ? (int)entries.size() - 1 : (int)entries.size(); }

    std::vector<std::unique_ptr<FileEntry>> entries;
    // The new files' sizes summed, plus 1: the whole of the progress; 0 when the table is not.
    uint32_t progressTotal;
    // Why the table was refused: more entries than it holds; the first unsafe entry and its
    // fault (-1 / NameOk); a fingerprint cut short, whose missing bytes would read as zeros.
    int tooManyEntries;
    int faultEntry;
    NameFault faultName;
    int cut;

private:
    void ReadEntries();
};
