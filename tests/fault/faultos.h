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
};

// What the wrapped table saw since the last FaultReset.
struct FaultLog {
    uint64_t calls[FaultKinds] = {};
    uint64_t injected = 0;                 // calls that failed on purpose
    std::vector<std::string> changed;      // every path written, created, removed or renamed
    uint64_t largestWrite = 0;             // most bytes put into one file through one handle
    uint64_t changes = 0;                  // changing calls, as freezeFrom counts them
};

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
