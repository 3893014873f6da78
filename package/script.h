// Patch scripts: the opcodes and the interpreter that rebuilds a file from its old version.
#pragma once
#include <stdint.h>

class Stream;
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

// One instruction as its opcode and operands declare it; the literal bytes of an insert
// follow it in the package unread.
struct ScriptInstruction {
    uint8_t op;
    uint32_t count;      // bytes an insert carries or a copy takes
    uint32_t position;   // a far copy's source, a near copy's offset from the base, or the new base
    int cut;             // the package ended inside the operands; the missing bytes read as 0
    int IsInsert() const { return op >= OpInsert8 && op <= OpInsert32; }
    int IsCopy() const { return op >= OpCopyNear8 && op <= OpCopyFar32; }
    int IsNear() const { return op >= OpCopyNear8 && op <= OpCopyNear32; }
};

// Reads the operands of op, whose byte was just read, from the package: the one decoder of
// the opcodes, for the interpreter and the scanner alike. Unknown opcodes have no operands;
// a package that ends inside them reads its missing bytes as 0, sets cut and raises the
// stream's error flag.
ScriptInstruction ReadOperands(Stream* package, uint8_t op);

const uint32_t kChunk = 256;   // bytes between progress updates and cancellation polls

// Runs one script from the job's package stream, writing to output (or nothing) from the old
// file (or none). Consumes the script up to and including its End byte unless a poll stops it.
// Calls the job host's UpdateProgress at the start and after every chunk, then PollCancel.
// Output beyond job->outputLimit is not written; bytes that exist beyond it (literal bytes,
// or old-file bytes a copy reaches) raise job->outputOverrun, a copy count that only runs past
// the old file's end does not. A package that ends anywhere but where an opcode would stand
// raises job->scriptCut. A copy that can write no more finishes in one step, reading at most
// one byte more to tell the two apart. Returns 0 at the end, or the poll's non-zero result.
int RunPatchScript(UpgradeJob* job, Stream* oldFile, Stream* output);
