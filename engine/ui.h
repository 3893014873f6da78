// The one interface through which the engine talks to the person (the Win32 dialogs, the
// terminal and the tests' scripted double each implement it).
#pragma once
#include <stdint.h>
#include "controls.h"

// The progress and cancel state of the one progress view an apply shows. Its ApplySession owns
// it; the view writes commands into it and paints its bar from it.
struct ProgressState {
    int lastPercent = 0;       // the percentage last drawn
    int cancelRequested = 0;   // a command reached the view and the next poll asks
    int cancelConfirmed = 0;   // every poll from now on reports cancellation
    uint32_t redrawAt = 0;     // the bytes done from which the percentage may differ

    // The view initialises: all back to 0.
    void Reset()
    {
        lastPercent = cancelRequested = cancelConfirmed = 0;
        redrawAt = 0;
    }
    // Any command reached the view: its Cancel button, Escape or the close box.
    void OnCommand() { cancelRequested = 1; }
    void MarkCancelled() { cancelConfirmed = 1; }
};

class UserInterface {
public:
    virtual ~UserInterface() {}
    // Shows the progress view over the owner; returns its handle (non-null) or null. The view
    // reports its commands into progress and paints from it until it is closed.
    virtual void* OpenProgress(void* instance, void* ownerWindow, ProgressState* progress) = 0;
    virtual void CloseProgress(void* view) = 0;
    virtual void EnableOwner(void* ownerWindow, int enable) = 0;
    virtual void SetCaption(void* view, const char* text) = 0;
    virtual void SetItemText(void* view, int item, const char* text) = 0;
    virtual void Repaint(void* view) = 0;
    virtual void DrawBar(void* view, int percent) = 0;
    // Handles every waiting event; a command to the view reaches the state given to
    // OpenProgress.
    virtual void PumpEvents(void* view) = 0;
    // Sleeps until an event waits or the milliseconds pass; the progress pause calls it between
    // polls so that a poll may skip the queue while nothing new can be in it.
    virtual void WaitEvents(void* view, uint32_t milliseconds)
    {
        (void)view;
        (void)milliseconds;
    }
    // A yes/no question owned by the view (flags 0x2024); 1 only for yes.
    virtual int AskYesNo(void* view, const char* text, const char* caption) = 0;
    // An information box owned by the view (flags 0x2040).
    virtual void Inform(void* view, const char* text, const char* caption) = 0;
    // Files another program holds: 1 to try again (Retry), 0 to give up (Cancel); owned by
    // the view. Without a way to ask, the person is told and the answer is Cancel.
    virtual int AskRetry(void* view, const char* text, const char* caption)
    {
        Inform(view, text, caption);
        return 0;
    }
    // The user may not change the target: tells the person, and where this interface can start
    // the program again with administrator rights, offers that (offer, the wording of the
    // question). 1 when such a run was started: this one should then end.
    virtual int OfferElevation(void* view, const char* text, const char* offer, const char* caption)
    {
        (void)offer;
        Inform(view, text, caption);
        return 0;
    }
    virtual uint32_t Ticks() = 0;
    // Whether the progress pause should wait at all (a terminal has nothing to repaint).
    virtual int WantsPause() { return 1; }
};
