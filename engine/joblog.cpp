// The text log for support, and the words for findings, steps and outcomes that logs share.
#include "joblog.h"
#include <stdio.h>
#include "dostime.h"
#include "os.h"
#include "job.h"
#include "stream.h"
#include "trust.h"

namespace {

const char* KindWord(int kind)
{
    switch (kind) {
    case KindAdd: return "add";
    case KindPatch: return "patch";
    case KindDelete: return "delete";
    }
    return "unknown";
}

// The local date and time to the millisecond; UTC where the platform's offset is unknown.
std::string Stamp()
{
    OsFileTime now;
    if (!CurrentTime(&now)) return "----------- --:--:--.---";
    Os().utcToLocal(&now);
    CalendarTime c;
    FileTimeToCalendar(now, &c);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day, c.hour, c.minute,
             c.second, c.millisecond);
    return text;
}

std::string Quoted(const char* text) { return std::string("\"") + text + "\""; }

}  // namespace

FileJobLog::FileJobLog(const char* path)
{
    if (!path || !path[0]) return;
    // Others may read the log while the run goes on; every line goes to the system at once.
    file.reset(new FileStream(WriteAccess | ShareRead, path));
    if (file->HasError()) file.reset();
}

FileJobLog::~FileJobLog() {}

int FileJobLog::IsWriting() const { return file && !file->HasError(); }

void FileJobLog::Line(const std::string& text)
{
    // A write that failed once (a full disk, a removed stick) is not tried again.
    if (!IsWriting()) return;
    std::string line = Stamp() + "  " + text + kLineEnd;
    file->Write(line.data(), (uint32_t)line.size());
}

void FileJobLog::Note(const std::string& text) { Line(text); }

void FileJobLog::Begin(const UpgradeJob* job)
{
    // The folder as the person chose it: without the separator the engine keeps at its end,
    // unless it is a root.
    std::string target = job->targetFolder;
    if (target.size() > 1 && (target.back() == '\\' || target.back() == '/') && target[target.size() - 2] != ':' &&
        target[target.size() - 2] != '/')
        target.pop_back();
    Line("apply: " + Quoted(job->title.c_str()) + ", " + std::to_string(job->EntryCount()) + " files, to " + target);
}

void FileJobLog::Trust(const UpgradeJob*, const TrustReport& report, int allowed)
{
    Line(std::string(allowed ? "seal: " : "seal: refused: ") + TrustText(report));
}

void FileJobLog::Recovery(RecoveryResult result) { Line(std::string("recovery: ") + RecoverySentence(result)); }

void FileJobLog::Finding(int, const FileEntry* entry, const EntryFinding& finding)
{
    FindingWords w = DescribeFinding(finding);
    std::string line = std::string("check ") + KindWord(entry->kind) + " " + entry->name + ": " + w.what;
    if (w.policy) line += std::string(" (policy ") + w.policy + ": " + w.resolution + ")";
    Line(line);
}

void FileJobLog::Answer(const FileEntry* entry, QuestionKind kind, const char* reason, int yes)
{
    std::string line = std::string("question ") + QuestionName(kind);
    if (entry) line += std::string(" about ") + entry->name;
    if (reason && reason[0]) line += ": " + Quoted(reason);
    Line(line + (yes ? ": answered Yes" : ": answered No"));
}

void FileJobLog::Built(const FileEntry* entry, int verified)
{
    Line(std::string("build ") + entry->name + (verified ? ": verified" : ": the rebuilt file is not correct"));
}

void FileJobLog::Step(CommitStepKind kind, const char* name, const char* failure)
{
    std::string line = StepName(kind);
    if (name && name[0]) line += std::string(" ") + name;
    Line(failure ? line + ": FAILED: " + failure : line);
}

void FileJobLog::Commit(CommitResult result, const std::vector<CommitFailure>& failures)
{
    Line(std::string("commit: ") + CommitResultName(result) + ", " + std::to_string(failures.size()) +
         " files in the way");
}

void FileJobLog::Outcome(ApplyOutcome outcome)
{
    Line(std::string("outcome: ") + OutcomeName(outcome) + ": " + OutcomeSentence(outcome));
}

FindingWords DescribeFinding(const EntryFinding& f)
{
    if (f.state == StateUpgraded) return {"already upgraded", "already upgraded", "upgraded", nullptr, "none", 1};
    if (f.line == LineNone) return {"ok", "ok", "ok", nullptr, "apply", 1};
    FindingWords w{"unexpected", "", "unexpected", "", "", 0};
    switch (f.state) {
    case StateMissing: w.what = "missing"; w.finding = "missing"; break;
    case StateModified: w.what = "not the expected version"; w.finding = "modified"; break;
    case StateReadOnly: w.what = "read-only"; w.finding = "readOnly"; break;
    case StateDateDiffers: w.what = "expected contents, other date"; w.finding = "dateDiffers"; break;
    case StateAlreadyExists: w.what = "exists already"; w.finding = "exists"; break;
    case StateTooLong: w.what = "path too long for this folder"; w.finding = "tooLong"; break;
    default: break;
    }
    // Soft findings let the file through under Ignore; hard ones skip it.
    if (f.policy == PolicyIgnore) {
        w.text = w.what + (f.soft ? " (accepted)" : " (would be skipped)");
        w.policy = "ignore";
        w.resolution = f.soft ? "apply" : "skip";
        w.clean = f.soft;
        return w;
    }
    int ask = f.policy == PolicyAsk;
    w.policy = ask ? "ask" : "abort";
    w.resolution = ask ? "ask" : "stop";
    w.text = w.what + (ask ? " (the upgrade would ask)" : " (the upgrade would stop)");
    return w;
}

const char* OutcomeName(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyApplied: return "applied";
    case ApplyNotStarted: return "notStarted";
    case ApplyCancelled: return "cancelled";
    case ApplyDeclined: return "declined";
    case ApplyStopped: return "stopped";
    case ApplyNotReplaced: return "notReplaced";
    case ApplyRefused: return "refused";
    case ApplyUpToDate: return "upToDate";
    case ApplyInterrupted: return "interrupted";
    case ApplyInUse: return "inUse";
    case ApplyNoAccess: return "noAccess";
    }
    return "unknown";
}

const char* OutcomeSentence(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyApplied: return "every listed file is in its new state";
    case ApplyNotStarted: return "the upgrade could not start; nothing was changed";
    case ApplyCancelled: return "cancelled by the person; nothing was changed";
    case ApplyDeclined: return "a question was answered No; nothing was changed";
    case ApplyStopped: return "a file's policy stopped the upgrade; nothing was changed";
    case ApplyNotReplaced: return "files could not be replaced; every step was undone, nothing was changed";
    case ApplyRefused: return "the package was refused; nothing was changed";
    case ApplyUpToDate: return "every file was in its new state already; nothing was changed";
    case ApplyInterrupted: return "the commit could neither finish nor be undone; its journal is kept for the next run";
    case ApplyInUse: return "files were in use by other programs; nothing was changed";
    case ApplyNoAccess: return "the user may not change the installation; nothing was changed";
    }
    return "unknown";
}

const char* CommitResultName(CommitResult result)
{
    switch (result) {
    case CommitDone: return "done";
    case CommitRolledBack: return "rolledBack";
    case CommitNotRecorded: return "notRecorded";
    case CommitInterrupted: return "interrupted";
    }
    return "unknown";
}

const char* RecoveryName(RecoveryResult result)
{
    switch (result) {
    case RecoveryNone: return "none";
    case RecoveryCleared: return "cleared";
    case RecoveryFinished: return "finished";
    case RecoveryRolledBack: return "rolledBack";
    case RecoveryInterrupted: return "interrupted";
    case RecoveryOrphans: return "orphans";
    }
    return "unknown";
}

const char* RecoverySentence(RecoveryResult result)
{
    switch (result) {
    case RecoveryNone: return "no journal of an earlier run";
    case RecoveryCleared: return "the journal of another package, or an unreadable one, was undone or dropped";
    case RecoveryFinished: return "the interrupted commit of this package was finished";
    case RecoveryRolledBack: return "the interrupted commit of this package could not be finished and was undone";
    case RecoveryInterrupted: return "the interrupted commit could neither be finished nor undone; its journal is kept";
    case RecoveryOrphans: return "backups of an earlier run without a journal that names them; nothing was touched";
    }
    return "unknown";
}

const char* StepName(CommitStepKind kind)
{
    switch (kind) {
    case StepJournal: return "journal";
    case StepBackup: return "backup";
    case StepReplace: return "replace";
    case StepDelete: return "delete";
    case StepUndo: return "undo";
    case StepFinish: return "finish";
    }
    return "unknown";
}

const char* QuestionName(QuestionKind kind)
{
    switch (kind) {
    case QuestionContinue: return "continue";
    case QuestionKnowMore: return "knowMore";
    case QuestionCancel: return "cancel";
    }
    return "unknown";
}
