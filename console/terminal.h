// The few terminal facts the console needs: is a stream a terminal, and did Ctrl-C arrive.
#pragma once
#include <stdio.h>

// 1 when the stream is attached to an interactive terminal.
int IsTerminal(FILE* stream);
// From now on Ctrl-C only records a request instead of ending the program.
void CatchInterrupt();
// 1 once for every Ctrl-C received since the last call.
int TakeInterrupt();
