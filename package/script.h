// Patch scripts: the opcodes and the interpreter that rebuilds a file from its old version.
#pragma once
#include <stdint.h>

class Stream;

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

// Where the interpreter reports while a script runs: the layer above draws progress and lets
// the person cancel.
class ScriptProgress {
public:
    // n more bytes of the output are done (0 as a script starts).
    virtual void Advance(uint32_t n) = 0;
    // Asked after every step; a non-zero answer stops the script and is its result.
    virtual int Poll() = 0;

protected:
    ~ScriptProgress() {}
};

// The state of one script's run: the limit its caller sets, what the run found, and where it
// reports (none: it runs to its end unwatched).
struct ScriptRun {
    // Bytes the script may write: the entry's expected new size.
    uint32_t outputLimit = 0xFFFFFFFFu;
    // The script would have written past outputLimit: its output is not the entry's new file,
    // whatever the part written may verify as.
    int outputOverrun = 0;
    // The package ended before the script or inside one of its instructions; an end met where
    // the next opcode would stand reads as End and is no cut.
    int scriptCut = 0;
    ScriptProgress* progress = nullptr;
};

// Runs one script from the package stream, writing to output (or nothing) from the old file
// (or none). Consumes the script up to and including its End byte unless a poll stops it.
// Reports Advance(0) at the start and Advance(n) after every chunk, each followed by a Poll.
// Output beyond run->outputLimit is not written; bytes that exist beyond it (literal bytes,
// or old-file bytes a copy reaches) raise run->outputOverrun, a copy count that only runs past
// the old file's end does not. A package that ends anywhere but where an opcode would stand
// raises run->scriptCut. A copy that can write no more finishes in one step, reading at most
// one byte more to tell the two apart. Returns 0 at the end, or the poll's non-zero result.
int RunPatchScript(Stream* package, ScriptRun* run, Stream* oldFile, Stream* output);
