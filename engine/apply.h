// The apply procedure: pre-check, build into the scratch folder, commit.
//
// How the engine reports failure, everywhere in it:
// - a procedure that can end in several ways returns an outcome enum that names each one
//   (ApplyOutcome, CommitResult, RecoveryResult, SealRead through the trust check), and the
//   person has been told by the time it returns; the callers only word the outcome;
// - a file the commit could not replace is listed with its reason (CommitFailure);
// - predicates and single steps answer with an int, 1 for yes or success, 0 for no or failure;
//   an index that may find nothing is -1 for none;
// - the layers below keep their own rules (files.h, entries.h); only std::bad_alloc is thrown.
#pragma once
#include <stdint.h>
#include <vector>
#include "uitext.h"

struct UpgradeJob;
struct FileEntry;
class ApplySession;

// What an apply came to. Only ApplyApplied is a success; the callers word each outcome.
enum ApplyOutcome {
    ApplyApplied = 0,   // every listed file is in its new state
    ApplyNotStarted,    // the job, its wording or its interface is not usable; nothing touched
    ApplyCancelled,     // the person confirmed a cancel; the installation is as it was
    ApplyDeclined,      // a question about a file was answered No; the installation is as it was
    ApplyStopped,       // a file's policy stopped the apply; the installation is as it was
    ApplyNotReplaced,   // a file could not be replaced (or the commit not recorded): every
                        // step was undone, the installation is as it was; the person was told
    ApplyRefused,       // the package's seal or signature does not hold, or is not the
                        // pinned publisher's; the person was told, nothing touched
    ApplyUpToDate,      // every file is already in its new state: nothing to do, a success
    ApplyInterrupted,   // the commit could neither finish nor be undone: its journal is kept,
                        // and running the upgrade again finishes it; the person was told
    ApplyInUse,         // files to replace or delete were held by other programs and the
                        // person cancelled (or stopped waiting); nothing touched
    ApplyNoAccess       // the user may not change the target folder or a file in it; the
                        // person was told (and may have started a run with more rights);
                        // nothing touched
};

// Runs the apply of the session's job, which needs the session's wording. Before anything else, a
// journal left by an interrupted run is finished (the same package) or undone (another one).
// The commit is all or nothing: every outcome but ApplyApplied leaves the installation in its
// old release, except ApplyInterrupted, which leaves a journal that the next run finishes.
ApplyOutcome ApplyUpgrade(ApplySession* host);
// The question about one entry: its operation, name and description, then the two lines.
int AskAboutEntry(ApplySession* host, FileEntry* entry, UiLineId thirdLine, UiLineId lastLine);
// Removes every file of the scratch folder but backups and the journal, then the folder
// itself when it is empty; 1 when the folder is gone.
int CleanScratchFolder(UpgradeJob* job);
// Line n of the session's wording, with built-in English for the lines older wordings lack;
// "" without a wording.
const char* UiLine(ApplySession* host, UiLineId n);
const char* UiPart(ApplySession* host, UiLineId n, int k);

// Every Add and Patch file already carries its new fingerprint (and sealed digest) and every
// Delete file is gone, with at least one Add or Patch entry to say so. The table must be whole.
int AlreadyUpToDate(UpgradeJob* job);

// What the pre-check finds for one entry.
struct EntryFinding {
    int state;        // the EntryState the test sets
    UiLineId line;    // the line that words it (9..15), LineNone when the entry applies cleanly
    int policy;       // the policy that decides it, resolved: the value 3 reads as Ignore
    int soft;         // 1 when the soft policy decides: under Ignore the file still goes through
    int stateAfter;   // the state the entry keeps: Pending for soft findings and clean entries
};

// The pre-check alone for one entry, without asking or touching anything; an index outside
// the table reads as a clean, pending entry.
EntryFinding CheckEntry(UpgradeJob* job, int index);

// What a seal's digest over one set of files (seal.h) says of the installed files.
struct SetFinding {
    int set;       // a FileSet
    int holds;     // 1 it holds, 0 it does not, -1 it cannot tell (a file of the set not known)
    int members;   // files in the set
    int file;      // where it does not hold and the set has one file, that entry; else -1
};

// The pre-check of every entry without asking or touching anything, as an apply makes it: one
// finding per entry, where a file that a set's digest proves foreign is a modified one. For a
// seal with digests per set, sets gets one finding per set, new files first; the new files'
// digest is known only when every new file is installed already. Empty otherwise.
void CheckEntries(UpgradeJob* job, std::vector<EntryFinding>* findings, std::vector<SetFinding>* sets);
