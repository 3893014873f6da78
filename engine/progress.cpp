// Progress percentage, the pumping pause, and the cancel request and its confirmation.
#include "progress.h"
#include "apply.h"
#include "reader.h"
#include "ui.h"

int lastPercent = 0;
int cancelRequested = 0;
int cancelConfirmed = 0;

void OnProgressInit()
{
    lastPercent = 0;
    cancelRequested = 0;
    cancelConfirmed = 0;
}

void OnProgressCommand() { cancelRequested = 1; }

void MarkCancelled() { cancelConfirmed = 1; }

int PollCancel(UpgradeJob* job)
{
    // Once confirmed, stay cancelled without pumping: nothing the person does can undo it.
    if (cancelConfirmed) return 1;
    UserInterface* ui = UiOf(job);
    if (!ui) return 0;
    ui->PumpEvents(job->workWindow);
    if (!cancelRequested) return 0;
    if (!ui->AskYesNo(job->workWindow, UiLine(job, 8), UiLine(job, 3))) {
        cancelRequested = 0;
        return 0;
    }
    MarkCancelled();
    return 1;
}

void PumpPause(UpgradeJob* job, uint32_t milliseconds)
{
    UserInterface* ui = UiOf(job);
    if (!ui || !ui->WantsPause()) return;
    // A deadline that wraps past zero lies below the current tick and ends the pause at once;
    // the budget bounds the polls should the tick source stand still.
    uint32_t deadline = ui->Ticks() + milliseconds;
    uint32_t budget = milliseconds * 500u;
    for (;;) {
        if (ui->Ticks() >= deadline) break;
        budget--;
        if (budget <= 1) break;
        if (PollCancel(job)) break;
    }
}

int ProgressPercent(uint32_t done, uint32_t total)
{
    uint32_t percent = done / (total / 100u + 1u) + 1u;
    return percent > 100u ? 100 : (int)percent;
}

void UpdateProgress(UpgradeJob* job)
{
    int percent = ProgressPercent(job->progressDone, job->progressTotal);
    if (percent == lastPercent) return;
    lastPercent = percent;
    UserInterface* ui = UiOf(job);
    if (ui) ui->DrawBar(job->workWindow, percent);
    PumpPause(job, 100);
}
