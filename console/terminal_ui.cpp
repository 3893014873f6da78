// Terminal interface: each question is its caption, the text a message box would show, and a
// [y/N] prompt; the bar is one line redrawn in place and cleared before anything is printed.
#include "terminal_ui.h"
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include "os.h"
#include "terminal.h"

namespace {

const size_t kLineWidth = 79;
const int kBarCells = 20;

}   // namespace

TerminalUi::TerminalUi(AnswerSource source, const std::string& answers, int showBar)
    : progress(nullptr), source(source), answers(answers), nextAnswer(0), showBar(showBar), barShown(0), percent(0)
{
}

void* TerminalUi::OpenProgress(void*, void*, ProgressState* state)
{
    progress = state;
    percent = 0;
    return this;
}

void TerminalUi::CloseProgress(void*) { ClearBar(); }

void TerminalUi::SetItemText(void*, int item, const char* text)
{
    if (item == IDC_PROGRESS_OPERATION) operation = text;
    if (item == IDC_PROGRESS_FILE) file = text;
}

void TerminalUi::Repaint(void*) { DrawLine(); }

void TerminalUi::DrawBar(void*, int p)
{
    percent = p;
    DrawLine();
}

void TerminalUi::PumpEvents(void*)
{
    if (TakeInterrupt() && progress) progress->OnCommand();
}

int TerminalUi::NextAnswer(const char** echo)
{
    int yes = 0;
    switch (source) {
    case AnswerAllYes: yes = 1; break;
    case AnswerAllNo: yes = 0; break;
    case AnswerFromList:
        yes = nextAnswer < answers.size() && tolower((unsigned char)answers[nextAnswer]) == 'y';
        if (nextAnswer < answers.size()) nextAnswer++;
        break;
    case AnswerFromTerminal: {
        if (!IsTerminal(stdin)) break;
        char line[64];
        *echo = "";
        if (!fgets(line, sizeof line, stdin)) {
            *echo = "n\n";
            return 0;
        }
        const char* p = line;
        while (*p == ' ' || *p == '\t') p++;
        return tolower((unsigned char)p[0]) == 'y';
    }
    }
    *echo = yes ? "y\n" : "n\n";
    return yes;
}

int TerminalUi::AskYesNo(void*, const char* text, const char* caption)
{
    ClearBar();
    fprintf(stderr, "%s\n%s\n[y/N] ", caption, text);
    fflush(stderr);
    const char* echo = "n\n";
    int yes = NextAnswer(&echo);
    fputs(echo, stderr);
    fflush(stderr);
    return yes;
}

void TerminalUi::Inform(void*, const char* text, const char* caption)
{
    ClearBar();
    fprintf(stderr, "%s\n%s\n", caption, text);
    fflush(stderr);
}

int TerminalUi::AskRetry(void* view, const char* text, const char* caption)
{
    if (source == AnswerAllYes) {
        uint32_t now = Os().ticks();
        if (!waiting) {
            waiting = 1;
            waitStart = now;
            ClearBar();
            fprintf(stderr, "%s\n%s\nWaiting up to %d seconds for them to be closed...\n", caption, text,
                    kRetrySeconds);
            fflush(stderr);
        }
        if (now - waitStart < (uint32_t)kRetrySeconds * 1000) {
            Os().pause(250);
            return 1;
        }
    }
    Inform(view, text, caption);
    return 0;
}

uint32_t TerminalUi::Ticks() { return Os().ticks(); }

void TerminalUi::ClearBar()
{
    if (!barShown) return;
    fprintf(stderr, "\r%*s\r", (int)kLineWidth, "");
    fflush(stderr);
    barShown = 0;
}

void TerminalUi::DrawLine()
{
    if (!showBar) return;
    char bar[kBarCells + 1];
    int filled = percent * kBarCells / 100;
    for (int i = 0; i < kBarCells; i++) bar[i] = i < filled ? '#' : '.';
    bar[kBarCells] = 0;
    char tail[48];
    snprintf(tail, sizeof tail, " [%s] %3d%%", bar, percent);
    // Operation and file share what the bar leaves of the line; a long name keeps its end.
    size_t room = kLineWidth - strlen(tail);
    std::string head = operation + " " + file;
    if (head.size() > room) head = "..." + head.substr(head.size() - (room - 3));
    fprintf(stderr, "\r%-*s%s", (int)room, head.c_str(), tail);
    fflush(stderr);
    barShown = 1;
}
