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

// Bytes of op's position and count operands; 0 and 0 for an unknown opcode, a one-byte no-op.
void OperandWidths(uint8_t op, int* positionBytes, int* countBytes)
{
    *positionBytes = *countBytes = 0;
    switch (op) {
    case OpInsert8:
    case OpInsert16:
    case OpInsert32: *countBytes = CountWidth(op - OpInsert8); break;
    case OpSetBase: *positionBytes = 2; break;
    case OpCopyNear8:
    case OpCopyNear16:
    case OpCopyNear32:
        *positionBytes = 2;
        *countBytes = CountWidth(op - OpCopyNear8);
        break;
    case OpCopyFar8:
    case OpCopyFar16:
    case OpCopyFar32:
        *positionBytes = 4;
        *countBytes = CountWidth(op - OpCopyFar8);
        break;
    default: break;
    }
}

ScriptInstruction Decode(uint8_t op, const uint8_t* b, int positionBytes, int countBytes)
{
    ScriptInstruction in = {op, 0, 0, 0};
    in.position = Le(b, positionBytes);
    if (op == OpSetBase) in.position <<= 16;
    in.count = Le(b + positionBytes, countBytes);
    return in;
}

// The longest instruction: opcode, a 32-bit position and a 32-bit count.
const uint32_t kLongestInstruction = 9;

// Package bytes read in place, a window at a time: instructions are decoded and literal bytes
// written straight from the package stream's own buffer, without a call per instruction. The
// stream learns how far it was read (Sync) before anything else uses it.
struct HeldBytes {
    Stream* stream;
    const uint8_t* start;
    const uint8_t* at;
    const uint8_t* end;
    uint32_t Left() const { return (uint32_t)(end - at); }
    void Sync()
    {
        if (at != start) stream->Skip((uint32_t)(at - start));
        start = at = end = nullptr;
    }
    void Refill()
    {
        if (!stream) return;
        Sync();
        uint32_t n = 0;
        start = at = stream->Held(&n);
        end = at ? at + n : nullptr;
    }
};

}   // namespace

ScriptInstruction ReadOperands(Stream* package, uint8_t op)
{
    // Position bytes, then count bytes, read in one call.
    int positionBytes, countBytes;
    OperandWidths(op, &positionBytes, &countBytes);
    if (positionBytes + countBytes == 0) return ScriptInstruction{op, 0, 0, 0};
    // Bytes the package no longer has read as zero and mark the instruction as cut: a file
    // stream reports a short read by its count, not by its flag.
    uint8_t b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t want = positionBytes + countBytes;
    int cut = package->Read(b, want) != want;
    ScriptInstruction in = Decode(op, b, positionBytes, countBytes);
    in.cut = cut;
    // Raised here, so that the scripts after a cut one see that the package has ended.
    if (cut) package->SetError();
    return in;
}

namespace {

// The next instruction, from the held bytes where a whole one is there, else from the stream.
ScriptInstruction NextInstruction(HeldBytes* held, Stream* package)
{
    if (held->Left() < kLongestInstruction) held->Refill();
    if (held->Left() < kLongestInstruction) {
        held->Sync();
        uint8_t op = package->Get();
        return op == OpEnd ? ScriptInstruction{OpEnd, 0, 0, 0} : ReadOperands(package, op);
    }
    uint8_t op = *held->at++;
    int positionBytes, countBytes;
    OperandWidths(op, &positionBytes, &countBytes);
    ScriptInstruction in = Decode(op, held->at, positionBytes, countBytes);
    held->at += positionBytes + countBytes;
    return in;
}

// The interpreter's loop; the package's held bytes are synced by the caller.
int Interpret(HeldBytes* held, Stream* package, ScriptRun* run, Stream* oldFile, Stream* output)
{
    uint32_t copyBase = 0;
    // Bytes given to the output by this script, held against the entry's expected size so
    // that no package can make the output grow without bound.
    uint32_t written = 0;
    uint8_t skip[kChunk];
    for (;;) {
        // The end of the package also reads as 0 and ends the script: where an opcode would
        // stand, that is the script's End, written or not.
        ScriptInstruction in = NextInstruction(held, package);
        if (in.op == OpEnd) return 0;
        if (in.op == OpSetBase) copyBase = in.position;
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
                if (room >= chunk && held->Left() >= chunk) {
                    output->Write(held->at, chunk);
                    held->at += chunk;
                    got = chunk;
                    written += got;
                } else if (room >= chunk) {
                    held->Sync();
                    got = CopyBytes(output, package, chunk);
                    written += got;
                } else {
                    // Past the limit or without output the literal bytes are only read past, so
                    // that the package stays in step.
                    held->Sync();
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

}   // namespace

int RunPatchScript(Stream* package, ScriptRun* run, Stream* oldFile, Stream* output)
{
    if (!package || !run) return 0;
    run->outputOverrun = 0;
    // A package that ended before this script holds none of it.
    run->scriptCut = package->HasError();
    if (run->progress) run->progress->Advance(0);
    // Held bytes only from a package that is not also the old file or the output.
    HeldBytes held = {package == oldFile || package == output ? nullptr : package, nullptr, nullptr, nullptr};
    int result = Interpret(&held, package, run, oldFile, output);
    held.Sync();
    return result;
}
