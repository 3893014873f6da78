// Terminal facts on POSIX: isatty and a SIGINT handler that only sets a flag.
#include "terminal.h"
#include <signal.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

}   // namespace

int IsTerminal(FILE* stream) { return isatty(fileno(stream)) ? 1 : 0; }

void CatchInterrupt()
{
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // A question being read goes on after Ctrl-C; the next poll asks about cancelling.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

int TakeInterrupt()
{
    if (!interrupted) return 0;
    interrupted = 0;
    return 1;
}
