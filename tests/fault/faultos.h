// A platform table for tests: wraps the native one, fails chosen calls and records every change.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// The kinds of call that can be made to fail; each is counted on its own.
enum FaultKind {
    FaultOpen,
    FaultRead,
    FaultWrite,
    FaultSeek,
    FaultSetTimes,
    FaultRemoveFile,
    FaultMove,
    FaultMakeFolder,
    FaultRemoveFolder,
    FaultFlush,   // a file or a folder forced onto the disk
    FaultKinds
};
const char* FaultKindName(int kind);

struct FaultPlan {
    // Fail call number failAt[k] (1-based) of kind k; 0 fails none.
    uint64_t failAt[FaultKinds] = {};
    // From write number diskFullFrom on (1-based), every write and every folder creation fails
    // as on a full disk; the first failing write still puts half of its bytes. 0: never.
    uint64_t diskFullFrom = 0;
    // Opens, deletions and renames of this path fail as for a file another program holds open.
    std::string lockedPath;
    // From change number freezeFrom on (1-based; opens for writing, writes, time stamps,
    // flushes, deletions, renames, folder creations and removals, counted together), every
    // change fails and does nothing, as if the process had been killed there; reads go on.
    // 0: never.
    uint64_t freezeFrom = 0;
    // Renames number busyMoveFrom to busyMoveFrom + busyMoves - 1 (1-based) fail as when a
    // scanner holds the file for a moment: a sharing violation, which lastFailure reports busy.
    uint64_t busyMoveFrom = 0, busyMoves = 0;
    // Deleting this path fails as for a running program's file (busy), however often it is
    // tried, and under the name it is renamed to as well.
    std::string undeletablePath;
    // The first inUseProbes probes of this path report it in use, held by inUseHolder.
    std::string inUsePath, inUseHolder;
    uint64_t inUseProbes = 0;
    // The target folder's rights as folderWritable reports them: 0 makes every folder read-only.
    int foldersWritable = 1;
};

// What the wrapped table saw since the last FaultReset.
struct FaultLog {
    uint64_t calls[FaultKinds] = {};
    uint64_t injected = 0;              // calls that failed on purpose
    std::vector<std::string> changed;   // every path written, created, removed or renamed
    uint64_t largestWrite = 0;          // most bytes put into one file through one handle
    uint64_t changes = 0;               // changing calls, as freezeFrom counts them
    uint64_t pausedMs = 0;              // waited through pause, on the table's own clock
    uint64_t probes = 0;                // probeFile calls
};

// The wrapper's pause waits on a clock of its own (ticks run on by what was paused), so that
// retries cost a test no time.
// Installs the wrapping table (SetOs) with the given plan and clears the log; FaultRemove puts
// the native table back. The wrapper is process-wide, like the seam it wraps.
void FaultInstall(const FaultPlan& plan);
void FaultRemove();
const FaultLog& FaultSeen();

// Installs a plan for one scope.
class FaultScope {
public:
    explicit FaultScope(const FaultPlan& plan) { FaultInstall(plan); }
    ~FaultScope() { FaultRemove(); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};
