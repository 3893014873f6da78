// The text log for support.
#include "joblog.h"
#include <stdio.h>
#include "dostime.h"
#include "os.h"
#include "job.h"
#include "stream.h"
#include "trust.h"

namespace {

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

}   // namespace

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
