// The bridge between a job and the engine: progress and polls forwarded, teardown of the view.
#include "ui.h"
#include "progress.h"
#include "uitext.h"

void EngineHost::UpdateProgress(UpgradeJob* job) { ::UpdateProgress(job); }

int EngineHost::PollCancel(UpgradeJob* job) { return ::PollCancel(job); }

void EngineHost::Release(UpgradeJob* job)
{
    // Called from the job's destructor after its buffers are gone: touch only the windows and
    // the wording.
    if (job->workWindow && ui) {
        if (job->ownerWindow) ui->EnableOwner(job->ownerWindow, 1);
        ui->CloseProgress(job->workWindow);
    }
    job->workWindow = nullptr;
    delete job->uiText;
    job->uiText = nullptr;
}

UserInterface* UiOf(UpgradeJob* job)
{
    if (!job || !job->host) return nullptr;
    return static_cast<EngineHost*>(job->host)->ui;
}
