// The apply procedure: pre-check, build into the scratch folder, commit.
#pragma once
#include <stdint.h>

struct UpgradeJob;
struct FileEntry;

// 1 when the commit ran to its end; 0 when preconditions fail, the person cancels or a
// policy stops the apply. Needs a valid job with a UI text table and an EngineHost.
int ApplyUpgrade(UpgradeJob* job);
int AskAboutEntry(UpgradeJob* job, FileEntry* entry, int thirdLine, int lastLine);
// Removes the working and the temporary file of every table position, then the scratch
// folder; 1 when the folder is gone.
int CleanScratchFolder(UpgradeJob* job);
const char* UiLine(UpgradeJob* job, int n);
const char* UiPart(UpgradeJob* job, int n, int k);

// What the pre-check alone finds for one entry, without asking or touching anything.
// Returns an EntryState value; the line number of the finding (9..15) goes to *line, 0 when
// the entry would apply cleanly.
int CheckEntry(UpgradeJob* job, int index, int* line);
