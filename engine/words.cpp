// The words for what the engine reports, and the sentences that end a run.
#include "words.h"
#include "reader.h"

const char kSetupRefused[] = "Missing or invalid setup data.";

FindingWords DescribeFinding(const EntryFinding& f)
{
    if (f.state == StateUpgraded) return {"already upgraded", "already upgraded", "upgraded", nullptr, "none", 1};
    if (f.line == LineNone) return {"ok", "ok", "ok", nullptr, "apply", 1};
    FindingWords w{"unexpected", "", "unexpected", "", "", 0};
    switch (f.state) {
    case StateMissing:
        w.what = "missing";
        w.finding = "missing";
        break;
    case StateModified:
        w.what = "not the expected version";
        w.finding = "modified";
        break;
    case StateReadOnly:
        w.what = "read-only";
        w.finding = "readOnly";
        break;
    case StateDateDiffers:
        w.what = "expected contents, other date";
        w.finding = "dateDiffers";
        break;
    case StateAlreadyExists:
        w.what = "exists already";
        w.finding = "exists";
        break;
    case StateTooLong:
        w.what = "path too long for this folder";
        w.finding = "tooLong";
        break;
    default: break;
    }
    // Soft findings let the file through under Ignore; hard ones skip it.
    if (f.policy == PolicyIgnore) {
        w.text = w.what + (f.soft ? " (accepted)" : " (would be skipped)");
        w.policy = PolicyWord(PolicyIgnore);
        w.resolution = f.soft ? "apply" : "skip";
        w.clean = f.soft;
        return w;
    }
    int ask = f.policy == PolicyAsk;
    w.policy = PolicyWord(ask ? PolicyAsk : PolicyAbort);
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

const char* OutcomeLine(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyApplied: return "The upgrade is complete.";
    case ApplyNotStarted: return "The upgrade could not start; nothing was changed.";
    case ApplyCancelled: return "The upgrade was cancelled; nothing was changed.";
    case ApplyDeclined: return "The upgrade was not applied: a question was answered No; nothing was changed.";
    case ApplyStopped: return "The upgrade was not applied: a file stopped it; nothing was changed.";
    case ApplyNotReplaced:
        return "The upgrade was not applied: its files could not all be replaced; nothing was changed.";
    case ApplyRefused: return "The upgrade was not applied: the package was refused; nothing was changed.";
    case ApplyUpToDate: return "The installation is already up to date; nothing was changed.";
    case ApplyInterrupted:
        return "The upgrade is not finished: its record is kept in the scratch folder; run it again to finish it.";
    case ApplyInUse: return "The upgrade was not applied: files are in use by other programs; nothing was changed.";
    case ApplyNoAccess:
        return "The upgrade was not applied: your user account may not change the installation; nothing was changed.";
    }
    return "The upgrade was not completed.";
}
