// The engine's user interface on a terminal: questions and notices on stderr, a one-line bar.
#pragma once
#include <stdint.h>
#include <string>
#include "ui.h"

// Where the answers to questions come from.
enum AnswerSource { AnswerFromTerminal, AnswerAllYes, AnswerAllNo, AnswerFromList };

class TerminalUi : public UserInterface {
public:
    TerminalUi(AnswerSource source, const std::string& answers, int showBar);

    void* OpenProgress(void* instance, void* ownerWindow, ProgressState* progress) override;
    void CloseProgress(void* view) override;
    void EnableOwner(void*, int) override {}
    void SetCaption(void*, const char*) override {}
    void SetItemText(void* view, int item, const char* text) override;
    void Repaint(void* view) override;
    void DrawBar(void* view, int percent) override;
    void PumpEvents(void* view) override;
    int AskYesNo(void* view, const char* text, const char* caption) override;
    void Inform(void* view, const char* text, const char* caption) override;
    // Files in use: with every answer Yes, tried again for kRetrySeconds; otherwise reported.
    int AskRetry(void* view, const char* text, const char* caption) override;
    uint32_t Ticks() override;
    // Nothing to repaint between updates, so the progress pause would only slow the work.
    int WantsPause() override { return 0; }

private:
    int NextAnswer(const char** echo);
    void ClearBar();
    void DrawLine();

    ProgressState* progress;
    AnswerSource source;
    std::string answers;
    size_t nextAnswer;
    int showBar;
    int barShown;
    int percent;
    std::string operation;
    std::string file;
    int waiting = 0;   // files in use: the wait has begun
    uint32_t waitStart = 0;
};

const int kRetrySeconds = 10;
