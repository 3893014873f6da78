// The apply procedure: pre-check every listed file, rebuild into the scratch folder, commit.
#include "apply.h"
#include <stdio.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>
#include "commit.h"
#include "crypto.h"
#include "files.h"
#include "fingerprint.h"
#include "joblog.h"
#include "progress.h"
#include "job.h"
#include "script.h"
#include "seal.h"
#include "stream.h"
#include "trust.h"
#include "session.h"
#include "uitext.h"

namespace {

// Built-in wording for the lines older wording files lack.
const char kUnreplacedText[] =
    "The upgrade was not applied, and your installation was left as it was, because these files could not be replaced:";
const char kTooLongText[] = "The path of this file is too long for the chosen folder, so it cannot be written there.";
const char kInUseText[] =
    "These files are in use by another program, so the upgrade cannot replace them now. Close the program and press "
    "Retry, or press Cancel to leave your installation as it is:";
const char kNoAccessText[] =
    "Your user account may not change the files of this installation, so the upgrade cannot be applied. Nothing was "
    "changed.";
const char kRunAsAdminText[] = "Do you want to run the upgrade again with administrator rights?";

// What only this program can say; the wording files have no lines for it.
const char kNoProgressText[] = "The upgrade could not open its progress window. Nothing was changed.";
const char kNotRecordedText[] =
    "The upgrade was not applied, and nothing was changed: it could not write the record of its changes to the disk.";
const char kInterruptedText[] =
    "The upgrade could not finish, and could not put every previous version back. Its record is kept in the "
    "folder __QZUPD_ of the installation: run the upgrade again to finish it.";
const char kOrphansText[] =
    "The upgrade cannot start: the folder __QZUPD_ of the installation holds backup copies from an earlier upgrade "
    "whose record is missing, so they cannot be put back. Nothing was changed.";
const char kUpToDateText[] = "This installation is already up to date. Nothing was changed.";
const char kForeignFilesText[] =
    "The upgrade was not applied, and nothing was changed: files of this installation match the files the upgrade "
    "expects in size and checksum, but not in content. Repair or reinstall the product, then run the upgrade again.";
const char kForeignBuiltText[] =
    "The upgrade was not applied, and nothing was changed: the files it built are not the ones the package was made "
    "to produce. The package or this computer's disk may be damaged.";

// The question about one entry stays far inside this; the bound guards the buffer only.
const size_t kMessageSize = 2048;

// The list of files in one message stays readable however many there are.
const size_t kListedFailures = 20;

// Starts the refusal of a package that fails its seal or its pin; the reason follows.
const char kRefusedText[] = "This upgrade package was not applied, and nothing was changed: ";
// The log's line for a seal whose verdict is left to come beside the build.
const char kSealPendingText[] = "seal: read; its digest over the package is checked while the files are rebuilt";

FileEntry* EntryAt(UpgradeJob* job, int i) { return job->Entry(i); }

// Writes targetFolder + name into out; a path that would not fit leaves out empty and
// reports 0, so it reads as a file that cannot be opened or created.
int EntryPath(UpgradeJob* job, const FileEntry* e, char* out) { return JoinPath(out, job->targetFolder, e->name); }

// The verified, stamped file of position i that the commit moves into place.
int TempName(UpgradeJob* job, int i, char* out) { return ScratchFile(job, i, "TMP", out); }

// Where position i is written and verified before it takes its .TMP name, so that a run
// killed mid-write never leaves a cut-off file under a name the commit would use.
int WorkName(UpgradeJob* job, int i, char* out) { return ScratchFile(job, i, "PRT", out); }

// Whether every name an entry needs, in the target and in the scratch folder, fits a path.
int NamesFit(UpgradeJob* job, int i)
{
    FileEntry* e = EntryAt(job, i);
    char path[kPathMax];
    if (!EntryPath(job, e, path) || !ScratchFile(job, i, "OLD", path)) return 0;
    return e->kind == KindDelete || (TempName(job, i, path) && WorkName(job, i, path));
}

void ShowEntry(ApplySession* host, const FileEntry* e)
{
    host->ui->SetItemText(host->view, IDC_PROGRESS_FILE, e->name);
    host->ui->SetItemText(host->view, IDC_PROGRESS_DESCRIPTION, e->description);
    host->ui->Repaint(host->view);
}

// Policy value 3 reads as Ignore wherever the apply reads a policy.
int EffectivePolicy(uint8_t p) { return p == PolicyAsk || p == PolicyAbort ? (int)p : (int)PolicyIgnore; }

// A finding the soft policy decides: the entry stays pending and goes through under Ignore.
EntryFinding Soft(const FileEntry* e, int state, UiLineId line)
{
    return EntryFinding{state, line, EffectivePolicy(e->softPolicy), 1, StatePending};
}

// A finding the hard policy decides: the entry keeps the state and is skipped under Ignore.
EntryFinding Hard(const FileEntry* e, int state, UiLineId line)
{
    return EntryFinding{state, line, EffectivePolicy(e->hardPolicy), 0, state};
}

// What the pre-check learnt of one entry's installed file.
struct Survey {
    int fits;   // its name and scratch names fit a path
    int exists;
    int computed;   // print (and digest, for a sealed package) were read
    FileFingerprint print;
    uint8_t digest[kDigestSize];
    int foreign;   // a sealed digest over its set says it is not the file its fingerprint claims
    // The contents of a large old file of a patch at its old size are left until the build is
    // done, and read only where the rebuilt files do not all prove to be the publisher's: until
    // then its checksum is taken to be the old file's, and its digest is not known.
    int contentLater;
    int digestFailed;   // it could not be read then: the set's digest does not hold
};

// Old files from this size on have their contents left until the build is done.
const uint32_t kLateContentFrom = 1u << 20;

// The seal the files are read for: the checked seal's version; while the check is still to
// come, the one the package declares (a seal that does not hold refuses the package before any
// finding counts); 0 for none.
int SurveyedSealVersion(UpgradeJob* job)
{
    if (job->seal) return job->seal->version;
    return job->sealState < 0 && job->digestAhead ? job->digestAhead->declaredVersion : 0;
}

// Reads what the tests need of one entry's file; with mayDefer, leaves a large old file's
// contents until the build is done, where nothing before then needs them.
Survey SurveyEntry(UpgradeJob* job, int i, int mayDefer = 0)
{
    FileEntry* e = EntryAt(job, i);
    Survey v;
    memset(&v, 0, sizeof v);
    char path[kPathMax];
    v.fits = EntryPath(job, e, path) && NamesFit(job, i);
    if (!v.fits) return v;
    v.exists = FileExists(path);
    int sealVersion = SurveyedSealVersion(job);
    // Only a file at its old size: one at its new size might be the new file already, and one
    // at neither is modified, which the pre-check tells at once.
    if (mayDefer && v.exists && e->kind == KindPatch && sealVersion == kSealVersion &&
        e->oldPrint.size >= kLateContentFrom && e->oldPrint.size != e->newPrint.size) {
        v.computed = StampOfFile(path, &v.print);
        v.contentLater = v.computed && v.print.size == e->oldPrint.size;
        if (v.contentLater) {
            v.print.checksum = e->oldPrint.checksum;
            return v;
        }
    }
    v.computed = v.exists && ComputeFingerprint(path, &v.print, nullptr, sealVersion ? v.digest : nullptr);
    return v;
}

// Runs the tests for one entry in their order over its survey.
EntryFinding Judge(UpgradeJob* job, int i, const Survey& v)
{
    FileEntry* e = EntryAt(job, i);
    const EntryFinding f = {StatePending, LineNone, PolicyIgnore, 1, StatePending};
    const EntryFinding upgradedAlready = {StateUpgraded, LineNone, PolicyIgnore, 0, StateUpgraded};
    // A name that cannot be written, or whose scratch names cannot, is found now, before
    // anything is built, and never as a failure in the commit.
    if (!v.fits) return Hard(e, StateTooLong, LinePathTooLong);
    char path[kPathMax];
    EntryPath(job, e, path);
    const FileFingerprint& print = v.print;
    int exists = v.exists;
    // A sealed package also knows each file's SHA-256, or one over each set of files: a file
    // that matches its fingerprint but not its digest is another file, as one whose checksum
    // differs is.
    const uint8_t* oldDigest = job->seal ? job->seal->OldDigest(i) : nullptr;
    const uint8_t* newDigest = job->seal ? job->seal->NewDigest(i) : nullptr;
    int oldDigestDiffers = (oldDigest && (!v.computed || memcmp(v.digest, oldDigest, kDigestSize) != 0)) || v.foreign;
    // A rerun after an interrupted or partly failed commit: the file is already the new one.
    // Where the seal holds one digest over all new files, the build's check of it decides.
    int upgraded = v.computed && print == e->newPrint && (!newDigest || memcmp(v.digest, newDigest, kDigestSize) == 0);

    if (e->kind == KindAdd) {
        if (!exists) return f;
        if (upgraded) return upgradedAlready;
        if (IsReadOnly(path)) return Hard(e, StateReadOnly, LineAddReadOnly);
        return Soft(e, StateAlreadyExists, LineAddExists);
    }
    if (e->kind == KindDelete) {
        if (!exists) return Hard(e, StateMissing, LineMissing);
        if (!SameContent(print, e->oldPrint) || oldDigestDiffers) return Soft(e, StateModified, LineDeleteDiffers);
        if (IsReadOnly(path)) return Hard(e, StateReadOnly, LineReadOnly);
        if (print != e->oldPrint) return Soft(e, StateDateDiffers, LineDeleteDiffers);
        return f;
    }
    // Patch, and the undefined kind 3 tested like one.
    if (!exists) return Hard(e, StateMissing, LineMissing);
    if (upgraded) return upgradedAlready;
    if (!SameContent(print, e->oldPrint) || oldDigestDiffers) return Hard(e, StateModified, LinePatchModified);
    if (IsReadOnly(path)) return Hard(e, StateReadOnly, LineReadOnly);
    if (print != e->oldPrint) return Soft(e, StateDateDiffers, LinePatchDateDiffers);
    return f;
}

EntryFinding Examine(UpgradeJob* job, int i) { return Judge(job, i, SurveyEntry(job, i)); }

// What the seal's digest over the old files of a set says of the surveyed files: it counts
// when every file of the set matches its old fingerprint's content. The file that does not hold
// cannot be told from the others unless it is the only one of its set.
SetFinding OldSetFinding(UpgradeJob* job, const std::vector<Survey>& surveys, int set)
{
    int n = job->EntryCount();
    std::vector<const uint8_t*> digests((size_t)n + 1, nullptr);
    int members = 0, last = -1;
    for (int i = 0; i < n; i++) {
        const FileEntry* e = EntryAt(job, i);
        const Survey& v = surveys[(size_t)i];
        if (!e || !InFileSet(set, e->kind)) continue;
        members++;
        last = i;
        // A digest still to be made leaves the set unknown; one that failed, all zero, fails it.
        if (v.computed && SameContent(v.print, e->oldPrint) && !v.contentLater) digests[(size_t)i] = v.digest;
    }
    int holds = job->seal ? job->seal->SetHolds(set, digests.data()) : -1;
    return SetFinding{set, holds, members, holds == 0 && members == 1 ? last : -1};
}

// Where the seal holds one digest over the old files of a set and they do not give it, the one
// file of the set is marked foreign; a set of more files makes the function return 0.
int MarkForeignOldFiles(UpgradeJob* job, std::vector<Survey>& surveys)
{
    if (!job->seal) return 1;
    for (int set = PatchedFiles; set <= DeletedFiles; set++) {
        SetFinding f = OldSetFinding(job, surveys, set);
        if (f.holds != 0) continue;
        if (f.file < 0) return 0;
        surveys[(size_t)f.file].foreign = 1;
    }
    return 1;
}

// The digests of the new files as they stand after the build: the rebuilt file's, or the
// installed file's where it carried its new fingerprint already; null where neither.
int NewFilesHold(UpgradeJob* job, const std::vector<Survey>& surveys, const std::vector<int>& built,
                 const std::vector<uint8_t>& builtDigests, int* suspect)
{
    int n = job->EntryCount();
    std::vector<const uint8_t*> digests((size_t)n + 1, nullptr);
    int members = 0;
    for (int i = 0; i < n; i++) {
        const FileEntry* e = EntryAt(job, i);
        if (!InFileSet(NewFiles, e->kind)) continue;
        members++;
        *suspect = i;
        if (built[(size_t)i])
            digests[(size_t)i] = &builtDigests[(size_t)i * kDigestSize];
        else if (e->state == StateUpgraded && surveys[(size_t)i].computed)
            digests[(size_t)i] = surveys[(size_t)i].digest;
    }
    int holds = job->seal ? job->seal->SetHolds(NewFiles, digests.data()) : -1;
    if (holds != 0 || members != 1) *suspect = -1;
    return holds;
}

// Reads every listed file once, for the test of an installation that is up to date already
// and for the pre-check; ApplyCancelled when the person cancels.
ApplyOutcome SurveyAll(ApplySession* host, std::vector<Survey>& surveys)
{
    UpgradeJob* job = host->job;
    surveys.assign((size_t)job->EntryCount() + 1, Survey());
    for (int i = 0; i < job->EntryCount(); i++) {
        ShowEntry(host, EntryAt(job, i));
        if (PollCancel(host)) return ApplyCancelled;
        surveys[(size_t)i] = SurveyEntry(job, i, 1);
    }
    return ApplyApplied;
}

// Whether the installation is the new release already: every Add and Patch file carries its
// new version, every Delete file is gone, and there is an Add or Patch entry to say so. With
// surveyed 0 the files are read here, as far as the first one that says no.
int UpToDate(UpgradeJob* job, std::vector<Survey>& surveys, int surveyed)
{
    int carried = 0;
    std::vector<const uint8_t*> digests((size_t)job->EntryCount() + 1, nullptr);
    for (int i = 0; i < job->EntryCount(); i++) {
        FileEntry* e = EntryAt(job, i);
        if (e->kind == KindDelete) {
            char path[kPathMax];
            if (!EntryPath(job, e, path) || FileExists(path)) return 0;
            continue;
        }
        if (e->kind != KindAdd && e->kind != KindPatch) return 0;
        if (!surveyed) surveys[(size_t)i] = SurveyEntry(job, i);
        if (Judge(job, i, surveys[(size_t)i]).state != StateUpgraded) return 0;
        digests[(size_t)i] = surveys[(size_t)i].digest;
        carried++;
    }
    // Every new file is there: where the seal holds one digest over them, it decides.
    return carried > 0 && (!job->seal || job->seal->SetHolds(NewFiles, digests.data()) != 0);
}

// Refuses the package as the trust check found: the person is told why.
ApplyOutcome Refuse(ApplySession* host)
{
    std::string text = std::string(kRefusedText) + TrustText(host->trust) + ".";
    host->ui->Inform(host->view, text.c_str(), UiLine(host, LineCaption));
    return ApplyRefused;
}

// Where the package digest is still being made beside the pre-check and the build, its verdict
// is awaited before the person is asked or told anything (but to confirm a cancel they asked
// for), and before the commit: 1 when the package is the one sealed; otherwise it is refused,
// the person told, any build stopped, and 0.
int SealHolds(ApplySession* host)
{
    if (!TrustPending(host->job)) return 1;
    int allowed = SettlePackageTrust(host->job, &host->trust);
    host->Log().Trust(host->job, host->trust, allowed);
    if (allowed) return 1;
    Refuse(host);
    host->progress.MarkCancelled();
    return 0;
}

// ApplyApplied when the apply goes on; otherwise why it stops.
// Files of a set of more than one match their fingerprints but not the set's digest: the person
// is told, and the apply stops.
ApplyOutcome StopForForeignFiles(ApplySession* host)
{
    if (!SealHolds(host)) return ApplyRefused;
    host->Log().Note(kForeignFilesText);
    host->ui->Inform(host->view, kForeignFilesText, UiLine(host, LineCaption));
    return ApplyStopped;
}

// Puts a finding to the person as its policy says: ApplyApplied when the apply goes on,
// otherwise why it stops.
ApplyOutcome Decide(ApplySession* host, FileEntry* e, const EntryFinding& f)
{
    if (f.line == LineNone) return ApplyApplied;
    if (!SealHolds(host)) return ApplyRefused;
    if (f.policy == PolicyAbort) {
        if (AskAboutEntry(host, e, LineCannotGoOn, LineKnowMore))
            host->ui->Inform(host->view, UiLine(host, f.line), UiLine(host, LineCaption));
        return ApplyStopped;
    }
    if (f.policy == PolicyAsk && !AskAboutEntry(host, e, f.line, LineContinue)) return ApplyDeclined;
    return ApplyApplied;
}

ApplyOutcome PreCheck(ApplySession* host, std::vector<Survey>& surveys)
{
    UpgradeJob* job = host->job;
    if (!MarkForeignOldFiles(job, surveys)) return StopForForeignFiles(host);
    for (int i = 0; i < job->EntryCount(); i++) {
        FileEntry* e = EntryAt(job, i);
        ShowEntry(host, e);
        EntryFinding f = Judge(job, i, surveys[(size_t)i]);
        host->Log().Finding(i, e, f);
        e->state = (uint8_t)f.stateAfter;
        ApplyOutcome decided = Decide(host, e, f);
        if (decided != ApplyApplied) return decided;
    }
    return ApplyApplied;
}

// The files of the target that the commit would rename or delete, opened as the rename would:
// one that another program holds, or runs, is named (with that program where the system can
// tell); one that this user may not delete makes denied true.
std::vector<std::string> FilesInUse(ApplySession* host, int* denied)
{
    UpgradeJob* job = host->job;
    std::vector<std::string> held;
    *denied = 0;
    for (int i = 0; i < job->EntryCount(); i++) {
        FileEntry* e = EntryAt(job, i);
        char path[kPathMax], holder[kPathMax];
        if (!EntryPath(job, e, path) || !FileExists(path)) continue;
        int how = ProbeFile(path, holder);
        if (how == kFileDenied) *denied = 1;
        if (how != kFileInUse) continue;
        held.push_back(holder[0] ? std::string(e->name) + " (" + holder + ")" : std::string(e->name));
        host->Log().Note(std::string("in use: ") + held.back());
    }
    return held;
}

// Before a file is read or built: the target must be one this user may change, and no file
// the package replaces or deletes may be held by another program; the person may close it and
// try again. ApplyApplied when the apply may go on.
ApplyOutcome CheckFilesFree(ApplySession* host, int* asked)
{
    UserInterface* ui = host->ui;
    for (;;) {
        int denied = 0;
        std::vector<std::string> held = FilesInUse(host, &denied);
        if ((denied || !held.empty()) && !SealHolds(host)) return ApplyRefused;
        if (denied) {
            host->Log().Note("the user may not change a file of the target");
            ui->OfferElevation(host->view, UiLine(host, LineNoAccess), UiLine(host, LineRunAsAdmin),
                               UiLine(host, LineCaption));
            return ApplyNoAccess;
        }
        if (held.empty()) return ApplyApplied;
        std::string text = UiLine(host, LineInUse);
        for (size_t k = 0; k < held.size() && k < kListedFailures; k++) text += "\n" + held[k];
        if (held.size() > kListedFailures) text += "\nand " + std::to_string(held.size() - kListedFailures) + " more";
        *asked = 1;
        int retry = ui->AskRetry(host->view, text.c_str(), UiLine(host, LineCaption));
        host->Log().Note(retry ? "files in use: retry" : "files in use: cancelled");
        if (!retry) return ApplyInUse;
    }
}

// Reads the contents left until the build of entry i's old file: 1 when the file is not the
// old file the package expects (its checksum differs; the survey then holds the real one), 0
// otherwise, with its digest made, or all zero where it could not be read.
int ReadLateContent(UpgradeJob* job, int i, Survey& v)
{
    char path[kPathMax];
    FileFingerprint now;
    v.contentLater = 0;
    int read = EntryPath(job, EntryAt(job, i), path) && ComputeFingerprint(path, &now, nullptr, v.digest) &&
        now.size == v.print.size && now.dateTime == v.print.dateTime;
    v.digestFailed = !read;
    if (!read) memset(v.digest, 0, sizeof v.digest);
    if (!read || now.checksum == v.print.checksum) return 0;
    v.print = now;
    return 1;
}

// Puts to the person, as the pre-check would have, an entry whose old file the reading after
// the build found modified or foreign: ApplyApplied when the build goes on without it (the
// caller drops its rebuilt file); otherwise why it stops, the build cancelled.
ApplyOutcome DecideLate(ApplySession* host, int k, const Survey& v)
{
    FileEntry* e = EntryAt(host->job, k);
    EntryFinding f = Judge(host->job, k, v);
    host->Log().Finding(k, e, f);
    ApplyOutcome decided = Decide(host, e, f);
    if (decided != ApplyApplied) {
        host->progress.MarkCancelled();
        return decided;
    }
    e->state = (uint8_t)f.stateAfter;
    return ApplyApplied;
}

// Drops entry k's rebuilt file.
void DropBuilt(UpgradeJob* job, int k, std::vector<int>& built)
{
    char temp[kPathMax];
    if (built[(size_t)k] && TempName(job, k, temp)) RemoveFile(temp);
    built[(size_t)k] = 0;
}

// A rebuilt file that did not verify: its hard policy decides. ApplyApplied when the build
// goes on without the entry, otherwise why it stops.
ApplyOutcome RejectBuilt(ApplySession* host, FileEntry* e)
{
    UserInterface* ui = host->ui;
    if (!SealHolds(host)) return ApplyRefused;
    int policy = EffectivePolicy(e->hardPolicy);
    if (policy == PolicyAbort) {
        if (AskAboutEntry(host, e, LineBadResultStop, LineKnowMore))
            ui->Inform(host->view, UiLine(host, LineStopped), UiLine(host, LineCaption));
        host->progress.MarkCancelled();
        return ApplyStopped;
    }
    if (policy == PolicyAsk && !AskAboutEntry(host, e, LineBadResultAsk, LineContinue)) {
        host->progress.MarkCancelled();
        return ApplyDeclined;
    }
    e->state = StateBadResult;
    return ApplyApplied;
}

// Runs the script of entry i (not a Delete): into its work file, verified and renamed to its
// .TMP name, when the entry is pending; only read past otherwise, since the scripts lie back
// to back in the package. *built is 1 once the file verified; made receives its digest when
// the package is sealed. ApplyApplied when the build goes on; ApplyCancelled when the person
// cancelled, or why a file that did not verify stops it.
ApplyOutcome BuildEntry(ApplySession* host, int i, Survey& v, int* built, uint8_t* made)
{
    UpgradeJob* job = host->job;
    FileEntry* e = EntryAt(job, i);
    // The new file is fingerprinted as it is written, so it is never read back; the print
    // outlives the output, which feeds it until it is closed.
    WrittenPrint printed;
    std::unique_ptr<FileStream> oldFile, output;
    char work[kPathMax] = "";
    int building = e->state == StatePending;
    if (building) {
        if (e->kind == KindPatch) {
            char installed[kPathMax];
            EntryPath(job, e, installed);
            oldFile.reset(new FileStream(ReadAccess | ShareRead, installed));
            oldFile->CacheBlocks();
        }
        WorkName(job, i, work);
        output.reset(new FileStream(WriteAccess, work));
        // The commit forces it onto the disk: the disk may as well start now.
        output->WriteBackEarly();
    }
    host->ui->SetItemText(host->view, IDC_PROGRESS_OPERATION, UiPart(host, LineOperations, e->kind));
    int watched = !output || WatchPrint(output.get(), &printed, job->seal != nullptr, e->newPrint.size);
    // Also run for entries not built: the scripts lie back to back in the package.
    ScriptRun run;
    run.outputLimit = e->newPrint.size;
    run.progress = host;
    RunPatchScript(job->stream.get(), &run, oldFile.get(), output.get());
    oldFile.reset();
    if (!building) return ApplyApplied;
    if (PollCancel(host)) return ApplyCancelled;
    // A package that ended inside this script (or before it) is cut short: its output is
    // not trusted even when it verifies, as an empty file does against a print of zeros.
    // A script that wrote past the new size is not this file's, though its cut part may
    // verify.
    int sound = watched && !run.scriptCut && !run.outputOverrun;
    const uint8_t* digest = job->seal ? job->seal->NewDigest(i) : nullptr;
    int verified = sound && work[0] && VerifyAndStampWritten(output.get(), &printed, &e->newPrint, digest, made);
    output.reset();
    // A rename that fails leaves the file without its final name: treated as unverified.
    char temp[kPathMax];
    verified = verified && TempName(job, i, temp) && MoveFileOverPatiently(work, temp);
    host->Log().Built(e, verified);
    *built = verified;
    if (verified) return ApplyApplied;
    // An old file whose contents were left until now is the likely cause: one that is not the
    // file the package expects is put to the person as such.
    int modified = v.contentLater && ReadLateContent(job, i, v);
    ApplyOutcome rejected = modified ? DecideLate(host, i, v) : RejectBuilt(host, e);
    if (rejected == ApplyApplied && work[0]) RemoveFile(work);
    return rejected;
}

// Where the seal holds one digest over all new files, it is checked once they are all
// there, before the commit. A single new file is the one that failed; among more, none
// can be told from the others, and nothing is committed. ApplyApplied when the build goes on.
ApplyOutcome CheckBuiltSet(ApplySession* host, const std::vector<Survey>& surveys, const std::vector<int>& built,
                           const std::vector<uint8_t>& builtDigests)
{
    UpgradeJob* job = host->job;
    int suspect = -1;
    if (NewFilesHold(job, surveys, built, builtDigests, &suspect) != 0) return ApplyApplied;
    if (suspect < 0) {
        if (!SealHolds(host)) return ApplyRefused;
        host->Log().Note(kForeignBuiltText);
        host->ui->Inform(host->view, kForeignBuiltText, UiLine(host, LineCaption));
        host->progress.MarkCancelled();
        return ApplyStopped;
    }
    FileEntry* e = EntryAt(job, suspect);
    host->Log().Built(e, 0);
    char temp[kPathMax];
    if (built[(size_t)suspect] && TempName(job, suspect, temp)) RemoveFile(temp);
    return RejectBuilt(host, e);
}

// Where old files' contents were left to the build, they are read here, and the seal's digest
// over them is checked before the commit, as the pre-check checks it otherwise: a modified
// file, or the one file of the set that does not hold, is put to the person under its hard
// policy, and its rebuilt file is dropped; among more, none can be told from the others, and
// nothing is committed. ApplyApplied when the build goes on.
ApplyOutcome CheckOldSetLate(ApplySession* host, std::vector<Survey>& surveys, std::vector<int>& built)
{
    UpgradeJob* job = host->job;
    for (int i = 0; i < job->EntryCount(); i++) {
        if (!surveys[(size_t)i].contentLater || !ReadLateContent(job, i, surveys[(size_t)i])) continue;
        ApplyOutcome decided = DecideLate(host, i, surveys[(size_t)i]);
        if (decided != ApplyApplied) return decided;
        DropBuilt(job, i, built);
    }
    SetFinding set = OldSetFinding(job, surveys, PatchedFiles);
    if (set.holds != 0) return ApplyApplied;
    // What was built is dropped by the build's end, which sees the cancellation.
    if (set.file < 0) {
        host->progress.MarkCancelled();
        return StopForForeignFiles(host);
    }
    surveys[(size_t)set.file].foreign = 1;
    ApplyOutcome decided = DecideLate(host, set.file, surveys[(size_t)set.file]);
    if (decided == ApplyApplied) DropBuilt(job, set.file, built);
    return decided;
}

// Rebuilds every entry still pending; ApplyApplied when the commit may follow, otherwise why
// the build stopped, with the scratch folder already cleaned.
ApplyOutcome Build(ApplySession* host, std::vector<Survey>& surveys)
{
    UpgradeJob* job = host->job;
    UserInterface* ui = host->ui;
    ApplyOutcome stop = ApplyCancelled;
    ui->SetItemText(host->view, IDC_PROGRESS_OPERATION, UiLine(host, LineChecking));
    ui->SetItemText(host->view, IDC_PROGRESS_BAR, " ");
    ui->Repaint(host->view);
    // Whatever an earlier run left without a journal is stale: a .TMP of it must never be
    // taken for this run's output.
    CleanScratchFolder(job);
    char scratch[kPathMax];
    if (JoinPath(scratch, job->targetFolder, kScratchName)) MakeFolder(scratch);
    std::vector<int> built((size_t)job->EntryCount() + 1, 0);
    std::vector<uint8_t> builtDigests(((size_t)job->EntryCount() + 1) * kDigestSize);
    int late = 0;
    for (const Survey& v : surveys) late |= v.contentLater;

    for (int i = 0; i < job->EntryCount(); i++) {
        if (PollCancel(host)) break;
        FileEntry* e = EntryAt(job, i);
        ShowEntry(host, e);
        if (e->kind == KindDelete) continue;
        uint8_t* made = job->seal ? &builtDigests[(size_t)i * kDigestSize] : nullptr;
        ApplyOutcome entry = BuildEntry(host, i, surveys[(size_t)i], &built[(size_t)i], made);
        if (entry != ApplyApplied) {
            stop = entry;
            break;
        }
    }
    // Rebuilt files that are all the publisher's were made from old files whose content was
    // right where it mattered: the old files are read only to tell why they are not.
    int suspect = -1;
    if (late && !PollCancel(host) && NewFilesHold(job, surveys, built, builtDigests, &suspect) != 1) {
        ApplyOutcome old = CheckOldSetLate(host, surveys, built);
        if (old != ApplyApplied) stop = old;
    }
    if (!PollCancel(host)) {
        ApplyOutcome set = CheckBuiltSet(host, surveys, built, builtDigests);
        if (set != ApplyApplied) stop = set;
    }
    if (PollCancel(host)) {
        CleanScratchFolder(job);
        return stop;
    }
    return ApplyApplied;
}

// The names of the files a failed commit left as they were, at most kListedFailures of them,
// each with why.
std::string FailureList(const std::vector<CommitFailure>& failures)
{
    std::string list;
    for (size_t k = 0; k < failures.size() && k < kListedFailures; k++) {
        list += "\n";
        if (failures[k].name.empty()) {
            list += failures[k].reason;
            continue;
        }
        list += failures[k].name + " (" + failures[k].reason + ")";
    }
    if (failures.size() > kListedFailures)
        list += "\nand " + std::to_string(failures.size() - kListedFailures) + " more";
    return list;
}

// Tells the person what a commit or a recovery came to, when it is not plain success.
ApplyOutcome Report(ApplySession* host, CommitResult result, const std::vector<CommitFailure>& failures)
{
    host->Log().Commit(result, failures);
    std::string text;
    ApplyOutcome outcome = ApplyNotReplaced;
    if (result == CommitDone) return ApplyApplied;
    if (result == CommitNotRecorded) text = kNotRecordedText;
    if (result == CommitRolledBack) text = std::string(UiLine(host, LineNotReplaced)) + FailureList(failures);
    if (result == CommitInterrupted) {
        text = std::string(kInterruptedText) + FailureList(failures);
        outcome = ApplyInterrupted;
    }
    host->ui->Inform(host->view, text.c_str(), UiLine(host, LineCaption));
    return outcome;
}

}   // namespace

int AlreadyUpToDate(UpgradeJob* job)
{
    std::vector<Survey> surveys((size_t)job->EntryCount() + 1);
    return UpToDate(job, surveys, 0);
}

const char* UiLine(ApplySession* host, UiLineId n)
{
    const UiTextTable* wording = host->wording.get();
    if (!wording) return "";
    // Lines added after the first wording files: built-in English where a file lacks them.
    if (n == LineNotReplaced && !wording->HasLine(n)) return kUnreplacedText;
    if (n == LinePathTooLong && !wording->HasLine(n)) return kTooLongText;
    if (n == LineInUse && !wording->HasLine(n)) return kInUseText;
    if (n == LineNoAccess && !wording->HasLine(n)) return kNoAccessText;
    if (n == LineRunAsAdmin && !wording->HasLine(n)) return kRunAsAdminText;
    return wording->LineText(n);
}

const char* UiPart(ApplySession* host, UiLineId n, int k) { return host->wording ? host->wording->LinePart(n, k) : ""; }

int AskAboutEntry(ApplySession* host, FileEntry* entry, UiLineId thirdLine, UiLineId lastLine)
{
    // The longest text (three lines, labels, name and description) stays well inside the
    // buffer; the bound only guards against a table that was not read as described.
    char text[kMessageSize];
    text[0] = 0;
    size_t used = 0;
    auto add = [&](const char* piece) {
        size_t n = strlen(piece);
        if (n > kMessageSize - 1 - used) n = kMessageSize - 1 - used;
        memcpy(text + used, piece, n);
        used += n;
        text[used] = 0;
    };
    add(UiPart(host, LineLabels, 0));
    add(UiPart(host, LineOperations, entry->kind));
    add("\n\n");
    add(UiPart(host, LineLabels, 1));
    add(entry->name);
    if (entry->description[0]) {
        add("\n");
        add(UiPart(host, LineLabels, 2));
        add(entry->description);
    }
    add("\n\n");
    add(UiLine(host, thirdLine));
    add("\n\n");
    add(UiLine(host, lastLine));
    UserInterface* ui = host->ui;
    int yes = ui && ui->AskYesNo(host->view, text, UiLine(host, LineCaption)) ? 1 : 0;
    host->Log().Answer(entry, lastLine == LineKnowMore ? QuestionKnowMore : QuestionContinue, UiLine(host, thirdLine),
                       yes);
    return yes;
}

namespace {

// Collects the names CleanScratchFolder may remove: everything but backups and the journal,
// which only the commit's own steps may take away.
struct ScratchListing {
    std::vector<std::string> names;
    static void Add(void* context, const char* name)
    {
        size_t n = strlen(name);
        if (SameNameIgnoringCase(name, kJournalName) || (n > 4 && SameNameIgnoringCase(name + n - 4, ".OLD"))) return;
        static_cast<ScratchListing*>(context)->names.push_back(name);
    }
};

}   // namespace

int CleanScratchFolder(UpgradeJob* job)
{
    char scratch[kPathMax], path[kPathMax];
    if (!JoinPath(scratch, job->targetFolder, kScratchName)) return 0;
    ScratchListing listing;
    ListFiles(scratch, &ScratchListing::Add, &listing);
    for (const std::string& name : listing.names) {
        int n = snprintf(path, sizeof path, "%s\\%s", scratch, name.c_str());
        if (n > 0 && (size_t)n < sizeof path) RemoveFile(path);
    }
    return RemoveFolder(scratch);
}

namespace {

// Opens the progress view over the owner and words it; 0 (the person told) when it cannot open.
int OpenView(ApplySession* host)
{
    UserInterface* ui = host->ui;
    // The view's initialisation clears the state; doing it here too serves every interface.
    host->progress.Reset();
    host->view = ui->OpenProgress(host->instance, host->ownerWindow, &host->progress);
    if (!host->view) {
        // Without the view nothing could be shown or cancelled: the owner stays enabled.
        ui->Inform(nullptr, kNoProgressText, UiLine(host, LineCaption));
        return 0;
    }
    ui->Repaint(host->view);
    if (host->ownerWindow) ui->EnableOwner(host->ownerWindow, 0);
    ui->SetCaption(host->view, UiLine(host, LineCaption));
    ui->SetItemText(host->view, IDC_PROGRESS_CANCEL, UiLine(host, LineCancelButton));
    ui->SetItemText(host->view, IDC_PROGRESS_FILE, " ");
    ui->SetItemText(host->view, IDC_PROGRESS_DESCRIPTION, " ");
    ui->SetItemText(host->view, IDC_PROGRESS_OPERATION, UiLine(host, LineChecking));
    ui->SetItemText(host->view, IDC_PROGRESS_BAR, " ");
    ui->Repaint(host->view);
    return 1;
}

ApplyOutcome Run(ApplySession* host)
{
    UpgradeJob* job = host->job;
    UserInterface* ui = host->ui;
    if (!job || !ui || !job->IsValid() || !host->wording) return ApplyNotStarted;
    StartSealCheck(job);
    if (!OpenView(host)) return ApplyNotStarted;

    // A target this user may not change is told before anything is touched, recovery included.
    if (!FolderWritable(job->targetFolder)) {
        host->Log().Note(std::string("the user may not change the target folder ") + job->targetFolder);
        ui->OfferElevation(host->view, UiLine(host, LineNoAccess), UiLine(host, LineRunAsAdmin),
                           UiLine(host, LineCaption));
        return ApplyNoAccess;
    }

    // An earlier run's journal first: this package's commit is finished without a question
    // (its identity is the digest whose trust was checked when that commit began), another's
    // is undone before this one begins. Only then does the pin stand as the installation
    // keeps it: a commit cut short may have moved it aside or replaced it.
    std::vector<CommitFailure> failures;
    RecoveryResult recovery = RecoverJournal(host, &failures);
    if (recovery != RecoveryNone) host->Log().Recovery(recovery);
    switch (recovery) {
    case RecoveryFinished: return ApplyApplied;
    case RecoveryRolledBack: return Report(host, CommitRolledBack, failures);
    case RecoveryInterrupted: return Report(host, CommitInterrupted, failures);
    case RecoveryOrphans: ui->Inform(host->view, kOrphansText, UiLine(host, LineCaption)); return ApplyNotStarted;
    case RecoveryNone: break;
    case RecoveryCleared:
        ui->SetItemText(host->view, IDC_PROGRESS_OPERATION, UiLine(host, LineChecking));
        ui->SetItemText(host->view, IDC_PROGRESS_CANCEL, UiLine(host, LineCancelButton));
        ui->Repaint(host->view);
        break;
    }

    // The installed files are read while a second thread hashes the package for its seal, and
    // where no key is pinned the pre-check and the build go on beside it. Before anything is
    // asked or changed: a package altered since it was sealed, or not signed by the key the
    // installation pins, is refused whole.
    std::vector<Survey> surveys;
    ApplyOutcome outcome = SurveyAll(host, surveys);
    if (outcome != ApplyApplied) return outcome;
    int allowed = CheckPackageTrust(job, host->trustFile.empty() ? nullptr : host->trustFile.c_str(), &host->trust, 1);
    if (TrustPending(job))
        host->Log().Note(kSealPendingText);
    else
        host->Log().Trust(job, host->trust, allowed);
    if (!allowed) return Refuse(host);
    if (UpToDate(job, surveys, 1)) {
        if (!SealHolds(host)) return ApplyRefused;
        // A crash after the journal went can leave the scratch folder behind, empty or with
        // stale work files; no journal or backup is left here (the recovery saw to that).
        CleanScratchFolder(job);
        ui->Inform(host->view, kUpToDateText, UiLine(host, LineCaption));
        return ApplyUpToDate;
    }

    // A file that was held while the survey read it is read again once it is free.
    int asked = 0;
    outcome = CheckFilesFree(host, &asked);
    if (outcome != ApplyApplied) return outcome;
    if (asked) {
        surveys.clear();
        outcome = SurveyAll(host, surveys);
        if (outcome != ApplyApplied) return outcome;
    }
    outcome = PreCheck(host, surveys);
    if (outcome != ApplyApplied) return outcome;
    outcome = Build(host, surveys);
    if (outcome != ApplyApplied) return outcome;
    if (!SealHolds(host)) {
        CleanScratchFolder(job);
        return ApplyRefused;
    }
    return Report(host, CommitEntries(host, &failures), failures);
}

}   // namespace

ApplyOutcome ApplyUpgrade(ApplySession* host)
{
    if (host->job && host->job->IsValid()) host->Log().Begin(host->job);
    ApplyOutcome outcome = Run(host);
    // An apply that ended before the verdict was needed still records it.
    if (host->job && TrustPending(host->job))
        host->Log().Trust(host->job, host->trust, SettlePackageTrust(host->job, &host->trust));
    host->Log().Outcome(outcome);
    return outcome;
}

EntryFinding CheckEntry(UpgradeJob* job, int index)
{
    if (index < 0 || index >= job->EntryCount() || !EntryAt(job, index))
        return EntryFinding{StatePending, LineNone, PolicyIgnore, 1, StatePending};
    return Examine(job, index);
}

void CheckEntries(UpgradeJob* job, std::vector<EntryFinding>* findings, std::vector<SetFinding>* sets)
{
    int n = job->EntryCount();
    std::vector<Survey> surveys((size_t)n + 1, Survey());
    for (int i = 0; i < n; i++)
        if (EntryAt(job, i)) surveys[(size_t)i] = SurveyEntry(job, i);
    findings->clear();
    sets->clear();
    int bySet = job->seal && job->seal->SetDigest(NewFiles);
    for (int set = PatchedFiles; bySet && set <= DeletedFiles; set++) {
        sets->push_back(OldSetFinding(job, surveys, set));
        if (sets->back().file >= 0) surveys[(size_t)sets->back().file].foreign = 1;
    }
    // The new files' digest is known when every new file is installed already.
    std::vector<const uint8_t*> digests((size_t)n + 1, nullptr);
    int members = 0, last = -1;
    for (int i = 0; i < n; i++) {
        const FileEntry* e = EntryAt(job, i);
        findings->push_back(e ? Judge(job, i, surveys[(size_t)i]) : CheckEntry(job, i));
        if (!e || !InFileSet(NewFiles, e->kind)) continue;
        members++;
        last = i;
        if (findings->back().state == StateUpgraded) digests[(size_t)i] = surveys[(size_t)i].digest;
    }
    if (!bySet) return;
    int holds = job->seal->SetHolds(NewFiles, digests.data());
    sets->insert(sets->begin(), SetFinding{NewFiles, holds, members, holds == 0 && members == 1 ? last : -1});
}
