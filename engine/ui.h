// The one interface through which the engine talks to the person: the Win32 dialogs, the
// terminal and the tests' scripted double each implement it.
#pragma once
#include <stdint.h>
#include "reader.h"

// Control ids of the progress view.
enum {
    kItemCancel = 2,
    kItemFile = 101,
    kItemDescription = 102,
    kItemOperation = 103,
    kItemBar = 105
};

class UserInterface {
public:
    virtual ~UserInterface() {}
    // Shows the progress view over the owner; returns its handle (non-null) or null.
    virtual void* OpenProgress(void* instance, void* ownerWindow) = 0;
    virtual void CloseProgress(void* view) = 0;
    virtual void EnableOwner(void* ownerWindow, int enable) = 0;
    virtual void SetCaption(void* view, const char* text) = 0;
    virtual void SetItemText(void* view, int item, const char* text) = 0;
    virtual void Repaint(void* view) = 0;
    virtual void DrawBar(void* view, int percent) = 0;
    // Handles every waiting event; a cancel command calls OnProgressCommand (progress.h).
    virtual void PumpEvents(void* view) = 0;
    // A yes/no question owned by the view (flags 0x2024); 1 only for yes.
    virtual int AskYesNo(void* view, const char* text, const char* caption) = 0;
    // An information box owned by the view (flags 0x2040).
    virtual void Inform(void* view, const char* text, const char* caption) = 0;
    virtual uint32_t Ticks() = 0;
    // Whether the progress pause should wait at all (a terminal has nothing to repaint).
    virtual int WantsPause() { return 1; }
};

// The bridge a job uses to reach the engine: progress, polls and teardown over one interface.
class EngineHost : public JobHost {
public:
    explicit EngineHost(UserInterface* ui) : ui(ui) {}
    void UpdateProgress(UpgradeJob* job) override;
    int PollCancel(UpgradeJob* job) override;
    void Release(UpgradeJob* job) override;
    UserInterface* ui;
};

// The interface of the job's host (the job must have been given an EngineHost).
UserInterface* UiOf(UpgradeJob* job);
