// The words that the console, the logs and the Windows program share for what the engine
// reports: findings, outcomes, commit steps, recoveries and questions.
#pragma once
#include <string>
#include "apply.h"
#include "commit.h"
#include "entrywords.h"

// The first line of every refusal of a package or wording that cannot be used.
extern const char kSetupRefused[];   // "Missing or invalid setup data."

// The file operations of a commit, of its undo and of a recovery, as logs name them.
enum CommitStepKind {
    StepJournal,   // the journal written and made safe before the first change
    StepBackup,    // an installed file moved to its backup
    StepReplace,   // a rebuilt file moved into its place (an added file too)
    StepDelete,    // a file to delete moved to its backup
    StepUndo,      // a step taken back: the installed file as it was before the commit
    StepFinish     // every step recorded complete: backups and journal removed
};

// What the person was asked: to continue despite a finding or a wrong rebuilt file, whether to
// be told more before the upgrade stops, or to confirm a cancel.
enum QuestionKind { QuestionContinue, QuestionKnowMore, QuestionCancel };

// One finding in words: what was found, the verify command's line, and the names a script reads.
struct FindingWords {
    std::string what;         // "ok", "missing", "not the expected version", ...
    std::string text;         // what, with what the upgrade makes of it: "missing (would be skipped)"
    const char* finding;      // ok, upgraded, missing, modified, readOnly, dateDiffers, exists, tooLong
    const char* policy;       // ignore, ask, abort: the policy that decides it; null for a clean entry
    const char* resolution;   // apply, none (already upgraded), skip, ask, stop
    int clean;                // the entry goes through without a question
};
FindingWords DescribeFinding(const EntryFinding& f);

// Names a script reads (camel case), and the sentence a person reads in a log.
const char* OutcomeName(ApplyOutcome outcome);
const char* OutcomeSentence(ApplyOutcome outcome);
// The sentence that ends an apply on the terminal.
const char* OutcomeLine(ApplyOutcome outcome);
const char* CommitResultName(CommitResult result);
const char* RecoveryName(RecoveryResult result);
const char* RecoverySentence(RecoveryResult result);
const char* StepName(CommitStepKind kind);
const char* QuestionName(QuestionKind kind);
