// Fuzz target: one patch script run three ways (output and old file, neither, old file only),
// checked against a small interpreter of its own and for staying in step with the package.
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "fuzzcommon.h"
#include "memstream.h"
#include "script.h"
#include "stream.h"

namespace {

const uint32_t kOldSize = 140000;   // more than two 64 KiB bases
const uint32_t kNone = 0xFFFFFFFFu;

const std::vector<uint8_t>& OldBytes()
{
    static std::vector<uint8_t> old;
    if (old.empty()) {
        old.resize(kOldSize);
        uint32_t x = 2463534242u;
        for (uint8_t& b : old) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = (uint8_t)x;
        }
    }
    return old;
}

struct Result {
    std::vector<uint8_t> output;   // all of it, before any limit
    size_t consumed = 0;           // script bytes read, End included
    uint32_t counted = 0;          // sum of the counts, as progress counts them
};

// The interpreter as the format defines it, over a file-like old file: a seek past the end
// succeeds and reads nothing, one to 2 GiB or beyond fails; bytes that do not arrive read as zero.
Result Reference(const uint8_t* s, size_t n, bool haveOld, size_t outputCap)
{
    const std::vector<uint8_t>& old = OldBytes();
    Result r;
    size_t at = 0;
    auto get = [&]() -> uint32_t { return at < n ? s[at++] : 0u; };
    auto u16 = [&]() {
        uint32_t lo = get();
        return lo | get() << 8;
    };
    auto u32 = [&]() {
        uint32_t lo = u16();
        return lo | u16() << 16;
    };
    uint32_t base = 0, oldAt = 0;
    for (;;) {
        uint32_t op = get();
        if (op == 0) break;
        uint32_t count = 0, position = kNone;
        bool literal = false, copy = false;
        switch (op) {
        case 1:
            literal = true;
            count = get();
            break;
        case 2:
            literal = true;
            count = u16();
            break;
        case 3:
            literal = true;
            count = u32();
            break;
        case 4: base = u16() << 16; break;
        case 5:
            copy = true;
            position = base + u16();
            count = get();
            break;
        case 6:
            copy = true;
            position = base + u16();
            count = u16();
            break;
        case 7:
            copy = true;
            position = base + u16();
            count = u32();
            break;
        case 8:
            copy = true;
            position = u32();
            count = get();
            break;
        case 9:
            copy = true;
            position = u32();
            count = u16();
            break;
        case 10:
            copy = true;
            position = u32();
            count = u32();
            break;
        default: break;
        }
        r.counted += count;
        if (literal) {
            size_t take = n - at < count ? n - at : count;
            if (r.output.size() < outputCap) r.output.insert(r.output.end(), s + at, s + at + take);
            at += take;
        } else if (copy && haveOld) {
            // As on Windows, a seek to 2 GiB or beyond fails and leaves the position alone.
            if (position != kNone && position < 0x80000000u) oldAt = position;
            if (oldAt < old.size()) {
                size_t take = old.size() - oldAt < count ? old.size() - oldAt : count;
                if (r.output.size() < outputCap)
                    r.output.insert(r.output.end(), old.begin() + oldAt, old.begin() + oldAt + take);
                oldAt += (uint32_t)take;
            }
        }
    }
    r.consumed = at < n ? at : n;
    return r;
}

struct Run {
    std::vector<uint8_t> output;
    uint32_t packageAt = 0;
    uint32_t progress = 0;
    uint64_t polls = 0;
    uint64_t updates = 0;
};

Run RunOnce(const std::string& package, bool withOld, bool withOutput, uint32_t limit)
{
    static std::string oldPath;
    if (oldPath.empty()) {
        oldPath = FuzzPath("old.bin");
        FuzzWriteFile(oldPath, OldBytes().data(), OldBytes().size());
    }
    PackageTable job(package.c_str());
    FUZZ_CHECK(job.IsValid());
    CountingProgress host;
    ScriptRun state;
    state.progress = &host;
    state.outputLimit = limit;
    FileStream* old = withOld ? new FileStream(ReadAccess, oldPath.c_str()) : nullptr;
    if (old) old->CacheBlocks();   // as the apply reads old files
    FUZZ_CHECK(!old || !old->HasError());
    MemoryStream* out = withOutput ? new MemoryStream(4096, 65536) : nullptr;
    uint32_t before = host.done;
    int r = RunPatchScript(job.stream.get(), &state, old, out);
    FUZZ_CHECK(r == 0);
    Run run;
    if (out) {
        FUZZ_CHECK(!out->HasError());
        run.output.assign(out->block, out->block + out->length);
    }
    run.packageAt = job.stream->Tell();
    run.progress = host.done - before;
    run.polls = host.polls;
    run.updates = host.updates;
    delete old;
    delete out;
    return run;
}

}   // namespace

// Input: flags byte (bit 0: a Patch entry with an old file, else an Add entry without one),
// a 16-bit output limit in units of 4 bytes, then the script.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    bool patch = data[0] & 1;
    uint32_t limit = (uint32_t)(data[1] | data[2] << 8) * 4u;
    const uint8_t* script = data + 3;
    size_t scriptSize = size - 3;

    std::vector<uint8_t> pkg = {'[', 'Q', 'Z', 'U', 'P', 'D', ']', 0, 1, 1, 0, 0, 0};
    pkg.push_back(patch ? 1 : 0);
    pkg.push_back('f');
    pkg.push_back(0);
    pkg.push_back(0);
    uint8_t print[10] = {0, 0, 0, 0, (uint8_t)limit, (uint8_t)(limit >> 8), (uint8_t)(limit >> 16), 0, 0, 0};
    if (patch) pkg.insert(pkg.end(), print, print + 10);
    pkg.insert(pkg.end(), print, print + 10);
    const uint32_t scriptsStart = (uint32_t)pkg.size();
    pkg.insert(pkg.end(), script, script + scriptSize);
    std::string path = FuzzPath("script.upg");
    FuzzWriteFile(path, pkg.data(), pkg.size());

    Result ref = Reference(script, scriptSize, patch, limit);
    Run full = RunOnce(path, patch, true, limit);
    Run bare = RunOnce(path, false, false, limit);
    Run oldOnly = RunOnce(path, patch, false, limit);

    // Every way of running it consumes exactly one script and counts the same progress.
    for (const Run* r : {&full, &bare, &oldOnly}) {
        FUZZ_CHECK(r->packageAt == scriptsStart + ref.consumed);
        FUZZ_CHECK(r->progress == ref.counted);
        FUZZ_CHECK(r->updates == r->polls + 1);
        // A poll per 256 bytes produced, plus at most a few per instruction: never millions
        // of empty steps.
        FUZZ_CHECK(r->polls <= 3 * ref.consumed + limit / kChunk + 2);
    }
    FUZZ_CHECK(bare.output.empty() && oldOnly.output.empty());
    // The output is the defined one, cut at the expected size.
    size_t expect = ref.output.size() < limit ? ref.output.size() : limit;
    FUZZ_CHECK(full.output.size() == expect);
    FUZZ_CHECK(std::equal(full.output.begin(), full.output.end(), ref.output.begin()));
    return 0;
}
