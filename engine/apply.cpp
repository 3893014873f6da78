// The apply procedure: pre-check every listed file, rebuild into the scratch folder, commit.
#include "apply.h"
#include <new>
#include <stdio.h>
#include <string.h>
#include <string>
#include "crypto.h"
#include "files.h"
#include "fingerprint.h"
#include "progress.h"
#include "reader.h"
#include "script.h"
#include "seal.h"
#include "stream.h"
#include "trust.h"
#include "ui.h"
#include "uitext.h"

namespace {

// Shown after the commit when the wording predates the line for files left unreplaced.
const char kUnreplacedText[] =
    "The upgrade is finished, but these files could not be replaced and keep their previous version:";

// Starts the refusal of a package that fails its seal or its pin; the reason follows.
const char kRefusedText[] = "This upgrade package was not applied, and nothing was changed: ";

FileEntry* EntryAt(UpgradeJob* job, int i) { return job->entries[i]; }

// Writes targetFolder + name into out; a path that would not fit leaves out empty and
// reports 0, so it reads as a file that cannot be opened or created.
int EntryPath(UpgradeJob* job, const FileEntry* e, char* out)
{
    return JoinPath(out, job->targetFolder, e->name);
}

// A file of table position i inside the scratch folder, with the given extension.
int ScratchFile(UpgradeJob* job, int i, const char* extension, char* out)
{
    int n = snprintf(out, kPathMax, "%s%s\\N%05d.%s", job->targetFolder, kScratchName, i, extension);
    if (n < 0 || (size_t)n >= kPathMax) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

// The verified, stamped file of position i that the commit moves into place.
int TempName(UpgradeJob* job, int i, char* out) { return ScratchFile(job, i, "TMP", out); }

// Where position i is written and verified before it takes its .TMP name, so that a run
// killed mid-write never leaves a cut-off file under a name the commit would use.
int WorkName(UpgradeJob* job, int i, char* out) { return ScratchFile(job, i, "PRT", out); }

void ShowEntry(UpgradeJob* job, UserInterface* ui, const FileEntry* e)
{
    ui->SetItemText(job->workWindow, IDC_PROGRESS_FILE, e->name);
    ui->SetItemText(job->workWindow, IDC_PROGRESS_DESCRIPTION, e->description);
    ui->Repaint(job->workWindow);
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

// Runs the tests for one entry in their order; leaves job->workPath on the entry's file.
EntryFinding Examine(UpgradeJob* job, int i)
{
    FileEntry* e = EntryAt(job, i);
    const EntryFinding f = {StatePending, LineNone, PolicyIgnore, 1, StatePending};
    const EntryFinding upgradedAlready = {StateUpgraded, LineNone, PolicyIgnore, 0, StateUpgraded};
    int fits = EntryPath(job, e, job->workPath);
    FileFingerprint print;
    memset(&print, 0, sizeof print);
    int exists = fits && FileExists(job->workPath);
    // A sealed package also knows each file's SHA-256: a file that matches its fingerprint but
    // not its digest is another file, as one whose checksum differs is.
    const uint8_t* oldDigest = job->seal ? job->seal->OldDigest(i) : nullptr;
    const uint8_t* newDigest = job->seal ? job->seal->NewDigest(i) : nullptr;
    uint8_t digest[kDigestSize];
    int computed = exists && ComputeFingerprint(job->workPath, &print, nullptr, job->seal ? digest : nullptr);
    int oldDigestDiffers = oldDigest && (!computed || memcmp(digest, oldDigest, kDigestSize) != 0);
    // A rerun after an interrupted or partly failed commit: the file is already the new one.
    int upgraded = computed && print == e->newPrint && (!newDigest || memcmp(digest, newDigest, kDigestSize) == 0);

    if (e->kind == KindAdd) {
        if (!exists) return f;
        if (upgraded) return upgradedAlready;
        if (IsReadOnly(job->workPath)) return Hard(e, StateReadOnly, LineAddReadOnly);
        return Soft(e, StateAlreadyExists, LineAddExists);
    }
    if (e->kind == KindDelete) {
        if (!exists) return Hard(e, StateMissing, LineMissing);
        if (!SameContent(print, e->oldPrint) || oldDigestDiffers) return Soft(e, StateModified, LineDeleteDiffers);
        if (IsReadOnly(job->workPath)) return Hard(e, StateReadOnly, LineReadOnly);
        if (print != e->oldPrint) return Soft(e, StateDateDiffers, LineDeleteDiffers);
        return f;
    }
    // Patch, and the undefined kind 3 tested like one.
    if (!exists) return Hard(e, StateMissing, LineMissing);
    if (upgraded) return upgradedAlready;
    if (!SameContent(print, e->oldPrint) || oldDigestDiffers) return Hard(e, StateModified, LinePatchModified);
    if (IsReadOnly(job->workPath)) return Hard(e, StateReadOnly, LineReadOnly);
    if (print != e->oldPrint) return Soft(e, StateDateDiffers, LinePatchDateDiffers);
    return f;
}

// ApplyApplied when the apply goes on; otherwise why it stops.
ApplyOutcome PreCheck(EngineHost* host)
{
    UpgradeJob* job = host->job;
    UserInterface* ui = host->ui;
    for (int i = 0; i < job->EntryCount(); i++) {
        FileEntry* e = EntryAt(job, i);
        EntryPath(job, e, job->workPath);
        ShowEntry(job, ui, e);
        if (PollCancel(host)) return ApplyCancelled;
        EntryFinding f = Examine(job, i);
        e->state = (uint8_t)f.stateAfter;
        if (f.line == LineNone) continue;
        if (f.policy == PolicyAbort) {
            if (AskAboutEntry(host, e, LineCannotGoOn, LineKnowMore))
                ui->Inform(job->workWindow, UiLine(job, f.line), UiLine(job, LineCaption));
            return ApplyStopped;
        }
        if (f.policy == PolicyAsk && !AskAboutEntry(host, e, f.line, LineContinue)) return ApplyDeclined;
    }
    return ApplyApplied;
}

// Rebuilds every entry still pending; ApplyApplied when the commit may follow, otherwise why
// the build stopped, with the scratch folder already cleaned.
ApplyOutcome Build(EngineHost* host)
{
    UpgradeJob* job = host->job;
    UserInterface* ui = host->ui;
    ApplyOutcome stop = ApplyCancelled;
    ui->SetItemText(job->workWindow, IDC_PROGRESS_OPERATION, UiLine(job, LineChecking));
    ui->SetItemText(job->workWindow, IDC_PROGRESS_BAR, " ");
    ui->Repaint(job->workWindow);
    if (JoinPath(job->workPath, job->targetFolder, kScratchName)) MakeFolder(job->workPath);

    for (int i = 0; i < job->EntryCount(); i++) {
        if (PollCancel(host)) break;
        FileEntry* e = EntryAt(job, i);
        ShowEntry(job, ui, e);
        if (e->kind == KindDelete) continue;
        TQLXFStream* oldFile = nullptr;
        TQLXFStream* output = nullptr;
        if (e->state == StatePending) {
            if (e->kind == KindPatch) {
                // A path that does not fit opens nothing: the stream reports its error.
                EntryPath(job, e, job->workPath);
                oldFile = new (std::nothrow) TQLXFStream(ReadAccess, job->workPath);
            }
            WorkName(job, i, job->workPath);
            output = new (std::nothrow) TQLXFStream(WriteAccess, job->workPath);
        }
        ui->SetItemText(job->workWindow, IDC_PROGRESS_OPERATION, UiPart(job, LineOperations, e->kind));
        // Also run for entries not built: the scripts lie back to back in the package.
        job->outputLimit = e->newPrint.size;
        RunPatchScript(job, oldFile, output);
        delete oldFile;
        if (!output) continue;
        delete output;
        if (PollCancel(host)) break;
        // A package that ended before this script did is cut short: its output is not trusted
        // even when it verifies, as an empty file does against a fingerprint cut to zeros.
        int packageCut = job->stream->HasError();
        // A rename that fails leaves the file without its final name: treated as unverified.
        const uint8_t* digest = job->seal ? job->seal->NewDigest(i) : nullptr;
        if (!packageCut && job->workPath[0] && VerifyAndStamp(job->workPath, &e->newPrint, digest) &&
            TempName(job, i, job->tempPath) && MoveFileOver(job->workPath, job->tempPath))
            continue;

        int policy = EffectivePolicy(e->hardPolicy);
        if (policy == PolicyAbort) {
            if (AskAboutEntry(host, e, LineBadResultStop, LineKnowMore))
                ui->Inform(job->workWindow, UiLine(job, LineStopped), UiLine(job, LineCaption));
            host->progress.MarkCancelled();
            stop = ApplyStopped;
            break;
        }
        if (policy == PolicyAsk && !AskAboutEntry(host, e, LineBadResultAsk, LineContinue)) {
            host->progress.MarkCancelled();
            stop = ApplyDeclined;
            break;
        }
        e->state = StateBadResult;
        if (job->workPath[0]) RemoveFile(job->workPath);
    }
    if (PollCancel(host)) {
        CleanScratchFolder(job);
        return stop;
    }
    return ApplyApplied;
}

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

// Moves every rebuilt file into place and deletes what is to go. A step that fails leaves
// the old file as it was and is told to the person: ApplyNotReplaced then.
ApplyOutcome Commit(EngineHost* host)
{
    UpgradeJob* job = host->job;
    UserInterface* ui = host->ui;
    ui->SetItemText(job->workWindow, IDC_PROGRESS_OPERATION, UiLine(job, LineReplacing));
    ui->SetItemText(job->workWindow, IDC_PROGRESS_BAR, " ");
    ui->SetItemText(job->workWindow, IDC_PROGRESS_CANCEL, "----");
    ui->Repaint(job->workWindow);

    std::string failed;
    for (int i = 0; i < job->EntryCount(); i++) {
        FileEntry* e = EntryAt(job, i);
        if (e->state != StatePending) continue;
        ShowEntry(job, ui, e);
        int fits = EntryPath(job, e, job->workPath);
        int ok;
        if (e->kind == KindDelete) {
            // Only a file that is still there after the delete counts as a failure.
            ok = !fits || RemoveFile(job->workPath) || !FileExists(job->workPath);
        } else {
            // The rename replaces the old file only when it succeeds, so nothing is lost.
            if (fits && e->kind == KindAdd) MakeFoldersOnTheWay(job->workPath, strlen(job->targetFolder));
            ok = fits && TempName(job, i, job->tempPath) && MoveFileOver(job->tempPath, job->workPath);
        }
        if (!ok) {
            failed += "\n";
            failed += e->name;
        }
    }
    CleanScratchFolder(job);
    if (failed.empty()) return ApplyApplied;
    std::string text = job->uiText && job->uiText->HasLine(LineNotReplaced) ? UiLine(job, LineNotReplaced) : kUnreplacedText;
    text += failed;
    ui->Inform(job->workWindow, text.c_str(), UiLine(job, LineCaption));
    return ApplyNotReplaced;
}

}  // namespace

const char* UiLine(UpgradeJob* job, UiLineId n) { return job->uiText ? job->uiText->LineText(n) : ""; }

const char* UiPart(UpgradeJob* job, UiLineId n, int k) { return job->uiText ? job->uiText->LinePart(n, k) : ""; }

int AskAboutEntry(EngineHost* host, FileEntry* entry, UiLineId thirdLine, UiLineId lastLine)
{
    UpgradeJob* job = host->job;
    // The longest text (three lines, labels, name and description) stays well inside the
    // buffer; the bound only guards against a table that was not read as described.
    char* text = job->messageText;
    text[0] = 0;
    size_t used = 0;
    auto add = [&](const char* piece) {
        size_t n = strlen(piece);
        if (n > kMessageSize - 1 - used) n = kMessageSize - 1 - used;
        memcpy(text + used, piece, n);
        used += n;
        text[used] = 0;
    };
    add(UiPart(job, LineLabels, 0));
    add(UiPart(job, LineOperations, entry->kind));
    add("\n\n");
    add(UiPart(job, LineLabels, 1));
    add(entry->name);
    if (entry->description[0]) {
        add("\n");
        add(UiPart(job, LineLabels, 2));
        add(entry->description);
    }
    add("\n\n");
    add(UiLine(job, thirdLine));
    add("\n\n");
    add(UiLine(job, lastLine));
    UserInterface* ui = host->ui;
    return ui && ui->AskYesNo(job->workWindow, text, UiLine(job, LineCaption)) ? 1 : 0;
}

int CleanScratchFolder(UpgradeJob* job)
{
    for (int i = 0; i < job->EntryCount(); i++) {
        if (TempName(job, i, job->workPath) && FileExists(job->workPath)) RemoveFile(job->workPath);
        if (WorkName(job, i, job->workPath) && FileExists(job->workPath)) RemoveFile(job->workPath);
    }
    if (!JoinPath(job->workPath, job->targetFolder, kScratchName)) return 0;
    return RemoveFolder(job->workPath);
}

ApplyOutcome ApplyUpgrade(EngineHost* host)
{
    UpgradeJob* job = host->job;
    UserInterface* ui = host->ui;
    if (!job || !ui || !job->IsValid() || job->progressTotal == 0 || !job->uiText) return ApplyNotStarted;

    // The view's initialisation clears the state; doing it here too serves every interface.
    host->progress.Reset();
    job->workWindow = ui->OpenProgress(job->instance, job->ownerWindow, &host->progress);
    ui->Repaint(job->workWindow);
    if (job->ownerWindow) ui->EnableOwner(job->ownerWindow, 0);
    ui->SetCaption(job->workWindow, UiLine(job, LineCaption));
    ui->SetItemText(job->workWindow, IDC_PROGRESS_CANCEL, UiLine(job, LineCancelButton));
    ui->SetItemText(job->workWindow, IDC_PROGRESS_FILE, " ");
    ui->SetItemText(job->workWindow, IDC_PROGRESS_DESCRIPTION, " ");
    ui->SetItemText(job->workWindow, IDC_PROGRESS_OPERATION, UiLine(job, LineChecking));
    ui->SetItemText(job->workWindow, IDC_PROGRESS_BAR, " ");
    ui->Repaint(job->workWindow);

    // Before anything is examined or touched: a package altered since it was sealed, or not
    // signed by the key the installation pins, is refused whole.
    TrustReport trust;
    if (!CheckPackageTrust(job, job->trustFile, &trust)) {
        std::string text = std::string(kRefusedText) + TrustText(trust) + ".";
        ui->Inform(job->workWindow, text.c_str(), UiLine(job, LineCaption));
        return ApplyRefused;
    }

    ApplyOutcome outcome = PreCheck(host);
    if (outcome != ApplyApplied) return outcome;
    outcome = Build(host);
    if (outcome != ApplyApplied) return outcome;
    return Commit(host);
}

EntryFinding CheckEntry(UpgradeJob* job, int index)
{
    if (index < 0 || index >= job->EntryCount() || !EntryAt(job, index))
        return EntryFinding{StatePending, LineNone, PolicyIgnore, 1, StatePending};
    return Examine(job, index);
}
