// The apply session: one job applied through one person's interface, with the progress view,
// the wording and the log that takes part.
#pragma once
#include <stdint.h>
#include <memory>
#include <string>
#include "job.h"
#include "script.h"
#include "trust.h"
#include "ui.h"
#include "uitext.h"

class JobLog;

// Owns the progress view while it is open (closed, and the owner window enabled again, by its
// destructor), the wording and the progress state; the job, interface and log belong to the
// caller and outlive it. The patch interpreter reports its progress and polls through it.
// Every engine call that talks to the person takes the session, never a bare job.
class ApplySession : public ScriptProgress {
public:
    // instance and ownerWindow are the front end's handles the view is opened with (null in a
    // terminal or a test).
    ApplySession(UpgradeJob* job, UserInterface* ui, void* instance = nullptr, void* ownerWindow = nullptr);
    ~ApplySession();
    void Advance(uint32_t n) override;
    int Poll() override;

    // The attached log, or one that records nothing.
    JobLog& Log();
    // Closes the progress view and enables the owner window again; nothing when none is open.
    void CloseView();

    UpgradeJob* const job;
    UserInterface* const ui;
    void* instance;
    void* ownerWindow;
    void* view = nullptr;   // the progress view while it is open
    // The wording every line the person reads is taken from; the apply needs one.
    std::unique_ptr<UiTextTable> wording;
    // A publisher key file to trust in place of the target folder's own pin; empty for none.
    std::string trustFile;
    // What the trust check found; while TrustPending(job), what it will be if the package digest
    // still being made holds.
    TrustReport trust = TrustReport();
    ProgressState progress;
    // Output bytes the scripts have passed, plus 1; drawn against the table's progressTotal.
    uint32_t progressDone = 1;
    JobLog* log = nullptr;

    ApplySession(const ApplySession&) = delete;
    ApplySession& operator=(const ApplySession&) = delete;
};
