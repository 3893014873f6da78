// The package reader, the entry table and the upgrade job built over a package file.
#pragma once
#include <stdint.h>
#include "fingerprint.h"

class FileStream;
class UiTextTable;
struct PackageSeal;
struct UpgradeJob;

const int kMaxEntries = 10000;
// Sizes of the strings as the package stores them, terminator included.
const uint32_t kTitleSize = 80;
const uint32_t kNotesSize = 8192;
const uint32_t kNameSize = 250;
const uint32_t kDescriptionSize = 80;
// Title and notes once decoded into UTF-8, which takes up to three bytes for a stored one.
const uint32_t kTitleTextSize = 3 * kTitleSize;
const uint32_t kNotesTextSize = 3 * kNotesSize;
const uint32_t kMessageSize = 2048;
const uint8_t kMaxVersion = 17;
extern const char kPackageMagic[8];   // "[QZUPD]" and its NUL
extern const char kScratchName[];     // "__QZUPD_", the scratch folder inside the target

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
    StateTooLong = 7,    // the file's path, or a scratch name for it, does not fit the target
    StateBadResult = 8
};

#pragma pack(push, 1)
struct PackageHeader {
    char magic[8];
    uint8_t version;
    int16_t entryCount;
};
#pragma pack(pop)
static_assert(sizeof(PackageHeader) == 11, "the header is read as 11 raw bytes");

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
    NameTooLong,          // cut by the 250-byte buffer
    NameAbsolute,         // starts with a separator, or carries a drive or any ':'
    NameForwardSlash,
    NameEdgeSeparator,    // ends with a separator
    NameEmptyComponent,   // "a\\b", "." or ".."
    NameTrailingDotOrBlank,
    NameDevice,           // CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$
    NameBadCharacter,     // control characters or any of <>"|?*
    NameInScratch         // inside the scratch folder
};
// wasCut: the name filled its buffer when read, so its end was dropped.
NameFault CheckEntryName(const char* name, int wasCut);
const char* NameFaultText(NameFault fault);

// Opens a package and reads header, title and notes. Construction never refuses; ask IsValid.
// Names, title, notes and descriptions are decoded into UTF-8 from the code page the seal
// records, else from codePage when given, else by PackageTextToUtf8's rule for an unnamed one.
struct PackageReader {
    explicit PackageReader(const char* path, unsigned codePage = 0);
    ~PackageReader();
    // Magic with its NUL, version at most 17, no stream error; tested in that order.
    int IsValid() const;
    // The header's entry count held to what the table can hold: a negative one reads as none.
    int EntryCount() const
    {
        return header.entryCount <= 0 ? 0 : header.entryCount > kMaxEntries ? kMaxEntries : header.entryCount;
    }

    FileStream* stream;
    PackageHeader header;
    char* title;   // kTitleTextSize bytes
    char* notes;   // kNotesTextSize bytes
    // The code page the strings are decoded from; 0 when neither the package nor the caller
    // named one.
    unsigned codePage;

private:
    PackageReader(const PackageReader&) = delete;
    PackageReader& operator=(const PackageReader&) = delete;
};

// What the package layer needs from the layer above while a job lives.
class JobHost {
public:
    virtual void UpdateProgress(UpgradeJob* job) = 0;
    virtual int PollCancel(UpgradeJob* job) = 0;
    // Teardown: re-enable the owner window and destroy the work window when there is one,
    // then destroy the attached UI text table.
    virtual void Release(UpgradeJob* job) = 0;

protected:
    ~JobHost() {}
};

// A package reader extended by the entry table and what one search or one apply needs.
struct UpgradeJob : PackageReader {
    UpgradeJob(void* instance, void* ownerWindow, const char* packagePath, const char* targetFolder,
               unsigned codePage = 0);
    // A job that only reads the package and its table: no target folder (it stays empty), no
    // windows.
    explicit UpgradeJob(const char* packagePath, unsigned codePage = 0)
        : UpgradeJob(nullptr, nullptr, packagePath, nullptr, codePage)
    {
    }
    ~UpgradeJob();
    // The reader's test, and also refuses a table that does not fit or holds an unsafe name,
    // a target folder that does not fit, and a job short of memory.
    int IsValid() const;
    // Fills the table from the stream; returns progressTotal (0 when a fingerprint is missing
    // or cut short).
    uint32_t ReadEntries();

    FileEntry** entries;      // kMaxEntries slots
    void* instance;
    void* ownerWindow;
    void* workWindow;
    uint32_t progressDone;
    uint32_t progressTotal;
    char* targetFolder;       // always ends in a separator
    char* messageText;
    char* workPath;
    char* tempPath;
    UiTextTable* uiText;
    JobHost* host;
    // Bytes the running script may write: the entry's expected new size.
    uint32_t outputLimit;
    // Set by the running script when it would have written past outputLimit: its output is
    // not the entry's new file, whatever the part written may verify as.
    int outputOverrun;
    // Set by the running script when the package ended before it or inside one of its
    // instructions; an end met where the next opcode would stand reads as End and is no cut.
    int scriptCut;
    // Why the table was refused: index of the first unsafe entry and its fault, or -1 / NameOk.
    int faultEntry;
    NameFault faultName;
    int tooManyEntries;
    // The target folder with its separator does not fit its 260-byte buffer.
    int targetTooLong;
    // A buffer, the table or an entry record could not be allocated.
    int outOfMemory;
    // The package's seal once checked intact (owned), null for a package without one; and what
    // the check found (a SealRead value), -1 before it ran.
    PackageSeal* seal;
    int sealState;
    // A publisher key file to trust in place of the target folder's own pin; null for none.
    const char* trustFile;

private:
    UpgradeJob(const UpgradeJob&) = delete;
    UpgradeJob& operator=(const UpgradeJob&) = delete;
};
