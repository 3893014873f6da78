// The patch interpreter: rebuilds one file from literal bytes and ranges of its old version.
#include "script.h"
#include "reader.h"
#include "stream.h"

namespace {

const uint32_t kNoPosition = 0xFFFFFFFFu;

// Adds n to the progress, then lets the host redraw and poll; returns the poll's result.
int Step(UpgradeJob* job, uint32_t n)
{
    job->progressDone += n;
    if (!job->host) return 0;
    job->host->UpdateProgress(job);
    return job->host->PollCancel(job);
}

uint32_t Smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

// A count of the width the opcode's place in its group of three gives: 8, 16 or 32 bits.
uint32_t ReadCount(TQLXStream* package, int width)
{
    return width == 0 ? package->Get() : width == 1 ? package->ReadU16() : package->ReadU32();
}

}  // namespace

ScriptInstruction ReadOperands(TQLXStream* package, uint8_t op)
{
    ScriptInstruction in = {op, 0, 0};
    switch (op) {
    case OpInsert8:
    case OpInsert16:
    case OpInsert32: in.count = ReadCount(package, op - OpInsert8); break;
    case OpSetBase: in.position = (uint32_t)package->ReadU16() << 16; break;
    case OpCopyNear8:
    case OpCopyNear16:
    case OpCopyNear32:
        in.position = package->ReadU16();
        in.count = ReadCount(package, op - OpCopyNear8);
        break;
    case OpCopyFar8:
    case OpCopyFar16:
    case OpCopyFar32:
        in.position = package->ReadU32();
        in.count = ReadCount(package, op - OpCopyFar8);
        break;
    default: break;   // unknown opcodes are one-byte no-ops
    }
    return in;
}

int RunPatchScript(UpgradeJob* job, TQLXStream* oldFile, TQLXStream* output)
{
    if (!job || !job->stream) return 0;
    TQLXStream* package = job->stream;
    uint32_t copyBase = 0;
    // Bytes given to the output by this script, held against the entry's expected size so
    // that no package can make the output grow without bound.
    uint32_t written = 0;
    uint8_t skip[kChunk];

    if (job->host) job->host->UpdateProgress(job);
    for (;;) {
        // The end of the package also reads as 0 and ends the script.
        uint8_t op = package->Get();
        if (op == OpEnd) return 0;

        ScriptInstruction in = ReadOperands(package, op);
        if (op == OpSetBase) copyBase = in.position;
        int fromPackage = in.IsInsert(), fromOld = in.IsCopy();
        uint32_t count = in.count;
        uint32_t position = !fromOld ? kNoPosition : in.IsNear() ? copyBase + in.position : in.position;
        if (fromOld && oldFile && position != kNoPosition) oldFile->Seek(position);

        while (count != 0) {
            uint32_t chunk = count < kChunk ? count : kChunk;
            uint32_t room = output && written < job->outputLimit ? job->outputLimit - written : 0;
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
                    int r = Step(job, count);
                    if (r) return r;
                    break;
                }
            } else if (fromOld) {
                // A copy that can write nothing finishes in one step instead of millions.
                if (!oldFile || room == 0) {
                    int r = Step(job, count);
                    if (r) return r;
                    break;
                }
                uint32_t want = Smaller(chunk, room);
                uint32_t got = CopyBytes(output, oldFile, want);
                written += got;
                // The old file ended or failed: nothing more can come of this copy.
                if (got < want) {
                    int r = Step(job, count);
                    if (r) return r;
                    break;
                }
            }
            count -= chunk;
            int r = Step(job, chunk);
            if (r) return r;
        }
    }
}
