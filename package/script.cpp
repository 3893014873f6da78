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

}  // namespace

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

        int fromPackage = 0, fromOld = 0;
        uint32_t position = kNoPosition, count = 0;
        switch (op) {
        case OpInsert8: fromPackage = 1; count = package->Get(); break;
        case OpInsert16: fromPackage = 1; count = package->ReadU16(); break;
        case OpInsert32: fromPackage = 1; count = package->ReadU32(); break;
        case OpSetBase: copyBase = (uint32_t)package->ReadU16() << 16; break;
        case OpCopyNear8:
        case OpCopyNear16:
        case OpCopyNear32: {
            fromOld = 1;
            position = copyBase + package->ReadU16();
            count = op == OpCopyNear8 ? package->Get() : op == OpCopyNear16 ? package->ReadU16() : package->ReadU32();
            break;
        }
        case OpCopyFar8:
        case OpCopyFar16:
        case OpCopyFar32: {
            fromOld = 1;
            position = package->ReadU32();
            count = op == OpCopyFar8 ? package->Get() : op == OpCopyFar16 ? package->ReadU16() : package->ReadU32();
            break;
        }
        default: break;   // unknown opcodes are one-byte no-ops
        }
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
