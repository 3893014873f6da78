// Fuzz target: the builder's delta encoder and the patch interpreter together. Every script
// the encoder writes must rebuild the new bytes exactly, and so must inserting whole, which the
// builder keeps where the delta is not expected to ship smaller.
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "delta.h"
#include "fuzzcommon.h"
#include "memstream.h"
#include "memview.h"
#include "pkgwriter.h"
#include "script.h"
#include "stream.h"

namespace {

// Enough for several windows and bases; more only slows the search down. A new version gets at
// most 16 bytes per input byte (at least 4 KiB): runs of 257 times a length byte would turn a
// few bytes of input into 128 KiB, and every input would cost as much as the largest.
const size_t kMaxNew = 1u << 17;
const size_t kNewPerInputByte = 16;
const size_t kMinNewLimit = 4096;

uint32_t Le16(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }

// The new version: old's bytes rearranged by 4-byte ops (kind, position, length). Copies keep
// long matches for the encoder to find; inserts and flips break them.
std::vector<uint8_t> Derive(const std::vector<uint8_t>& old, const uint8_t* ops, size_t n, size_t limit)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 4 <= n && out.size() < limit; i += 4) {
        uint32_t kind = ops[i] & 3;
        uint32_t length = ops[i + 3] * (ops[i] & 4 ? 257u : 1u);
        uint32_t at = old.empty() ? 0 : Le16(ops + i + 1) * (ops[i] & 8 ? 3u : 1u) % old.size();
        size_t take = old.size() - at < length ? old.size() - at : length;
        switch (kind) {
        case 0: out.insert(out.end(), old.begin() + at, old.begin() + at + take); break;
        case 1:
            for (uint32_t k = 0; k < length; k++) out.push_back((uint8_t)(ops[i + 1] + k * ops[i + 2]));
            break;
        case 2: out.insert(out.end(), length, out.empty() ? ops[i + 1] : out.back()); break;
        case 3:
            out.insert(out.end(), old.begin() + at, old.begin() + at + take);
            if (take) out[out.size() - 1 - ops[i + 2] % take] ^= 0x5A;
            break;
        }
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

// A package of one Add entry of the given size whose script is the given bytes.
std::string ScriptPackage(const uint8_t* script, uint32_t length, uint32_t newSize, uint32_t* scriptStart)
{
    PkgPlan plan;
    plan.title = plan.notes = "";
    PkgEntry e;
    e.name = "f";
    e.newPrint.size = newSize;
    plan.entries.push_back(e);
    PkgLayout layout;
    std::vector<uint8_t> pkg = WritePackage(plan, &layout);
    *scriptStart = (uint32_t)layout.scriptsStart;
    pkg.insert(pkg.end(), script, script + length);
    std::string path = FuzzPath("roundtrip.upg");
    FuzzWriteFile(path, pkg.data(), pkg.size());
    return path;
}

// Runs script from a package against old; it must end exactly at its End byte and rebuild newer.
void Replay(const MemoryStream& script, std::vector<uint8_t>& old, const std::vector<uint8_t>& newer)
{
    uint32_t start = 0;
    std::string path = ScriptPackage(script.block, script.length, (uint32_t)newer.size(), &start);
    PackageTable job(path.c_str());
    FUZZ_CHECK(job.IsValid() && job.stream->Tell() == start);
    CountingProgress host;
    ScriptRun run;
    run.progress = &host;
    run.outputLimit = (uint32_t)newer.size();
    // Views and a comparing output move whole blocks, where the flat streams go byte by byte.
    ByteViewStream oldFile(old.data(), (uint32_t)old.size());
    ByteViewStream expected(newer.data(), (uint32_t)newer.size());
    CompareStream out(&expected);
    uint32_t before = host.done;
    FUZZ_CHECK(RunPatchScript(job.stream.get(), &run, &oldFile, &out) == 0);
    FUZZ_CHECK(job.stream->Tell() == start + script.length && !job.stream->HasError());
    FUZZ_CHECK(host.done - before == (uint32_t)newer.size());
    FUZZ_CHECK(out.Same() && out.written == newer.size());
}

}   // namespace

// Input: old length (u16, plus 64 KiB when bit 7 of the next byte is set, cut to what follows),
// a window selector in the low bits of that byte, the old bytes, then the ops that derive the
// new bytes from them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    size_t oldSize = Le16(data) + (data[2] & 0x80 ? 0x10000u : 0u);
    // Small windows put window edges inside matches; 0 is the encoder's default.
    static const uint32_t kWindows[] = {0, 1, 7, 64, 300, 4096};
    uint32_t window = kWindows[(data[2] & 0x7F) % 6];
    const uint8_t* rest = data + 3;
    size_t left = size - 3;
    if (oldSize > left) oldSize = left;
    std::vector<uint8_t> old(rest, rest + oldSize);
    size_t limit = std::min(kMaxNew, std::max(kMinNewLimit, kNewPerInputByte * size));
    std::vector<uint8_t> newer = Derive(old, rest + oldSize, left - oldSize, limit);

    OldIndex index;
    FUZZ_CHECK(BuildOldIndex(old.data(), (uint32_t)old.size(), &index));
    ByteViewStream newFile(newer.data(), (uint32_t)newer.size());
    MemoryStream delta(4096, 65536);
    DeltaStats stats;
    memset(&stats, 0, sizeof stats);
    FUZZ_CHECK(WriteDeltaScript(&index, &newFile, (uint32_t)newer.size(), &delta, &stats, window) == 1);
    FUZZ_CHECK(!delta.HasError() && delta.length == stats.scriptBytes);
    FUZZ_CHECK(stats.insertedBytes + stats.copiedBytes == newer.size());
    Replay(delta, old, newer);

    // A delta not expected to ship smaller than inserting whole gives way to that, as the
    // builder does.
    const uint64_t whole = WholeInsertScriptSize((uint32_t)newer.size());
    if (PreferWholeInsert(stats)) {
        ByteViewStream again(newer.data(), (uint32_t)newer.size());
        MemoryStream insert(4096, 65536);
        DeltaStats wholeStats;
        FUZZ_CHECK(WriteInsertScript(&again, (uint32_t)newer.size(), &insert, &wholeStats) == 1);
        FUZZ_CHECK(!insert.HasError() && insert.length == whole && wholeStats.scriptBytes == whole);
        Replay(insert, old, newer);
    }
    return 0;
}
