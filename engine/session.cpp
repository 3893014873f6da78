// The apply session: progress and polls of the patch interpreter, teardown of the view.
#include "session.h"
#include "joblog.h"
#include "progress.h"

ApplySession::ApplySession(UpgradeJob* job, UserInterface* ui, void* instance, void* ownerWindow)
    : job(job), ui(ui), instance(instance), ownerWindow(ownerWindow)
{
}

ApplySession::~ApplySession() { CloseView(); }

void ApplySession::CloseView()
{
    if (view && ui) {
        if (ownerWindow) ui->EnableOwner(ownerWindow, 1);
        ui->CloseProgress(view);
    }
    view = nullptr;
}

void ApplySession::Advance(uint32_t n)
{
    progressDone += n;
    UpdateProgress(this);
}

int ApplySession::Poll() { return PollCancel(this); }

JobLog& ApplySession::Log()
{
    static JobLog silent;
    return log ? *log : silent;
}
