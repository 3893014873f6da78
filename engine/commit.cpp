// The journalled commit and the recovery of one that a kill, a crash or a failed undo left.
//
// Every step is a rename, so after any interruption each step is in one of a few states that
// the files themselves show: not begun (the installed file and the rebuilt .TMP in place),
// backed up (the installed file moved to its .OLD backup), done (the .TMP moved into place).
// Finishing and undoing both start from what the files show, so a run killed while finishing
// or undoing is finished or undone by the next one just the same. The journal adds what the
// files cannot show: which package the commit belongs to, which names and which steps there
// are, and when every step has completed, so that the backups may go.
#include "commit.h"
#include <memory>
#include <set>
#include <stdio.h>
#include <string.h>
#include "apply.h"
#include "files.h"
#include "fingerprint.h"
#include "job.h"
#include "joblog.h"
#include "journal.h"
#include "seal.h"
#include "stream.h"
#include "trust.h"
#include "session.h"
#include "uitext.h"

const char kFinishedBackup[] = "DEL";

namespace {

// Up to this many rebuilt files are forced onto the disk one by one: flushing the whole volume
// costs a wait for every other program's pending writes, which a few files do not repay.
const size_t kFlushedOneByOne = 64;

const char kReasonReadOnly[] = "it is read-only";
const char kReasonInUse[] = "it is in use by another program, or access to it is denied";
const char kReasonFolder[] = "its folder could not be created";
const char kReasonPlace[] = "the new version could not be moved into its place";
const char kReasonChanged[] = "another program changed it while the upgrade ran";
const char kReasonRecord[] = "the upgrade could not record its progress on the disk";
const char kReasonUndo[] = "the previous version could not be put back";
const char kReasonBackupKept[] = "a backup could not be removed: the journal is kept to remove it next time";

// The three names of a step: the installed file, its rebuilt .TMP and its .OLD backup.
struct StepPaths {
    char installed[kPathMax];
    char temp[kPathMax];
    char backup[kPathMax];
};

int PathsOf(UpgradeJob* job, const JournalStep& s, StepPaths* p)
{
    return JoinPath(p->installed, job->targetFolder, s.name.c_str()) && ScratchFile(job, s.entry, "TMP", p->temp) &&
        ScratchFile(job, s.entry, "OLD", p->backup);
}

size_t TargetLength(UpgradeJob* job) { return strlen(job->targetFolder); }

// Creates the folders on the way to an added file, below the target folder only: the target
// exists (the scratch folder was made in it), and nothing above it is ours to create.
void MakeFoldersOnTheWay(char* path, size_t from)
{
    size_t n = strlen(path);
    for (size_t k = from; k < n; k++) {
        if (path[k] != '\\' && path[k] != '/') continue;
        char c = path[k];
        path[k] = 0;
        MakeFolder(path);
        path[k] = c;
    }
}

int ParentExists(const char* path)
{
    char parent[kPathMax];
    strcpy(parent, path);
    char* back = strrchr(parent, '\\');
    char* slash = strrchr(parent, '/');
    char* cut = back > slash ? back : slash;
    if (!cut) return 1;
    *cut = 0;
    return IsDirectory(parent);
}

// The folder of path whose name ends before the separator at cut; a root ("/", "C:\\")
// keeps its separator, since without it it names another folder or none.
std::string FolderBefore(const char* path, size_t cut)
{
    int root = cut == 0 || (cut == 2 && path[1] == ':');
    return std::string(path, root ? cut + 1 : cut);
}

// Makes the names in the folder that holds path durable.
int FlushParentFolder(const char* path)
{
    const char* back = strrchr(path, '\\');
    const char* slash = strrchr(path, '/');
    const char* cut = back > slash ? back : slash;
    return cut && FlushFolderToDisk(FolderBefore(path, (size_t)(cut - path)).c_str());
}

// Folders on the way to path, below the target, that do not exist yet.
int CountNewFolders(const char* path, size_t from)
{
    char walk[kPathMax];
    strcpy(walk, path);
    size_t n = strlen(walk);
    int missing = 0;
    for (size_t k = from; k < n; k++) {
        if (walk[k] != '\\' && walk[k] != '/') continue;
        char c = walk[k];
        walk[k] = 0;
        if (missing || !IsDirectory(walk)) missing++;
        walk[k] = c;
    }
    return missing > 120 ? 120 : missing;
}

// Removes up to count folders on the way to path, innermost first, while they are empty, and
// never the target or anything above it.
void RemoveFoldersUpward(const char* path, size_t targetLength, int count)
{
    char walk[kPathMax];
    strcpy(walk, path);
    for (int k = 0; k < count; k++) {
        char* back = strrchr(walk, '\\');
        char* slash = strrchr(walk, '/');
        char* cut = back > slash ? back : slash;
        if (!cut || (size_t)(cut - walk) <= targetLength) return;
        *cut = 0;
        // One that is not there (a crash lost its creation) is passed; one that holds files stops.
        if (!RemoveFolder(walk) && IsDirectory(walk)) return;
    }
}

// Whether a file holds the given print's contents; its date-time is left out, since a time zone
// that changed between two runs reads the same stamp as another local time.
int HoldsContents(const char* path, const FileFingerprint& print)
{
    FileFingerprint now;
    return ComputeFingerprint(path, &now) && now.size == print.size && now.checksum == print.checksum;
}

// Whether the installed file is the step's new version (its contents, and its sealed digest
// where the package has one): a step whose rebuilt file and backup are both gone is done only
// then.
int NewVersionAt(UpgradeJob* job, const JournalStep& s, const char* path)
{
    FileFingerprint now;
    uint8_t digest[kDigestSize];
    const uint8_t* want = job->seal && s.entry < job->header.entryCount ? job->seal->NewDigest(s.entry) : nullptr;
    return ComputeFingerprint(path, &now, nullptr, want ? digest : nullptr) && now.size == s.newPrint.size &&
        now.checksum == s.newPrint.checksum && (!want || memcmp(digest, want, kDigestSize) == 0);
}

// Takes a step forward from wherever the files show it stands, logging each rename tried;
// reason set on failure. A step goes in two phases, each run over every step before the next
// begins, with the folders flushed between: first the installed file moves to its backup (all
// of a Delete), then the rebuilt file moves into place. So no file system that writes folder
// changes out of order can keep a replacement whose backup it lost.
int Forward(JobLog& log, UpgradeJob* job, const JournalStep& s, int replace, const char** reason)
{
    const char* name = s.name.c_str();
    auto fail = [&](CommitStepKind kind, const char* why) {
        *reason = why;
        log.Step(kind, name, why);
        return 0;
    };
    auto done = [&](CommitStepKind kind) {
        log.Step(kind, name, nullptr);
        return 1;
    };
    StepPaths p;
    if (!PathsOf(job, s, &p)) return fail(s.kind == KindDelete ? StepDelete : StepReplace, kReasonPlace);
    int b = FileExists(p.backup), t = FileExists(p.temp), i = FileExists(p.installed);
    if (s.kind == KindDelete) {
        if (replace || !i) return 1;   // gone already: moved to its backup, or by someone else
        if (b) return fail(StepDelete, kReasonChanged);
        if (MoveFileOverPatiently(p.installed, p.backup)) return done(StepDelete);
        return fail(StepDelete, IsReadOnly(p.installed) ? kReasonReadOnly : kReasonInUse);
    }
    if (!replace) {
        // The folders on the way to an added file are made here, so that the flush between
        // the phases has them on the disk before a file is moved into them.
        if (s.kind == KindAdd && t && !i) MakeFoldersOnTheWay(p.installed, TargetLength(job));
        // Only a file that existed is backed up; without the rebuilt file the step is done
        // already, or the second phase tells why not.
        if (!s.hadFile || !t || !i) return 1;
        if (b) return fail(StepBackup, kReasonChanged);
        if (!MoveFileOverPatiently(p.installed, p.backup))
            return fail(StepBackup, IsReadOnly(p.installed) ? kReasonReadOnly : kReasonInUse);
        return done(StepBackup);
    }
    if (!t) {
        // Done already, or the rebuilt file is gone: then nothing can bring the step forward.
        if (i && (s.hadFile ? b : !b)) return 1;
        // The new version in place without its backup: a crash kept the replacement and lost
        // the backup's rename. Nothing can put the old one back; the step is done.
        if (i && s.hadFile && NewVersionAt(job, s, p.installed)) return 1;
        return fail(StepReplace, kReasonChanged);
    }
    // A file in place is one not backed up, or one that appeared where the package adds one
    // after the commit began: not ours to replace. A backup gone is a file someone took.
    if (i || (s.hadFile && !b)) return fail(StepReplace, kReasonChanged);
    if (s.kind == KindAdd) MakeFoldersOnTheWay(p.installed, TargetLength(job));
    if (MoveFileOverPatiently(p.temp, p.installed)) return done(StepReplace);
    return fail(StepReplace, ParentExists(p.installed) ? kReasonPlace : kReasonFolder);
}

int Undone(JobLog& log, const JournalStep& s, int ok)
{
    log.Step(StepUndo, s.name.c_str(), ok ? nullptr : kReasonUndo);
    return ok;
}

// Takes a step back to not begun: the new file back to its .TMP name, the backup back into
// place. A backup is only ever moved back, never deleted; a state the files cannot explain is
// left alone and reported. Each step that moves a file is logged.
int Backward(JobLog& log, UpgradeJob* job, const JournalStep& s)
{
    StepPaths p;
    if (!PathsOf(job, s, &p)) return Undone(log, s, 0);
    int b = FileExists(p.backup), t = FileExists(p.temp), i = FileExists(p.installed);
    if (s.kind == KindDelete) {
        if (!b) return 1;
        return Undone(log, s, !i && MoveFileOverPatiently(p.backup, p.installed));
    }
    if (s.hadFile) {
        // Without a backup the step has not begun, unless the new version stands in place
        // without its rebuilt file: then the old one is lost, and the undo cannot finish.
        if (!b) return !i || t || !NewVersionAt(job, s, p.installed) ? 1 : Undone(log, s, 0);
        if (i && (t || !MoveFileOverPatiently(p.installed, p.temp))) return Undone(log, s, 0);
        return Undone(log, s, MoveFileOverPatiently(p.backup, p.installed));
    }
    // An added file is ours only when it is the new version; the folders made for it go with it.
    if (i && !t && HoldsContents(p.installed, s.newPrint) &&
        !Undone(log, s, MoveFileOverPatiently(p.installed, p.temp)))
        return 0;
    RemoveFoldersUpward(p.installed, TargetLength(job), s.newFolders);
    return 1;
}

void ShowStep(ApplySession* host, const JournalStep& s, const char* description)
{
    host->ui->SetItemText(host->view, IDC_PROGRESS_FILE, s.name.c_str());
    host->ui->SetItemText(host->view, IDC_PROGRESS_DESCRIPTION, description);
    host->ui->Repaint(host->view);
}

const char* DescriptionOf(UpgradeJob* job, const JournalStep& s)
{
    if (s.entry < job->header.entryCount && job->Entry(s.entry) && s.name == job->Entry(s.entry)->name)
        return job->Entry(s.entry)->description;
    return "";
}

// Undoes every step, last first, going on past a step that cannot be undone so that as much
// as possible is put back. 1 when every step is back to not begun.
int RollBack(ApplySession* host, Journal* j)
{
    int all = 1;
    for (size_t k = j->steps.size(); k-- > 0;) {
        ShowStep(host, j->steps[k], DescriptionOf(host->job, j->steps[k]));
        if (!Backward(host->Log(), host->job, j->steps[k])) all = 0;
    }
    return all;
}

// Makes every change of the commit durable where the file system does not order its folder
// updates itself: the target, the scratch folder, and every folder from the target down to
// each changed file, so that folders made on the way and folders removed are covered too.
// Folders that are gone (removed with their last file) are passed over.
int FlushFolders(UpgradeJob* job, const Journal& j)
{
    std::set<std::string> folders;
    char path[kPathMax];
    size_t target = TargetLength(job);
    auto addFoldersOf = [&](const char* name) {
        if (!JoinPath(path, job->targetFolder, name)) return;
        for (size_t k = strlen(path); k-- > 0;) {
            if (path[k] != '\\' && path[k] != '/') continue;
            folders.insert(FolderBefore(path, k));
            if (k < target) break;
        }
    };
    if (JoinPath(path, job->targetFolder, kScratchName)) folders.insert(path);
    addFoldersOf(kScratchName);
    for (const JournalStep& s : j.steps) addFoldersOf(s.name.c_str());
    int ok = 1;
    for (const std::string& f : folders)
        if (IsDirectory(f.c_str()) && !FlushFolderToDisk(f.c_str())) ok = 0;
    return ok;
}

// After a complete undo: the journal and everything in the scratch folder go, once the undo's
// renames are on the disk (a journal gone while they are not would leave backups no record
// names). A flush that fails keeps the journal, for the next run to drop.
void DropJournal(UpgradeJob* job, Journal* j)
{
    j->Close();
    if (FlushFolders(job, *j)) RemoveFile(j->path);
    CleanScratchFolder(job);
}

// After every step is recorded complete: the backups go, then each folder that only the
// deleted files kept alive; once those removals are on the disk, the journal, and last the
// scratch folder. A backup that cannot be removed (a program still runs from it, a scanner
// holds it) takes a finished backup's name, which any later run removes first; one that
// cannot even be renamed keeps the journal, so that the next run removes it instead of
// finding it unnamed.
void Finish(ApplySession* host, Journal* j)
{
    UpgradeJob* job = host->job;
    j->Close();
    StepPaths p;
    char finished[kPathMax];
    int kept = 0;
    for (const JournalStep& s : j->steps)
        if (s.recorded && PathsOf(job, s, &p) && FileExists(p.backup) && !RemoveFilePatiently(p.backup) &&
            !(ScratchFile(job, s.entry, kFinishedBackup, finished) && MoveFileOverPatiently(p.backup, finished)))
            kept = 1;
    for (const JournalStep& s : j->steps)
        if (s.kind == KindDelete && PathsOf(job, s, &p) && !FileExists(p.installed))
            RemoveFoldersUpward(p.installed, TargetLength(job), kNameSize);
    const char* why = kept ? kReasonBackupKept : nullptr;
    if (!kept && !FlushFolders(job, *j)) {
        kept = 1;
        why = kReasonRecord;
    }
    if (!kept) RemoveFile(j->path);
    CleanScratchFolder(job);
    host->Log().Step(StepFinish, nullptr, why);
}

// Runs every step forward, recording each; failures are collected, every step is tried.
// Every backup is taken and flushed before the first replacement, and every replacement
// flushed before the completion is recorded. 1 when all steps completed and were recorded,
// and the completion is recorded too.
int RunForward(ApplySession* host, Journal* j, std::vector<CommitFailure>* failures)
{
    UpgradeJob* job = host->job;
    int ok = 1;
    for (int replace = 0; replace < 2; replace++) {
        if (replace && !FlushFolders(job, *j)) {
            host->Log().Step(StepJournal, nullptr, kReasonRecord);
            failures->push_back(CommitFailure{"", kReasonRecord});
            return 0;
        }
        for (size_t k = 0; k < j->steps.size(); k++) {
            JournalStep& s = j->steps[k];
            ShowStep(host, s, DescriptionOf(job, s));
            const char* reason = kReasonPlace;
            if (!Forward(host->Log(), job, s, replace, &reason)) {
                failures->push_back(CommitFailure{s.name, reason});
                ok = 0;
                continue;
            }
            if (!replace) continue;
            if (!AppendRecord(j, kRecordStep, (uint32_t)k)) {
                host->Log().Step(StepJournal, s.name.c_str(), kReasonRecord);
                failures->push_back(CommitFailure{s.name, kReasonRecord});
                return 0;
            }
            s.recorded = 1;
        }
        if (!ok) return 0;
    }
    if (!FlushFolders(job, *j) || !AppendRecord(j, kRecordComplete, (uint32_t)j->steps.size())) {
        host->Log().Step(StepJournal, nullptr, kReasonRecord);
        failures->push_back(CommitFailure{"", kReasonRecord});
        return 0;
    }
    j->complete = 1;
    return 1;
}

void ShowReplacing(ApplySession* host)
{
    host->ui->SetItemText(host->view, IDC_PROGRESS_OPERATION, UiLine(host, LineReplacing));
    host->ui->SetItemText(host->view, IDC_PROGRESS_BAR, " ");
    host->ui->SetItemText(host->view, IDC_PROGRESS_CANCEL, "----");
    host->ui->Repaint(host->view);
}

struct BackupSearch {
    int found = 0;
    static void Add(void* context, const char* name)
    {
        size_t n = strlen(name);
        if (n > 4 && SameNameIgnoringCase(name + n - 4, ".OLD")) static_cast<BackupSearch*>(context)->found++;
    }
};

int ScratchHoldsBackups(UpgradeJob* job)
{
    char scratch[kPathMax];
    if (!JoinPath(scratch, job->targetFolder, kScratchName)) return 0;
    BackupSearch search;
    ListFiles(scratch, &BackupSearch::Add, &search);
    return search.found;
}

// Whether the rebuilt file of every step still to be taken is whole: the same fingerprint,
// date-time included, and the sealed digest where the seal holds one per file, as when it was
// verified before the commit began.
int RebuiltFilesIntact(UpgradeJob* job, const Journal& j)
{
    for (const JournalStep& s : j.steps) {
        if (s.entry >= job->header.entryCount || !job->Entry(s.entry)) return 0;
        FileEntry* e = job->Entry(s.entry);
        if (s.name != e->name || s.kind != e->kind) return 0;
        if (s.kind == KindDelete) continue;
        StepPaths p;
        if (!PathsOf(job, s, &p)) return 0;
        if (!FileExists(p.temp)) continue;   // moved into place already, or Forward will tell
        FileFingerprint print;
        uint8_t digest[kDigestSize];
        const uint8_t* want = job->seal ? job->seal->NewDigest(s.entry) : nullptr;
        if (!ComputeFingerprint(p.temp, &print, nullptr, want ? digest : nullptr)) return 0;
        if (print.dateTime != e->newPrint.dateTime || print.size != e->newPrint.size ||
            print.checksum != e->newPrint.checksum)
            return 0;
        if (want && memcmp(digest, want, kDigestSize) != 0) return 0;
    }
    return 1;
}

}   // namespace

int ScratchFile(UpgradeJob* job, int i, const char* extension, char* out)
{
    int n = snprintf(out, kPathMax, "%s%s\\N%05d.%s", job->targetFolder, kScratchName, i, extension);
    if (n < 0 || (size_t)n >= kPathMax) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

int JournalPath(UpgradeJob* job, char* out)
{
    int n = snprintf(out, kPathMax, "%s%s\\%s", job->targetFolder, kScratchName, kJournalName);
    if (n < 0 || (size_t)n >= kPathMax) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

int IdentifyPackage(UpgradeJob* job, PackageIdentity* id)
{
    memset(id, 0, sizeof *id);
    Stream* s = job->stream.get();
    // The seal check walks the scripts from where the stream stands, the first of them: it
    // runs (or its kept answer is taken) before the stream is moved.
    SealRead seal = CheckSeal(job);
    int hadError = s->HasError();
    uint32_t back = s->Tell();
    s->Reset();
    uint32_t size = s->Size();
    int ok = !s->HasError();
    id->size = size;
    // The seal check has hashed the package once already (and caches its answer), so a sealed
    // package is not read and hashed a second time.
    if (ok && seal == SealIntact && job->seal) {
        memcpy(id->digest, job->seal->sealDigest, kDigestSize);
        id->hasDigest = 1;
        s->Reset();
        s->Seek(back);
        if (hadError) s->SetError();
        return 1;
    }
    int hashed = 0;
    ok = ok && HashPrefix(s, size, id->digest, &hashed);
    id->hasDigest = ok && hashed;
    s->Reset();
    s->Seek(back);
    if (hadError) s->SetError();
    return ok;
}

CommitResult CommitEntries(ApplySession* host, std::vector<CommitFailure>* failures)
{
    UpgradeJob* job = host->job;
    ShowReplacing(host);

    Journal j;
    j.target = job->targetFolder;
    int count = job->header.entryCount > 0 ? job->header.entryCount : 0;
    for (int i = 0; i < count; i++) {
        FileEntry* e = job->Entry(i);
        if (e->state != StatePending) continue;
        JournalStep s;
        s.entry = i;
        s.kind = e->kind == KindDelete ? KindDelete : e->kind == KindAdd ? KindAdd : KindPatch;
        s.name = e->name;
        StepPaths p;
        // The pre-check turned every name that does not fit into a finding.
        if (!PathsOf(job, s, &p)) continue;
        s.hadFile = FileExists(p.installed);
        if (s.kind == KindDelete && !s.hadFile) continue;   // gone already
        if (s.kind != KindDelete) {
            s.newPrint = e->newPrint;
            if (s.kind == KindAdd) s.newFolders = CountNewFolders(p.installed, TargetLength(job));
        }
        j.steps.push_back(s);
    }
    if (j.steps.empty()) {
        CleanScratchFolder(job);
        return CommitDone;
    }

    // The rebuilt files reach the disk before the journal that promises them, and the
    // journal before the first change to the installation.
    char path[kPathMax], scratch[kPathMax];
    int recorded = JournalPath(job, path) && IdentifyPackage(job, &j.package) &&
        JoinPath(scratch, job->targetFolder, kScratchName);
    StepPaths p;
    size_t rebuilt = 0;
    for (const JournalStep& s : j.steps) rebuilt += s.kind != KindDelete;
    if (recorded && (rebuilt <= kFlushedOneByOne || !FlushVolumeToDisk(scratch)))
        for (const JournalStep& s : j.steps)
            if (recorded && s.kind != KindDelete && PathsOf(job, s, &p) && !FlushFileToDisk(p.temp)) recorded = 0;
    // The scratch folder's own name, made by the build, reaches the disk with it.
    recorded = recorded && WriteJournal(path, &j) && FlushFolderToDisk(scratch) && FlushParentFolder(scratch);
    host->Log().Step(StepJournal, nullptr, recorded ? nullptr : kReasonRecord);
    if (!recorded) {
        j.Close();
        if (path[0]) RemoveFile(path);
        CleanScratchFolder(job);
        return CommitNotRecorded;
    }

    if (RunForward(host, &j, failures)) {
        Finish(host, &j);
        return CommitDone;
    }
    if (RollBack(host, &j)) {
        DropJournal(job, &j);
        return CommitRolledBack;
    }
    j.Close();
    return CommitInterrupted;
}

RecoveryResult RecoverJournal(ApplySession* host, std::vector<CommitFailure>* failures)
{
    UpgradeJob* job = host->job;
    char path[kPathMax];
    if (!JournalPath(job, path) || !FileExists(path)) {
        // Without a journal, whatever the scratch folder holds but backups is stale: the
        // finished backups that an earlier run could not remove go first.
        char scratch[kPathMax];
        if (JoinPath(scratch, job->targetFolder, kScratchName) && IsDirectory(scratch)) CleanScratchFolder(job);
        return ScratchHoldsBackups(job) ? RecoveryOrphans : RecoveryNone;
    }

    ShowReplacing(host);
    host->Log().Note("an earlier run left a journal: its commit is finished or undone first");
    Journal j;
    if (!ReadJournal(path, &j)) {
        // Backups are made only after a whole journal is on the disk: without one that can be
        // read, backups here belong to no record, and they stay where they are.
        if (ScratchHoldsBackups(job)) return RecoveryOrphans;
        DropJournal(job, &j);
        return RecoveryCleared;
    }
    PackageIdentity now;
    int same = IdentifyPackage(job, &now) && now.hasDigest && j.package.hasDigest && now.size == j.package.size &&
        memcmp(now.digest, j.package.digest, kDigestSize) == 0;
    if (j.complete) {
        Finish(host, &j);
        return same ? RecoveryFinished : RecoveryCleared;
    }
    if (same && RebuiltFilesIntact(job, j)) {
        if (RunForward(host, &j, failures)) {
            Finish(host, &j);
            return RecoveryFinished;
        }
        if (!RollBack(host, &j)) {
            j.Close();
            return RecoveryInterrupted;
        }
        DropJournal(job, &j);
        return RecoveryRolledBack;
    }
    if (!RollBack(host, &j)) {
        j.Close();
        return RecoveryInterrupted;
    }
    DropJournal(job, &j);
    return RecoveryCleared;
}

int JournalBelongsToPackage(UpgradeJob* job)
{
    char path[kPathMax];
    if (!JournalPath(job, path) || !FileExists(path)) return 0;
    Journal j;
    if (!ReadJournal(path, &j)) return 0;
    j.Close();
    PackageIdentity now;
    return IdentifyPackage(job, &now) && now.hasDigest && j.package.hasDigest && now.size == j.package.size &&
        memcmp(now.digest, j.package.digest, kDigestSize) == 0;
}
