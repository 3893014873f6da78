// What every suite that applies a package shares: the scripted user interface the apply talks
// through, and publisher keys.
#pragma once
#include <stdint.h>
#include <deque>
#include <string>
#include <vector>
#include "keyfile.h"
#include "ui.h"

// Records everything the engine shows and answers questions from a script.
class ScriptedUi : public UserInterface {
public:
    // Yes (or No) to every question, no progress pause and no pumps recorded: for runs that care
    // only what the apply does.
    static ScriptedUi Yes();
    static ScriptedUi No();

    std::vector<std::string> events;      // every call, in order
    std::vector<std::string> questions;   // caption + "\n" + text of every question
    std::vector<std::string> infos;       // caption + "\n" + text of every information box
    std::deque<int> answers;              // answers in order; then answer
    int answer = 0;
    std::vector<int> bars;
    int pumpCount = 0;
    int cancelAtPump = -1;     // on this pump (counting from 1), a cancel command arrives
    int cancelEveryPump = 0;   // a cancel command on every pump
    uint32_t now = 1000;
    uint32_t tickStep = 0;         // added to now on every Ticks call
    int sleeps = 0;                // WaitEvents moves now on by the time it is given
    std::vector<uint32_t> waits;   // the milliseconds of every WaitEvents
    int pause = 1;
    int logPumps = 1;
    void* view = (void*)0x1234;
    int ownerEnabled = 1;
    int closed = 0;
    int retryTimes = 0;   // files in use: Retry this many times, then Cancel
    int retries = 0;      // files-in-use questions asked

    ProgressState* progress = nullptr;   // where a cancel command goes

    void* OpenProgress(void* instance, void* ownerWindow, ProgressState* progress) override;
    void CloseProgress(void* view) override;
    void EnableOwner(void* ownerWindow, int enable) override;
    void SetCaption(void* view, const char* text) override;
    void SetItemText(void* view, int item, const char* text) override;
    void Repaint(void* view) override;
    void DrawBar(void* view, int percent) override;
    void PumpEvents(void* view) override;
    void WaitEvents(void*, uint32_t milliseconds) override
    {
        waits.push_back(milliseconds);
        if (sleeps) now += milliseconds;
    }
    int AskYesNo(void* view, const char* text, const char* caption) override;
    void Inform(void* view, const char* text, const char* caption) override;
    // Told like an information box; Retry the first retryTimes times, then Cancel.
    int AskRetry(void* view, const char* text, const char* caption) override;
    uint32_t Ticks() override;
    int WantsPause() override { return pause; }

    // Texts shown in one item, in order.
    std::vector<std::string> ItemTexts(int item) const;
    int Count(const std::string& prefix) const;
};

// A fresh publisher key pair, its private half included.
PublisherKey NewKey();
// The key's public half in PEM, as a pin file holds it.
std::vector<uint8_t> PemOf(const PublisherKey& key);
