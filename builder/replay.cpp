// Replays a part through the real interpreter over a real package reader.
#include "replay.h"
#include "memview.h"
#include "entries.h"
#include "script.h"
#include "stream.h"
#include <string.h>

void WritePartHeader(Stream* out)
{
    PackageHeader header = {};
    for (int i = 0; i < 8; i++) header.magic[i] = kPackageMagic[i];
    header.version = 1;
    header.entryCount = 0;
    uint8_t bytes[kPartHeaderSize] = {};   // the header, then an empty title and empty notes
    memcpy(bytes, &header, sizeof header);
    out->Write(bytes, sizeof bytes);
}

int ReplayPart(const char* partPath, const uint8_t* old, uint32_t oldSize, const char* newPath, uint32_t newSize,
               ReplayResult* result)
{
    result->written = 0;
    result->firstDifference = 0;
    result->endsAtPartEnd = 0;
    PackageTable job(partPath);
    if (!job.IsValid() || job.stream->Tell() != kPartHeaderSize) return 0;
    // The applier holds every script to its entry's new size; so does the replay.
    ScriptRun run;
    run.outputLimit = newSize;
    FileStream expected(ReadAccess | ShareRead, newPath);
    if (expected.HasError()) return 0;
    ByteViewStream oldView(old, oldSize);
    CompareStream out(&expected);
    RunPatchScript(job.stream.get(), &run, old ? &oldView : nullptr, &out);
    result->written = out.written;
    result->firstDifference = out.firstDifference;
    result->endsAtPartEnd = !job.stream->HasError() && job.stream->Tell() == job.stream->Size();
    uint8_t more;
    int newEnded = expected.Read(&more, 1) == 0;
    if (out.written != newSize && out.Same()) result->firstDifference = out.written < newSize ? out.written : newSize;
    return out.Same() && out.written == newSize && newEnded && result->endsAtPartEnd;
}
