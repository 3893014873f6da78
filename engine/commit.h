// The journalled commit: every installed file backed up by rename into the scratch folder and
// replaced, or every step undone; a journal there lets any later run finish or undo it.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>
#include "journal.h"

struct UpgradeJob;
class ApplySession;

// Extension of a backup whose commit finished but which could not be removed then ("DEL"):
// no journal names it, and every run removes it as soon as it can.
extern const char kFinishedBackup[];

// A package whose seal holds is known by its seal digest, which covers the digest of every
// package byte before the seal and every entry digest; any other by the SHA-256 of all its
// bytes, read through the job's stream, which keeps its position and error flag.
int IdentifyPackage(UpgradeJob* job, PackageIdentity* id);

// A file of table position i inside the scratch folder, with the given extension ("TMP" the
// verified new file, "PRT" one being written, "OLD" the installed file it replaced); 0 and an
// empty out when the path does not fit.
int ScratchFile(UpgradeJob* job, int i, const char* extension, char* out);
// The journal's path for the job's target; 0 when it does not fit.
int JournalPath(UpgradeJob* job, char* out);

// A file the commit could not replace or delete, and why in plain words.
struct CommitFailure {
    std::string name;
    std::string reason;
};

enum CommitResult {
    CommitDone,          // every pending entry is in place; backups, journal and scratch removed
    CommitRolledBack,    // a step failed and every step was undone: the old release stands
    CommitNotRecorded,   // the journal could not be written or made safe: nothing was changed
    CommitInterrupted    // a step failed and the undo could not finish: the journal is kept
};
// The commit of every pending entry, each file moved to its backup and the new one moved into
// place in table order under the journal. Failed steps are collected in failures (all of them:
// the remaining steps are still tried, so the person learns every file in the way).
CommitResult CommitEntries(ApplySession* host, std::vector<CommitFailure>* failures);

enum RecoveryResult {
    RecoveryNone,          // no journal: nothing to recover
    RecoveryCleared,       // a journal of another package (or an unreadable one without any
                           // backup) was undone or dropped: the apply goes on as a fresh one
    RecoveryFinished,      // a journal of this package: its commit is finished, the upgrade applied
    RecoveryRolledBack,    // this package's commit could not be finished and was undone
    RecoveryInterrupted,   // a journal whose steps could not be finished or undone: kept
    RecoveryOrphans        // backups in the scratch folder without a journal that names them
};
// What an earlier, interrupted run left: the same package is finished without questions (its
// rebuilt files verified once more first), another package's commit or an unreadable journal
// is undone. Never deletes a backup that was not put back unless its step is recorded complete.
RecoveryResult RecoverJournal(ApplySession* host, std::vector<CommitFailure>* failures);
// Whether the job's target holds a journal of the job's package.
int JournalBelongsToPackage(UpgradeJob* job);
