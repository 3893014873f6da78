// The apply's record: one sink the engine reports every event to, and a timestamped text file
// for support.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include "apply.h"
#include "commit.h"
#include "words.h"

class FileStream;
struct FileEntry;
struct TrustReport;
struct UpgradeJob;

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
