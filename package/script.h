// Patch scripts: the opcodes and the interpreter that rebuilds a file from its old version.
#pragma once
#include <stdint.h>

class TQLXStream;
struct UpgradeJob;

enum ScriptOp {
    OpEnd = 0,
    OpInsert8 = 1,
    OpInsert16 = 2,
    OpInsert32 = 3,
    OpSetBase = 4,
    OpCopyNear8 = 5,
    OpCopyNear16 = 6,
    OpCopyNear32 = 7,
    OpCopyFar8 = 8,
    OpCopyFar16 = 9,
    OpCopyFar32 = 10
};

const uint32_t kChunk = 256;   // bytes between progress updates and cancellation polls

// Runs one script from the job's package stream, writing to output (or nothing) from the old
// file (or none). Consumes the script up to and including its End byte unless a poll stops it.
// Calls the job host's UpdateProgress at the start and after every chunk, then PollCancel.
// Output beyond job->outputLimit is not written, and copies that can write nothing advance
// progress without reading. Returns 0 at the end, or the poll's non-zero result.
int RunPatchScript(UpgradeJob* job, TQLXStream* oldFile, TQLXStream* output);
