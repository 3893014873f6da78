// Progress percentage, the pumping pause, and the cancel request and its confirmation.
#include "progress.h"
#include "apply.h"
#include "joblog.h"
#include "session.h"
#include "uitext.h"

int PollCancel(ApplySession* host)
{
    ProgressState& state = host->progress;
    // Once confirmed, stay cancelled without pumping: nothing the person does can undo it.
    if (state.cancelConfirmed) return 1;
    UserInterface* ui = host->ui;
    UpgradeJob* job = host->job;
    if (!ui || !job) return 0;
    ui->PumpEvents(host->view);
    if (!state.cancelRequested) return 0;
    int yes = ui->AskYesNo(host->view, UiLine(host, LineConfirmCancel), UiLine(host, LineCaption));
    host->Log().Answer(nullptr, QuestionCancel, "", yes);
    if (!yes) {
        state.cancelRequested = 0;
        return 0;
    }
    state.MarkCancelled();
    return 1;
}

void PumpPause(ApplySession* host, uint32_t milliseconds)
{
    UserInterface* ui = host->ui;
    if (!ui || !ui->WantsPause()) return;
    // A deadline that wraps past zero lies below the current tick and ends the pause at once;
    // the budget bounds the polls should the tick source stand still.
    uint32_t deadline = ui->Ticks() + milliseconds;
    uint32_t budget = milliseconds * 500u;
    void* view = host->view;
    for (;;) {
        uint32_t now = ui->Ticks();
        if (now >= deadline) break;
        budget--;
        if (budget <= 1) break;
        if (PollCancel(host)) break;
        ui->WaitEvents(view, deadline - now);
    }
}

int ProgressPercent(uint32_t done, uint32_t total)
{
    uint32_t percent = done / (total / 100u + 1u) + 1u;
    return percent > 100u ? 100 : (int)percent;
}

void UpdateProgress(ApplySession* host)
{
    UpgradeJob* job = host->job;
    if (!job || host->progressDone < host->progress.redrawAt) return;
    int percent = ProgressPercent(host->progressDone, job->progressTotal);
    // The interpreter reports every 256 bytes: until done reaches the next step, no division.
    uint64_t next = (uint64_t)percent * (job->progressTotal / 100u + 1u);
    host->progress.redrawAt = percent >= 100 || next > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)next;
    if (percent == host->progress.lastPercent) return;
    host->progress.lastPercent = percent;
    if (host->ui) host->ui->DrawBar(host->view, percent);
    PumpPause(host, 100);
}
