// Fuzz target: the script scanner behind `upg inspect`, over a package file and over memory,
// checked against the patch interpreter for where each script ends and how much it declares.
#include <string.h>
#include <string>
#include <vector>
#include "fuzzcommon.h"
#include "scriptscan.h"
#include "memstream.h"
#include "pkgwriter.h"
#include "script.h"
#include "stream.h"

namespace {

// A package of `scripts` Add entries followed by the bytes given as their scripts.
std::vector<uint8_t> Package(int scripts, const uint8_t* body, size_t size, uint32_t* scriptsStart)
{
    PkgPlan plan;
    plan.title = plan.notes = "";
    PkgEntry e;
    e.name = "f";
    e.newPrint.size = 256;
    plan.entries.assign((size_t)scripts, e);
    PkgLayout layout;
    std::vector<uint8_t> pkg = WritePackage(plan, &layout);
    *scriptsStart = (uint32_t)layout.scriptsStart;
    pkg.insert(pkg.end(), body, body + size);
    return pkg;
}

}   // namespace

// Input: one byte whose low two bits give the number of scripts less one, then the scripts.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const int scripts = (data[0] & 3) + 1;
    const uint8_t* body = data + 1;
    const size_t bodySize = size - 1;
    uint32_t start = 0;
    std::vector<uint8_t> pkg = Package(scripts, body, bodySize, &start);
    std::string path = FuzzPath("scan.upg");
    FuzzWriteFile(path, pkg.data(), pkg.size());

    std::vector<ScriptFigures> figures;
    std::vector<uint32_t> ends;
    {
        PackageTable scanned(path.c_str());
        FUZZ_CHECK(scanned.IsValid() && scanned.stream->Tell() == start);
        std::vector<uint8_t> copy(body, body + bodySize);
        MemoryStream memory(copy.data(), (uint32_t)copy.size(), (uint32_t)copy.size());
        for (int i = 0; i < scripts; i++) {
            uint32_t from = scanned.stream->Tell();
            ScriptFigures f = ScanScript(scanned.stream.get());
            uint32_t to = scanned.stream->Tell();
            // The scanner reads the same from any stream class.
            ScriptFigures m = ScanScript(&memory);
            FUZZ_CHECK(m.instructions == f.instructions && m.literal == f.literal && m.copied == f.copied &&
                       m.ended == f.ended && memory.Tell() + start == to);
            FUZZ_CHECK(to >= from && to <= pkg.size());
            FUZZ_CHECK(f.instructions <= to - from);
            FUZZ_CHECK(f.ended || scanned.stream->HasError());
            // Every literal byte a whole script declares lies inside it.
            if (f.ended) {
                FUZZ_CHECK(f.literal <= to - from);
            }
            figures.push_back(f);
            ends.push_back(to);
            if (!f.ended) break;
        }
    }

    // The interpreter, without an old file, stops where the scanner stops, counts what a whole
    // script declares as progress and writes exactly its literal bytes.
    PackageTable table(path.c_str());
    FUZZ_CHECK(table.IsValid());
    CountingProgress host;
    ScriptRun run;
    run.progress = &host;
    run.outputLimit = 1u << 20;
    for (size_t i = 0; i < figures.size(); i++) {
        const ScriptFigures& f = figures[i];
        MemoryStream out(4096, 65536);
        uint32_t before = host.done;
        FUZZ_CHECK(RunPatchScript(table.stream.get(), &run, nullptr, &out) == 0);
        FUZZ_CHECK(table.stream->Tell() == ends[i]);
        if (f.ended) {
            FUZZ_CHECK(host.done - before == (uint32_t)f.Output());
            FUZZ_CHECK(out.length == f.literal);
        }
    }
    return 0;
}
