// Progress percentage, the pause that keeps pumping, and the cancel request and confirmation.
#pragma once
#include <stdint.h>

class ApplySession;

// 1 when the work is to stop: confirmed before, or the person confirms a pending request now.
int PollCancel(ApplySession* host);
// Redraws the bar when the percentage changed, then pauses 100 ms pumping events.
void UpdateProgress(ApplySession* host);
void PumpPause(ApplySession* host, uint32_t milliseconds);
// percent = done / (total / 100 + 1) + 1, at most 100.
int ProgressPercent(uint32_t done, uint32_t total);
