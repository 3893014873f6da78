// Terminal facts on Windows through the C runtime: _isatty and signal(SIGINT), no windows.h.
#include "terminal.h"
#include <io.h>
#include <signal.h>

namespace {

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int)
{
    interrupted = 1;
    // The runtime puts the default action back before calling the handler.
    signal(SIGINT, OnInterrupt);
}

}   // namespace

int IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) ? 1 : 0; }

void CatchInterrupt() { signal(SIGINT, OnInterrupt); }

int TakeInterrupt()
{
    if (!interrupted) return 0;
    interrupted = 0;
    return 1;
}
