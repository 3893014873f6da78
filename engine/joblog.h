// The apply's record: one sink the engine reports every event to, a timestamped text file for
// support, and the words that logs, reports and the console share for findings and outcomes.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include "apply.h"
#include "commit.h"

class FileStream;
struct FileEntry;
struct TrustReport;
struct UpgradeJob;

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

// Events of one run, in the order they happen. Every method does nothing unless a log
// overrides it; a log must never stop or slow the apply, so none returns anything.
class JobLog {
public:
    virtual ~JobLog() {}
    // Anything else worth a line: the program's start, the search, a refusal, a journal found.
    virtual void Note(const std::string&) {}
    // The apply starts on the job's package and target.
    virtual void Begin(const UpgradeJob*) {}
    // The seal and the pin were weighed: allowed, or the package is refused.
    virtual void Trust(const UpgradeJob*, const TrustReport&, int) {}
    // A journal of an earlier run was found and dealt with (never RecoveryNone).
    virtual void Recovery(RecoveryResult) {}
    // The pre-check's finding for the entry at index.
    virtual void Finding(int, const FileEntry*, const EntryFinding&) {}
    // A question and its answer; entry is null for the cancel confirmation, reason the
    // wording's sentence that said why it was asked ("" for a cancel).
    virtual void Answer(const FileEntry*, QuestionKind, const char*, int) {}
    // A rebuilt file verified against its new fingerprint, or not.
    virtual void Built(const FileEntry*, int) {}
    // One file operation; failure null when it succeeded, else why it did not.
    virtual void Step(CommitStepKind, const char*, const char*) {}
    // What the commit came to, with every file in the way.
    virtual void Commit(CommitResult, const std::vector<CommitFailure>&) {}
    virtual void Outcome(ApplyOutcome) {}
};

// A log in a plain-text file, replaced when it is opened, each line led by the local date and
// time to the millisecond. A file that cannot be created or written is given up silently: the
// apply goes on without it. Only names, paths and sentences are written, never key material.
class FileJobLog : public JobLog {
public:
    explicit FileJobLog(const char* path);
    ~FileJobLog() override;
    // Whether the file is open and every line so far was written.
    int IsWriting() const;

    void Note(const std::string& text) override;
    void Begin(const UpgradeJob* job) override;
    void Trust(const UpgradeJob* job, const TrustReport& report, int allowed) override;
    void Recovery(RecoveryResult result) override;
    void Finding(int index, const FileEntry* entry, const EntryFinding& finding) override;
    void Answer(const FileEntry* entry, QuestionKind kind, const char* reason, int yes) override;
    void Built(const FileEntry* entry, int verified) override;
    void Step(CommitStepKind kind, const char* name, const char* failure) override;
    void Commit(CommitResult result, const std::vector<CommitFailure>& failures) override;
    void Outcome(ApplyOutcome outcome) override;

private:
    FileJobLog(const FileJobLog&) = delete;
    FileJobLog& operator=(const FileJobLog&) = delete;
    void Line(const std::string& text);
    std::unique_ptr<FileStream> file;
};

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

// Names a script reads (camel case), and the sentence a person reads.
const char* OutcomeName(ApplyOutcome outcome);
const char* OutcomeSentence(ApplyOutcome outcome);
const char* CommitResultName(CommitResult result);
const char* RecoveryName(RecoveryResult result);
const char* RecoverySentence(RecoveryResult result);
const char* StepName(CommitStepKind kind);
const char* QuestionName(QuestionKind kind);
