// Damaged and hostile packages: cut at every byte, bits flipped, absurd counts and opcodes.
#include <gtest/gtest.h>
#include <chrono>
#include <string.h>
#include "faultos.h"
#include "entries.h"
#include "sandbox.h"
#include "script.h"
#include "seal.h"
#include "crypto.h"
#include "memstream.h"

namespace {

struct Outcome {
    int result = 0;
    bool valid = false;
    double seconds = 0;
    uint64_t largestWrite = 0;
    std::string escaped;   // changes outside the target, as the platform table saw them
};

uint32_t LargestNewSize(const Upgrade& u)
{
    uint32_t n = 0;
    for (const PkgEntry& e : u.plan.entries) n = e.newPrint.size > n ? e.newPrint.size : n;
    return n;
}

// Applies whatever package the sandbox holds, answering No, under the recording table.
Outcome ApplyWatched(Sandbox& box)
{
    ScriptedUi ui = ScriptedUi::No();
    Outcome o;
    auto start = std::chrono::steady_clock::now();
    o.result = box.Apply(FaultPlan{}, ui, &o.valid);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.largestWrite = FaultSeen().largestWrite;
    o.escaped = ChangesInside(FaultSeen().changed, box.target);
    return o;
}

// The bounds every run keeps, however damaged its package: time, output, place of writes.
void CheckBounded(const Outcome& o, uint32_t largestNew, const std::string& what)
{
    EXPECT_LT(o.seconds, 1.0) << what;
    EXPECT_LE(o.largestWrite, (uint64_t)largestNew + kChunk) << what;
    EXPECT_EQ("", o.escaped) << what;
}

// Whether the product's reader sees the same table as the intact package (names and flags).
bool SameTable(const Sandbox& box, const Upgrade& u)
{
    PackageTable job(box.packagePath.c_str());
    if (job.header.entryCount != (int16_t)u.plan.entries.size()) return false;
    for (size_t i = 0; i < u.plan.entries.size(); i++) {
        const FileEntry* e = job.Entry((int)i);
        const PkgEntry& want = u.plan.entries[i];
        if (!e || e->name != want.name || e->kind != (want.flags & 3) || e->softPolicy != ((want.flags >> 2) & 3) ||
            e->hardPolicy != ((want.flags >> 4) & 3))
            return false;
    }
    return true;
}

// Three packages between them use every opcode, every operand width and the 8/16/32-bit edges.
Upgrade AllOpcodesUpgrade()
{
    Upgrade u;
    PkgBytes old = PseudoRandomBytes(21, 70000);
    ScriptWriter w;
    PkgBytes newer;
    auto insert = [&](const PkgBytes& b, PkgWidth width) {
        w.Insert(b, width);
        newer.insert(newer.end(), b.begin(), b.end());
    };
    auto copy = [&](uint32_t at, uint32_t n) { newer.insert(newer.end(), old.begin() + at, old.begin() + at + n); };
    insert(BytesOf("abc"), WidthFit);
    insert(PseudoRandomBytes(22, 300), WidthFit);
    insert(BytesOf("wide"), Width32);
    w.SetBase(1);
    w.CopyNear(0x10, 4);
    copy(0x10010, 4);
    w.CopyNear(0x20, 300);
    copy(0x10020, 300);
    w.CopyNear(0x30, 7, Width32);
    copy(0x10030, 7);
    w.Op(11);
    w.CopyFar(5, 255);
    copy(5, 255);
    w.CopyFar(70000 - 256, 256);
    copy(70000 - 256, 256);
    w.CopyFar(1, 1000, Width32);
    copy(1, 1000);
    w.Op(200);
    w.CopyNear(0x40, 0);   // base still 1: copies nothing
    w.End();
    PkgEntry e = PatchEntry("BIG.DAT", old, newer, 0, 1);
    e.script = w.bytes;
    u.plan.entries.push_back(e);
    FileVersions& v = u.files["BIG.DAT"];
    v.hasOld = v.hasNew = true;
    v.older = old;
    v.newer = newer;
    DiffStyle far;
    far.nearCopies = 0;
    far.width = Width16;
    far.noops = 1;
    PkgBytes small = PseudoRandomBytes(23, 900);
    PkgBytes smaller = small;
    smaller.erase(smaller.begin() + 100, smaller.begin() + 300);
    u.Patch("SUB\\SMALL.DLL", small, smaller, 0, 1, far);
    u.Add("ADDED.TXT", BytesOf("added text"), 0, 1);
    u.Delete("GONE.TXT", BytesOf("old text"), 0, 1);
    return u;
}

// Literal runs and copies at 255/256 and 65535/65536 bytes.
Upgrade EdgeUpgrade()
{
    Upgrade u;
    PkgBytes old = PseudoRandomBytes(31, 140000);
    PkgBytes newer;
    for (uint32_t n : {255u, 256u, 65535u, 65536u}) {
        PkgBytes lit = PseudoRandomBytes(n, n);
        newer.insert(newer.end(), lit.begin(), lit.end());
        newer.insert(newer.end(), old.begin() + 1000, old.begin() + 1000 + n);
    }
    u.Patch("EDGE.BIN", old, newer, 0, 1);
    return u;
}

std::vector<std::pair<std::string, Upgrade>> Packages()
{
    return {{"three files", ThreeFileUpgrade()}, {"all opcodes", AllOpcodesUpgrade()}, {"edges", EdgeUpgrade()}};
}

TEST(DamagedPackage, IntactPackagesApply)
{
    for (auto& p : Packages()) {
        Sandbox box(p.second);
        Outcome o = ApplyWatched(box);
        EXPECT_EQ(1, o.result) << p.first;
        EXPECT_EQ("", box.Upgraded()) << p.first;
        CheckBounded(o, LargestNewSize(p.second), p.first);
    }
}

// Offsets worth cutting at: all of a small package; around every field and instruction of a
// large one, and a stride through its literal data.
std::vector<size_t> CutPoints(const PkgBytes& pkg, const PkgLayout& l)
{
    if (pkg.size() <= 6000) {
        std::vector<size_t> all;
        for (size_t i = 0; i <= pkg.size(); i++) all.push_back(i);
        return all;
    }
    std::set<size_t> at;
    for (size_t i = 0; i <= l.scriptsStart + 16 && i <= pkg.size(); i++) at.insert(i);
    for (size_t s : l.instructionStarts)
        for (size_t d = 0; d < 12; d++)
            if (s + d <= pkg.size()) at.insert(s + d), at.insert(s >= d ? s - d : 0);
    for (size_t i = 0; i < pkg.size(); i += 211) at.insert(i);
    at.insert(pkg.size() - 1);
    return std::vector<size_t>(at.begin(), at.end());
}

TEST(DamagedPackage, CutAtEveryOffset)
{
    size_t cases = 0;
    for (auto& p : Packages()) {
        Sandbox box(p.second);
        PkgLayout layout;
        PkgBytes pkg = WritePackage(p.second.plan, &layout);
        uint32_t largest = LargestNewSize(p.second);
        std::vector<size_t> cuts = CutPoints(pkg, layout);
        for (size_t k = 0; k < cuts.size(); k += kSanitized ? 3 : 1) {
            size_t cut = cuts[k];
            box.Reset();
            box.WritePackage(PkgBytes(pkg.begin(), pkg.begin() + (long)cut));
            Outcome o = ApplyWatched(box);
            std::string what = p.first + " cut at " + std::to_string(cut) + " of " + std::to_string(pkg.size());
            CheckBounded(o, largest, what);
            // Only the last script's End byte may go missing, and then without harm: the end of
            // the package reads as End.
            if (cut == pkg.size() - 1) {
                EXPECT_EQ(1, o.result) << what;
            }
            if (o.result) {
                EXPECT_GE(cut, pkg.size() - 1) << what;
                EXPECT_EQ("", box.Upgraded()) << what;
            } else {
                EXPECT_EQ("", box.Unchanged()) << what;
            }
            // A cut inside the table must be refused by the reader itself.
            if (cut < layout.scriptsStart) {
                EXPECT_FALSE(o.valid && o.result) << what;
            }
            cases++;
            if (HasFailure()) return;
        }
    }
    printf("%zu cut packages applied\n", cases);
}

// Every bit of header and table, every bit of the first bytes of every instruction, and one bit
// of every 64th byte elsewhere.
std::vector<std::pair<size_t, int>> FlipPoints(const PkgBytes& pkg, const PkgLayout& l)
{
    std::set<size_t> bytes;
    for (size_t i = 0; i < l.scriptsStart && i < pkg.size(); i++) bytes.insert(i);
    for (size_t s : l.instructionStarts)
        for (size_t d = 0; d < 9 && s + d < pkg.size(); d++) bytes.insert(s + d);
    std::vector<std::pair<size_t, int>> flips;
    for (size_t b : bytes)
        for (int bit = 0; bit < 8; bit++) flips.push_back({b, bit});
    for (size_t i = l.scriptsStart; i < pkg.size(); i += 64)
        if (!bytes.count(i)) flips.push_back({i, (int)(i / 64) % 8});
    return flips;
}

TEST(DamagedPackage, BitFlips)
{
    size_t cases = 0, strict = 0;
    for (auto& p : Packages()) {
        Sandbox box(p.second);
        PkgLayout layout;
        PkgBytes pkg = WritePackage(p.second.plan, &layout);
        uint32_t largest = LargestNewSize(p.second);
        std::vector<std::pair<size_t, int>> flips = FlipPoints(pkg, layout);
        for (size_t k = 0; k < flips.size(); k += kSanitized ? 3 : 1) {
            std::pair<size_t, int> flip = flips[k];
            box.Reset();
            PkgBytes bad = pkg;
            bad[flip.first] ^= (uint8_t)(1 << flip.second);
            box.WritePackage(bad);
            Outcome o = ApplyWatched(box);
            std::string what =
                p.first + " bit " + std::to_string(flip.second) + " of byte " + std::to_string(flip.first);
            // A flip may turn a field into any length: writes stay bounded by the largest size any
            // entry of the damaged table could declare, which the recording table cannot know;
            // the time and the place of writes are bounded all the same.
            EXPECT_LT(o.seconds, 1.0) << what;
            EXPECT_EQ("", o.escaped) << what;
            if (SameTable(box, p.second)) {
                // Same files, same policies: prints and scripts are damaged, so either the upgrade
                // still comes out right or nothing changes.
                strict++;
                EXPECT_LE(o.largestWrite, (uint64_t)largest + kChunk + 0x10000) << what;
                EXPECT_EQ("", o.result ? box.Upgraded() : box.Unchanged()) << what;
            }
            cases++;
            if (HasFailure()) return;
        }
    }
    printf("%zu bit flips applied, %zu with the table intact\n", cases, strict);
}

// The package with its seal after the last script; *start is where the seal begins.
PkgBytes SealedPackage(const Upgrade& u, size_t* start)
{
    PkgBytes pkg = WritePackage(u.plan);
    PackageSeal seal;
    int count = (int)u.plan.entries.size();
    seal.Allocate(count);
    for (int i = 0; i < count; i++) {
        const PkgEntry& e = u.plan.entries[i];
        seal.kinds[i] = e.flags & 3;
        const FileVersions& v = u.files.at(e.name);
        DigestOf(v.newer.data(), v.newer.size(), seal.NewDigestSlot(i));
        DigestOf(v.older.data(), v.older.size(), seal.OldDigestSlot(i));
    }
    DigestOf(pkg.data(), pkg.size(), seal.packageDigest);
    MemoryStream out((uint32_t)pkg.size() + 4096, 4096);
    out.Write(pkg.data(), (uint32_t)pkg.size());
    EXPECT_EQ(1, WriteSeal(&out, &seal, nullptr));
    *start = pkg.size();
    return PkgBytes(out.block, out.block + out.Size());
}

// A sealed package damaged anywhere changes nothing. The one exception is a cut where an
// unsealed package could end as well: exactly at the seal, or where an opcode is due, which the
// format reads as End; the verification of every rebuilt file then decides, file by file.
TEST(DamagedPackage, SealedPackagesRefuseEveryCutAndFlip)
{
    size_t refused = 0, cases = 0;
    for (auto& p : Packages()) {
        Sandbox box(p.second);
        size_t start = 0;
        PkgBytes pkg = SealedPackage(p.second, &start);
        PkgLayout layout;
        WritePackage(p.second.plan, &layout);
        std::set<size_t> boundaries(layout.instructionStarts.begin(), layout.instructionStarts.end());
        boundaries.insert(start);
        // Damage before the seal takes one code path, the package digest, so a fifth of the
        // unsealed suites' points stands for it; every byte of the seal itself is tried.
        std::vector<size_t> points;
        std::vector<size_t> before = CutPoints(pkg, layout);
        for (size_t k = 0; k < before.size(); k += kSanitized ? 15 : 5)
            if (before[k] < start) points.push_back(before[k]);
        for (size_t i = start; i < pkg.size(); i += kSanitized ? 3 : 1) points.push_back(i);
        for (size_t at : points) {
            for (int flip = 0; flip < 2; flip++) {
                if (at >= pkg.size()) continue;   // the whole package: no change
                PkgBytes bad = flip ? pkg : PkgBytes(pkg.begin(), pkg.begin() + (long)at);
                if (flip) bad[at] ^= (uint8_t)(1 << (at % 8));
                box.Reset();
                box.WritePackage(bad);
                ScriptedUi ui = ScriptedUi::No();
                int result = box.Apply(ui);
                std::string what = p.first + (flip ? " flip at " : " cut at ") + std::to_string(at) + " of " +
                    std::to_string(pkg.size()) + " seal at " + std::to_string(start);
                cases++;
                if (!flip && boundaries.count(at)) {
                    EXPECT_EQ("", result ? box.Upgraded() : box.Unchanged()) << what;
                    continue;
                }
                EXPECT_EQ(0, result) << what;
                EXPECT_EQ("", box.Unchanged()) << what;
                if (ui.Count("ask") == 0) refused++;
                if (HasFailure()) return;
            }
        }
    }
    printf("%zu damaged sealed packages, %zu refused before any question\n", cases, refused);
}

// One Patch entry over a 20,000-byte file whose script is the given hostile one.
struct ScriptCase {
    const char* name;
    void (*write)(ScriptWriter& w);
};

const ScriptCase kScriptCases[] = {
    {"Insert8 count FF", [](ScriptWriter& w) { w.InsertRaw(1, 0xFF, BytesOf("few")); }},
    {"Insert16 count FFFF", [](ScriptWriter& w) { w.InsertRaw(2, 0xFFFF, BytesOf("few")); }},
    {"Insert32 count FFFFFFFF", [](ScriptWriter& w) { w.InsertRaw(3, 0xFFFFFFFFu, BytesOf("few")); }},
    {"CopyNear8 count FF",
     [](ScriptWriter& w) {
         w.CopyNear(0, 0xFF);
         w.End();
     }},
    {"CopyNear16 count FFFF",
     [](ScriptWriter& w) {
         w.CopyNear(0, 0xFFFF);
         w.End();
     }},
    {"CopyNear32 count FFFFFFFF",
     [](ScriptWriter& w) {
         w.CopyNear(0, 0xFFFFFFFFu);
         w.End();
     }},
    {"CopyFar8 count FF",
     [](ScriptWriter& w) {
         w.CopyFar(0, 0xFF);
         w.End();
     }},
    {"CopyFar16 count FFFF",
     [](ScriptWriter& w) {
         w.CopyFar(0, 0xFFFF);
         w.End();
     }},
    {"CopyFar32 count FFFFFFFF",
     [](ScriptWriter& w) {
         w.CopyFar(0, 0xFFFFFFFFu);
         w.End();
     }},
    {"many copies of FFFFFFFF",
     [](ScriptWriter& w) {
         for (int i = 0; i < 200; i++) w.CopyFar(0, 0xFFFFFFFFu, Width32);
         w.End();
     }},
    {"copy past the end",
     [](ScriptWriter& w) {
         w.CopyFar(20000, 0xFFFFFFFFu);
         w.CopyFar(30000, 100);
         w.End();
     }},
    {"copy at 2 GiB",
     [](ScriptWriter& w) {
         w.CopyFar(0x80000000u, 0xFFFFFFFFu);
         w.End();
     }},
    {"copy from position none",
     [](ScriptWriter& w) {
         w.CopyFar(0xFFFFFFFFu, 0xFFFFFFFFu);
         w.End();
     }},
    {"base and offset at the top",
     [](ScriptWriter& w) {
         w.SetBase(0xFFFF);
         w.CopyNear(0xFFFF, 0xFFFFFFFFu);
         w.CopyNear(0x10, 10);
         w.End();
     }},
    {"operand cut by the end",
     [](ScriptWriter& w) {
         w.Raw({10, 1, 2});
     }},
    {"every unknown opcode",
     [](ScriptWriter& w) {
         for (int op = 11; op < 256; op++) w.Op((uint8_t)op);
         w.End();
     }},
    {"no End at all", [](ScriptWriter& w) { w.Insert(BytesOf("x")); }},
};

TEST(HostileScript, BoundedClearOutcome)
{
    PkgBytes old = PseudoRandomBytes(41, 20000);
    PkgBytes newer = PseudoRandomBytes(42, 5000);
    for (const ScriptCase& c : kScriptCases) {
        Upgrade u;
        u.Patch("APP.EXE", old, newer, 0, 1);
        ScriptWriter w;
        c.write(w);
        u.plan.entries[0].script = w.bytes;
        Sandbox box(u);
        Outcome o = ApplyWatched(box);
        CheckBounded(o, 5000, c.name);
        EXPECT_TRUE(o.valid) << c.name;
        EXPECT_EQ(0, o.result) << c.name;
        EXPECT_EQ("", box.Unchanged()) << c.name;
    }
}

TEST(HostileScript, UnknownOpcodesAreSkipped)
{
    PkgBytes old = PseudoRandomBytes(43, 3000);
    PkgBytes newer(old.begin() + 100, old.begin() + 2100);
    Upgrade u;
    u.Patch("APP.EXE", old, newer, 0, 1);
    ScriptWriter w;
    for (int op = 11; op < 256; op++) w.Op((uint8_t)op);
    w.CopyFar(100, 2000);
    w.Op(99);
    w.End();
    u.plan.entries[0].script = w.bytes;
    Sandbox box(u);
    Outcome o = ApplyWatched(box);
    EXPECT_EQ(1, o.result);
    EXPECT_EQ("", box.Upgraded());
}

TEST(HostilePackage, KindThreeEntryWritesNothingOfItsOwn)
{
    for (int hard = 0; hard < 3; hard++) {
        Upgrade u = ThreeFileUpgrade();
        PkgEntry k3;
        k3.flags = (uint8_t)(3 | hard << 4);
        k3.name = "K3.DLL";
        ScriptWriter w;
        w.Insert(BytesOf("kind three"));
        w.End();
        k3.script = w.bytes;
        u.plan.entries.insert(u.plan.entries.begin() + 1, k3);
        Sandbox box(u);
        Outcome o = ApplyWatched(box);
        std::string what = "kind 3 with hard policy " + std::to_string(hard);
        CheckBounded(o, LargestNewSize(u), what);
        EXPECT_FALSE(PathExists(box.target + "K3.DLL")) << what;
        EXPECT_EQ("", o.result ? box.Upgraded() : box.Unchanged()) << what;
    }
}

TEST(HostilePackage, EntryCounts)
{
    struct Case {
        int16_t count;
        int entries;   // records actually written
        bool accepted;
    };
    const Case cases[] = {{-1, 3, true},        {0, 3, true},          {10000, 3, false},
                          {10000, 10000, true}, {10001, 10001, false}, {32767, 3, false}};
    for (const Case& c : cases) {
        Upgrade u = ThreeFileUpgrade();
        PkgPlan& s = u.plan;
        s.useCount = 1;
        s.count = c.count;
        // Missing files named in order; their Delete entries are skipped by hard policy Ignore.
        for (int i = (int)s.entries.size(); i < c.entries; i++) {
            PkgEntry e = DeleteEntry("MISSING\\F" + std::to_string(i), BytesOf("x"), 0, 0);
            s.entries.push_back(e);
        }
        Sandbox box(u);
        Outcome o = ApplyWatched(box);
        std::string what = "entryCount " + std::to_string(c.count) + " with " + std::to_string(c.entries) + " records";
        CheckBounded(o, LargestNewSize(u), what);
        EXPECT_EQ(c.accepted, o.valid) << what;
        if (c.count <= 0) {
            EXPECT_EQ(1, o.result) << what;
        }
        if (c.count == 10000 && c.entries == 10000) {
            EXPECT_EQ(1, o.result) << what;
            EXPECT_EQ("", box.Upgraded()) << what;
        } else {
            EXPECT_EQ("", box.Unchanged()) << what;
        }
    }
}

}   // namespace
