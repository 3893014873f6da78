// The commit journal: written whole before the commit changes anything, appended to as its
// steps complete, and read back by any later run that finds it.
#pragma once
#include <stdint.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>
#include "crypto.h"
#include "entries.h"
#include "files.h"
#include "fingerprint.h"
#include "stream.h"

extern const char kJournalName[];      // "COMMIT.JNL", inside the scratch folder
const uint8_t kRecordStep = 'S';       // one step completed
const uint8_t kRecordComplete = 'C';   // every step completed: the backups may go

// The bytes a journal belongs to: the package's size and SHA-256.
struct PackageIdentity {
    uint32_t size;
    int hasDigest;   // 0 where the platform offers no SHA-256: then no package is the same
    uint8_t digest[kDigestSize];
};

// One step of the commit as the journal records it.
struct JournalStep {
    int entry = 0;
    int kind = KindPatch;
    int hadFile = 0;      // the installed file existed when the commit began: it is backed up
    int newFolders = 0;   // Add: folders on the way that the step creates, innermost last
    FileFingerprint newPrint = {0, 0, 0};
    std::string name;
    int recorded = 0;   // a record says the step completed
};

// A journal as written or read; the file stays open while steps are recorded.
struct Journal {
    PackageIdentity package;
    std::string target;
    std::vector<JournalStep> steps;
    int complete = 0;
    std::unique_ptr<FileStream> file;   // open while steps are recorded
    char path[kPathMax] = "";

    Journal() { memset(&package, 0, sizeof package); }
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    void Close() { file.reset(); }
};

// 1 with j filled when the header is whole and sound; records that follow are taken up to the
// first one that is cut or damaged (an append the run did not finish). The file stays open,
// positioned after the last sound record, for what the recovery records next.
int ReadJournal(const char* path, Journal* j);
// Writes the header to path, replacing any file there, and forces it onto the disk; the file
// stays open for the records.
int WriteJournal(const char* path, Journal* j);
// Appends a record and hands it to the system at once, so that a killed run leaves it behind.
// Only the completion record is forced onto the disk before anything relies on it: a step
// record that a power cut loses only makes the next run read that step's state from its files.
int AppendRecord(Journal* j, uint8_t type, uint32_t value);
