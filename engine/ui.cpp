// The bridge between a job and the engine: progress and polls forwarded, teardown of the view.
#include "ui.h"
#include "joblog.h"
#include "progress.h"
#include "uitext.h"

EngineHost::EngineHost(UpgradeJob* job, UserInterface* ui) : job(job), ui(ui)
{
    if (job) job->host = this;
}

EngineHost::~EngineHost()
{
    UpgradeJob* attached = job;
    if (!attached) return;
    Release(attached);
    attached->host = nullptr;
}

void EngineHost::UpdateProgress(UpgradeJob*) { ::UpdateProgress(this); }

int EngineHost::PollCancel(UpgradeJob*) { return ::PollCancel(this); }

void EngineHost::Release(UpgradeJob* released)
{
    // Called from the job's destructor after its buffers are gone: touch only the windows and
    // the wording.
    if (released->workWindow && ui) {
        if (released->ownerWindow) ui->EnableOwner(released->ownerWindow, 1);
        ui->CloseProgress(released->workWindow);
    }
    released->workWindow = nullptr;
    delete released->uiText;
    released->uiText = nullptr;
    if (released == job) job = nullptr;
}

JobLog& EngineHost::Log()
{
    static JobLog silent;
    return log ? *log : silent;
}
