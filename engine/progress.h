// Progress percentage, the pause that keeps pumping, and the cancel request and confirmation.
#pragma once
#include <stdint.h>

struct UpgradeJob;

// Process-wide, one progress view at a time.
extern int lastPercent;
extern int cancelRequested;
extern int cancelConfirmed;

// The progress view initialises: all three back to 0.
void OnProgressInit();
// Any command reached the progress view.
void OnProgressCommand();

// 1 when the work is to stop: confirmed before, or the person confirms a pending request now.
int PollCancel(UpgradeJob* job);
void MarkCancelled();
// Redraws the bar when the percentage changed, then pauses 100 ms pumping events.
void UpdateProgress(UpgradeJob* job);
void PumpPause(UpgradeJob* job, uint32_t milliseconds);
// percent = done / (total / 100 + 1) + 1, at most 100.
int ProgressPercent(uint32_t done, uint32_t total);
