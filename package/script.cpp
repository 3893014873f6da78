// The patch interpreter: rebuilds one file from literal bytes and ranges of its old version.
#include "script.h"
#include "stream.h"

namespace {

const uint32_t kNoPosition = 0xFFFFFFFFu;

// Reports n more bytes done, then polls; returns the poll's result.
int Step(ScriptRun* run, uint32_t n)
{
    if (!run->progress) return 0;
    run->progress->Advance(n);
    return run->progress->Poll();
}

uint32_t Smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

uint32_t Le(const uint8_t* b, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | b[i];
    return v;
}

// Bytes of a count by the opcode's place in its group of three: 8, 16 or 32 bits.
int CountWidth(int place) { return place == 0 ? 1 : place == 1 ? 2 : 4; }

}   // namespace

ScriptInstruction ReadOperands(Stream* package, uint8_t op)
{
    ScriptInstruction in = {op, 0, 0, 0};
    // Position bytes, then count bytes, read in one call: a script has a million of them.
    int positionBytes = 0, countBytes = 0;
    switch (op) {
    case OpInsert8:
    case OpInsert16:
    case OpInsert32: countBytes = CountWidth(op - OpInsert8); break;
    case OpSetBase: positionBytes = 2; break;
    case OpCopyNear8:
    case OpCopyNear16:
    case OpCopyNear32:
        positionBytes = 2;
        countBytes = CountWidth(op - OpCopyNear8);
        break;
    case OpCopyFar8:
    case OpCopyFar16:
    case OpCopyFar32:
        positionBytes = 4;
        countBytes = CountWidth(op - OpCopyFar8);
        break;
    default: return in;   // unknown opcodes are one-byte no-ops
    }
    // Bytes the package no longer has read as zero and mark the instruction as cut: a file
    // stream reports a short read by its count, not by its flag.
    uint8_t b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t want = positionBytes + countBytes;
    in.cut = package->Read(b, want) != want;
    in.position = Le(b, positionBytes);
    if (op == OpSetBase) in.position <<= 16;
    in.count = Le(b + positionBytes, countBytes);
    // Raised here, so that the scripts after a cut one see that the package has ended.
    if (in.cut) package->SetError();
    return in;
}

int RunPatchScript(Stream* package, ScriptRun* run, Stream* oldFile, Stream* output)
{
    if (!package || !run) return 0;
    uint32_t copyBase = 0;
    // Bytes given to the output by this script, held against the entry's expected size so
    // that no package can make the output grow without bound.
    uint32_t written = 0;
    uint8_t skip[kChunk];
    run->outputOverrun = 0;
    // A package that ended before this script holds none of it.
    run->scriptCut = package->HasError();

    if (run->progress) run->progress->Advance(0);
    for (;;) {
        // The end of the package also reads as 0 and ends the script: where an opcode would
        // stand, that is the script's End, written or not.
        uint8_t op = package->Get();
        if (op == OpEnd) return 0;

        ScriptInstruction in = ReadOperands(package, op);
        if (op == OpSetBase) copyBase = in.position;
        int fromPackage = in.IsInsert(), fromOld = in.IsCopy();
        uint32_t count = in.count;
        uint32_t position = !fromOld ? kNoPosition : in.IsNear() ? copyBase + in.position : in.position;
        if (in.cut || package->HasError()) run->scriptCut = 1;
        if (fromOld && oldFile && position != kNoPosition) oldFile->Seek(position);

        while (count != 0) {
            uint32_t chunk = count < kChunk ? count : kChunk;
            uint32_t room = output && written < run->outputLimit ? run->outputLimit - written : 0;
            // Literal bytes that exist but may not be written: the script is longer than its
            // file. A copy's count may run past the end of the old file, so only what the old
            // file still holds beyond the room counts (found below).
            if (output && chunk > room && fromPackage) run->outputOverrun = 1;
            if (fromPackage) {
                uint32_t got;
                if (room >= chunk) {
                    got = CopyBytes(output, package, chunk);
                    written += got;
                } else {
                    // Past the limit or without output the literal bytes are only read past, so
                    // that the package stays in step.
                    int32_t n = package->Read(skip, (int32_t)chunk);
                    got = n > 0 ? (uint32_t)n : 0;
                    uint32_t keep = Smaller(room, got);
                    if (keep) {
                        output->Write(skip, keep);
                        written += keep;
                    }
                }
                // The package ended inside its literal data: reading on would only fail again.
                if (got < chunk) {
                    run->scriptCut = 1;
                    int r = Step(run, count);
                    if (r) return r;
                    break;
                }
            } else if (fromOld) {
                uint32_t want = Smaller(chunk, room);
                uint32_t got = oldFile && want ? CopyBytes(output, oldFile, want) : 0;
                written += got;
                // A copy that can write no more finishes in one step instead of millions: the
                // old file ended or failed, or the room is used up. Then one byte more of the
                // old file tells a script longer than its file from a count that only runs
                // past the old file's end.
                if (!oldFile || got < chunk) {
                    uint8_t more;
                    if (output && oldFile && got == want && oldFile->Read(&more, 1) == 1) run->outputOverrun = 1;
                    int r = Step(run, count);
                    if (r) return r;
                    break;
                }
            }
            count -= chunk;
            int r = Step(run, chunk);
            if (r) return r;
        }
    }
}
