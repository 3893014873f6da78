// upg apply --json: the apply's events gathered into one JSON document, and a log that feeds two.
#pragma once
#include <stdio.h>
#include <string>
#include <vector>
#include "joblog.h"

// Gathers what the engine reports; Print writes the document once the apply has ended.
class JsonApplyLog : public JobLog {
public:
    JsonApplyLog(const std::string& package, const std::string& target) : package(package), target(target) {}
    void Trust(const UpgradeJob* job, const TrustReport& report, int allowed) override;
    void Recovery(RecoveryResult result) override;
    void Finding(int index, const FileEntry* entry, const EntryFinding& finding) override;
    void Answer(const FileEntry* entry, QuestionKind kind, const char* reason, int yes) override;
    void Built(const FileEntry* entry, int verified) override;
    void Step(CommitStepKind kind, const char* name, const char* failure) override;
    void Commit(CommitResult result, const std::vector<CommitFailure>& failures) override;

    void Print(FILE* out, ApplyOutcome outcome, int exitCode) const;

private:
    struct Entry {
        const FileEntry* entry;
        std::string json;   // the finding's fields, without the braces
        int built;          // -1 not built, 0 wrong, 1 verified
    };
    std::string package, target;
    std::string seal = "null";
    const char* recovery = "none";
    std::vector<Entry> entries;
    std::vector<std::string> answers, steps;
    std::string commit = "null";
};

// Passes every event to both logs.
class TeeLog : public JobLog {
public:
    TeeLog(JobLog* a, JobLog* b) : a(a), b(b) {}
    void Note(const std::string& text) override
    {
        a->Note(text);
        b->Note(text);
    }
    void Begin(const UpgradeJob* job) override
    {
        a->Begin(job);
        b->Begin(job);
    }
    void Trust(const UpgradeJob* job, const TrustReport& report, int allowed) override
    {
        a->Trust(job, report, allowed);
        b->Trust(job, report, allowed);
    }
    void Recovery(RecoveryResult result) override
    {
        a->Recovery(result);
        b->Recovery(result);
    }
    void Finding(int index, const FileEntry* entry, const EntryFinding& finding) override
    {
        a->Finding(index, entry, finding);
        b->Finding(index, entry, finding);
    }
    void Answer(const FileEntry* entry, QuestionKind kind, const char* reason, int yes) override
    {
        a->Answer(entry, kind, reason, yes);
        b->Answer(entry, kind, reason, yes);
    }
    void Built(const FileEntry* entry, int verified) override
    {
        a->Built(entry, verified);
        b->Built(entry, verified);
    }
    void Step(CommitStepKind kind, const char* name, const char* failure) override
    {
        a->Step(kind, name, failure);
        b->Step(kind, name, failure);
    }
    void Commit(CommitResult result, const std::vector<CommitFailure>& failures) override
    {
        a->Commit(result, failures);
        b->Commit(result, failures);
    }
    void Outcome(ApplyOutcome outcome) override
    {
        a->Outcome(outcome);
        b->Outcome(outcome);
    }

private:
    JobLog* a;
    JobLog* b;
};
