// Delta encoder: instruction costs, copy forms, parse choices, and random file pairs whose
// scripts are rebuilt by the real interpreter.
#include <gtest/gtest.h>
#include <random>
#include "build.h"
#include "delta.h"
#include "memstream.h"
#include "entries.h"
#include "replay.h"
#include "script.h"
#include "stream.h"
#include "testutil.h"

namespace {

// Runs the part's script through a real job, with old as the old file (none when null).
Bytes Rebuild(const std::string& partPath, const Bytes* old)
{
    PackageTable job(partPath.c_str());
    EXPECT_TRUE(job.IsValid());
    MemoryStream oldStream(old ? (void*)old->data() : nullptr, old ? (uint32_t)old->size() : 0,
                           old ? (uint32_t)old->size() : 0);
    MemoryStream out(1 << 16, 1 << 20);
    ScriptRun run;
    RunPatchScript(job.stream.get(), &run, old ? &oldStream : nullptr, &out);
    EXPECT_EQ(job.stream->Tell(), job.stream->Size()) << "the script ends where the part ends";
    return Bytes(out.block, out.block + out.length);
}

// Encodes new against old with WriteDeltaScript into a part; returns the script size.
uint64_t EncodePart(const Bytes& old, const Bytes& now, const std::string& partPath, uint32_t window = 0)
{
    OldIndex index;
    EXPECT_TRUE(BuildOldIndex(old.data(), (uint32_t)old.size(), &index));
    MemoryStream in((void*)now.data(), (uint32_t)now.size(), (uint32_t)now.size());
    FileStream part(WriteAccess, partPath.c_str());
    WritePartHeader(&part);
    DeltaStats stats;
    EXPECT_TRUE(WriteDeltaScript(&index, &in, (uint32_t)now.size(), &part, &stats, window));
    EXPECT_EQ(part.Tell(), kPartHeaderSize + stats.scriptBytes);
    return stats.scriptBytes;
}

Bytes Random(std::mt19937& rng, size_t n)
{
    Bytes b(n);
    for (auto& c : b) c = (uint8_t)rng();
    return b;
}

// Text-like bytes: words from a small vocabulary, so that matches are many and short.
Bytes Texty(std::mt19937& rng, size_t n)
{
    static const char* words[] = {"alpha ",    "beta ",  "gamma\n", "delta(", "x) ",
                                  "{ return ", "0x1F; ", "}\n",     "const ", "let "};
    Bytes b;
    while (b.size() < n) {
        const char* w = words[rng() % 10];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(n);
    return b;
}

// One random edit: insert, delete, move a block, or repeat one.
void Mutate(std::mt19937& rng, Bytes* b)
{
    size_t n = b->size();
    size_t at = n ? rng() % n : 0, len = 1 + rng() % 300;
    switch (rng() % 4) {
    case 0: {
        Bytes fresh = Random(rng, len);
        b->insert(b->begin() + at, fresh.begin(), fresh.end());
        break;
    }
    case 1: b->erase(b->begin() + at, b->begin() + std::min(n, at + len)); break;
    case 2: {
        if (n < 2) break;
        len = std::min(len, n - at);
        Bytes block(b->begin() + at, b->begin() + at + len);
        b->erase(b->begin() + at, b->begin() + at + len);
        size_t to = b->empty() ? 0 : rng() % b->size();
        b->insert(b->begin() + to, block.begin(), block.end());
        break;
    }
    default: {
        len = std::min(len, n - at);
        Bytes block(b->begin() + at, b->begin() + at + len);
        size_t to = rng() % (n + 1);
        b->insert(b->begin() + to, block.begin(), block.end());
        break;
    }
    }
}

// Every instruction priced at its raw size, so that the choices below follow from byte counts.
const DeltaCosts kRaw = {16, 32, 64, 96, 96, 48, 16, 16};

}   // namespace

TEST(BuilderCost, InstructionSizesFollowTheOperandWidths)
{
    EXPECT_EQ(InsertCost(1), 2u);
    EXPECT_EQ(InsertCost(255), 2u);
    EXPECT_EQ(InsertCost(256), 3u);
    EXPECT_EQ(InsertCost(65535), 3u);
    EXPECT_EQ(InsertCost(65536), 5u);
    EXPECT_EQ(CopyNearCost(255), 4u);
    EXPECT_EQ(CopyNearCost(256), 5u);
    EXPECT_EQ(CopyNearCost(65536), 7u);
    EXPECT_EQ(CopyFarCost(255), 6u);
    EXPECT_EQ(CopyFarCost(65535), 7u);
    EXPECT_EQ(CopyFarCost(65536), 9u);
    EXPECT_EQ(WholeInsertScriptSize(0), 1u);
    EXPECT_EQ(WholeInsertScriptSize(255), 258u);
    EXPECT_EQ(WholeInsertScriptSize(256), 260u);
    EXPECT_EQ(WholeInsertScriptSize(65536), 65542u);

    // The emitted bytes are what the costs say, for every width.
    for (uint32_t count : {1u, 255u, 256u, 65535u, 65536u}) {
        DeltaOp near{0x1234, count, 1}, far{0x51234, count, 1};
        std::vector<uint8_t> forms, out;
        uint32_t base = 0;
        EXPECT_EQ(ChooseCopyForms(&near, 1, &base, &forms, nullptr, kRaw), CopyNearCost(count));
        EmitOps(&near, 1, forms, nullptr, &out);
        EXPECT_EQ(out.size(), CopyNearCost(count));
        out.clear();
        EXPECT_EQ(ChooseCopyForms(&far, 1, &base, &forms, nullptr, kRaw), CopyFarCost(count));
        EmitOps(&far, 1, forms, nullptr, &out);
        EXPECT_EQ(out.size(), CopyFarCost(count));
    }
}

TEST(BuilderCost, CopyFormsWeighSetBaseAgainstFarCopies)
{
    auto forms = [](std::vector<uint32_t> positions, uint32_t base, uint64_t* cost) {
        std::vector<DeltaOp> ops;
        for (uint32_t p : positions) ops.push_back(DeltaOp{p, 10, 1});
        std::vector<uint8_t> f;
        *cost = ChooseCopyForms(ops.data(), ops.size(), &base, &f, nullptr, kRaw);
        return f;
    };
    uint64_t cost;
    // One copy outside the base's window: far (6) beats SetBase and near (7).
    EXPECT_EQ(forms({0x20010}, 0, &cost), std::vector<uint8_t>({FormFar}));
    EXPECT_EQ(cost, 6u);
    // Two in the same window: SetBase once and two near copies (3 + 4 + 4) beat two far ones.
    EXPECT_EQ(forms({0x20010, 0x2FFFF}, 0, &cost), std::vector<uint8_t>({FormSetBaseNear, FormNear}));
    EXPECT_EQ(cost, 11u);
    // A lone excursion: far for it, and the base stays for the near copies around it.
    EXPECT_EQ(forms({0x10, 0x70000, 0x20}, 0, &cost), std::vector<uint8_t>({FormNear, FormFar, FormNear}));
    EXPECT_EQ(cost, 14u);
    // The base carried in from before counts.
    EXPECT_EQ(forms({0x30001}, 3, &cost), std::vector<uint8_t>({FormNear}));
    EXPECT_EQ(cost, 4u);
}

TEST(BuilderCost, ParseTakesAFourByteCopyOnlyWhereItIsCheaper)
{
    // New data of 204 bytes: 100 bytes found at old 0x1000, 4 at `four`, 100 at 0x2000, each
    // flanked by literal bytes when `literalsAround`.
    auto parse = [](uint32_t four, int literalsAround) {
        uint32_t gap = literalsAround ? 3 : 0;
        std::vector<DeltaMatch> m{
            {0, 100, 0x1000}, {100 + gap, 104 + gap, four}, {104 + 2 * gap, 204 + 2 * gap, 0x2000}};
        std::vector<DeltaOp> ops;
        ParseMatches(&m, 204 + 2 * gap, 0, &ops, kUnknownEnd, kRaw);
        return ops;
    };
    // Between two copies, 4 bytes of the current window: a near copy (4) beats an insert (2 + 4).
    auto p = parse(0x5000, 0);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_TRUE(p[1].isCopy && p[1].from == 0x5000 && p[1].count == 4);
    // From another window a far copy costs 6, as much as the insert; SetBase and near 7. The
    // parse keeps the insert, which also leaves the base for the next copy.
    p = parse(0x25000, 0);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_FALSE(p[1].isCopy);
    // Inside literal bytes a copy also costs the header of a second insert: the 4 bytes stay
    // literal in one run of 10.
    p = parse(0x5000, 1);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_FALSE(p[1].isCopy);
    EXPECT_EQ(p[1].count, 10u);
    // Every op sequence covers the data exactly.
    uint32_t covered = 0;
    for (const DeltaOp& op : parse(0x25000, 1)) covered += op.count;
    EXPECT_EQ(covered, 210u);
}

TEST(BuilderCost, ParseTakesAFarCopyFromAnotherWindow)
{
    std::mt19937 rng(7);
    Bytes old = Random(rng, 0x30000);
    Bytes now(old.begin() + 0x1000, old.begin() + 0x1000 + 100);
    now.insert(now.end(), old.begin() + 0x25000, old.begin() + 0x25000 + 40);
    now.insert(now.end(), old.begin() + 0x2000, old.begin() + 0x2000 + 100);
    OldIndex index;
    BuildOldIndex(old.data(), (uint32_t)old.size(), &index);
    std::vector<DeltaOp> ops;
    ParseWindow(&index, now.data(), (uint32_t)now.size(), 0, &ops);
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_TRUE(ops[1].isCopy && ops[1].from == 0x25000 && ops[1].count == 40);
    std::vector<uint8_t> forms;
    uint32_t base = 0;
    EXPECT_EQ(ChooseCopyForms(ops.data(), ops.size(), &base, &forms, nullptr, kRaw), 4u + 6u + 4u);
}

TEST(BuilderDelta, EdgeSizesAndFarCopiesRebuildExactly)
{
    TempDir dir;
    std::mt19937 rng(11);
    Bytes old = Texty(rng, 300000);
    for (uint32_t size : {0u, 1u, 255u, 256u, 257u, 65535u, 65536u, 65537u}) {
        // A new file made of blocks from all over the old one, some beyond 64 KiB, and some new.
        Bytes now;
        while (now.size() < size) {
            if (rng() % 5 == 0) {
                Bytes r = Random(rng, 1 + rng() % 50);
                now.insert(now.end(), r.begin(), r.end());
            } else {
                size_t at = rng() % (old.size() - 3000), n = 20 + rng() % 3000;
                now.insert(now.end(), old.begin() + at, old.begin() + at + n);
            }
        }
        now.resize(size);
        std::string part = dir / ("p" + std::to_string(size));
        uint64_t bytes = EncodePart(old, now, part);
        EXPECT_EQ(Rebuild(part, &old), now) << size;
        EXPECT_LE(bytes, WholeInsertScriptSize(size) + 5) << size;
    }
}

TEST(BuilderDelta, RandomEditsReplayExactlyAndNeverExceedTheWholeFile)
{
    TempDir dir;
    std::mt19937 rng(2024);
    for (int round = 0; round < 40; round++) {
        size_t n = rng() % 3 == 0 ? rng() % 600 : 1000 + rng() % 150000;
        Bytes old = round % 2 ? Random(rng, n) : Texty(rng, n);
        Bytes now = old;
        int edits = 1 + rng() % 25;
        for (int e = 0; e < edits; e++) Mutate(rng, &now);
        if (round % 7 == 0) now = Random(rng, now.size());   // nothing in common
        WriteFileBytes(dir / "old", old);
        WriteFileBytes(dir / "new", now);
        // Small windows too, so that window edges fall inside matches.
        uint32_t window = round % 3 == 0 ? 4096 : 0;
        std::string raw = dir / "raw";
        EncodePart(old, now, raw, window);
        EXPECT_EQ(Rebuild(raw, &old), now) << "round " << round;

        PartResult result;
        std::string error;
        ASSERT_TRUE(MakePart((dir / "old").c_str(), (dir / "new").c_str(), (dir / "part").c_str(), &result, &error))
            << error;
        EXPECT_EQ(Rebuild(dir / "part", &old), now) << "round " << round;
        EXPECT_LE(result.scriptBytes, WholeInsertScriptSize((uint32_t)now.size())) << "round " << round;
        if (round % 7 == 0 && now.size() > 64) {
            EXPECT_TRUE(result.wholeInsert) << "round " << round;
        }
        if (edits < 5 && old.size() > 50000 && round % 7 != 0) {
            EXPECT_LT(result.scriptBytes * 10, now.size()) << "a few edits make a small script, round " << round;
        }
    }
}

TEST(BuilderDelta, ReplayRejectsAScriptThatDoesNotRebuildTheFile)
{
    TempDir dir;
    Bytes old = BytesOf("the old file content"), now = BytesOf("the new file content");
    WriteFileBytes(dir / "new", now);
    {
        FileStream part(WriteAccess, (dir / "part").c_str());
        WritePartHeader(&part);
        const uint8_t script[] = {OpCopyNear8, 0, 0, 20, OpEnd};   // copies the old file whole
        part.Write(script, sizeof script);
    }
    ReplayResult r;
    EXPECT_FALSE(ReplayPart((dir / "part").c_str(), old.data(), (uint32_t)old.size(), (dir / "new").c_str(),
                            (uint32_t)now.size(), &r));
    EXPECT_EQ(r.firstDifference, 4u);
    {
        // Right bytes, but the script runs on past its End into the part's tail.
        FileStream part(WriteAccess, (dir / "part").c_str());
        WritePartHeader(&part);
        uint8_t script[] = {OpInsert8, 20};
        part.Write(script, sizeof script);
        part.Write(now.data(), (uint32_t)now.size());
        uint8_t tail[] = {OpEnd, 0x55};
        part.Write(tail, sizeof tail);
    }
    EXPECT_FALSE(ReplayPart((dir / "part").c_str(), nullptr, 0, (dir / "new").c_str(), (uint32_t)now.size(), &r));
    EXPECT_FALSE(r.endsAtPartEnd);
}

namespace {

// The copies of a script, in order: explicit position or kUnknownEnd for a resumed one.
std::vector<uint32_t> CopyPositions(const Bytes& script)
{
    std::vector<uint32_t> positions;
    uint32_t base = 0;
    auto le = [&](size_t at, int width) {
        uint32_t v = 0;
        for (int i = 0; i < width; i++) v |= (uint32_t)script[at + i] << (8 * i);
        return v;
    };
    static const int widths[3] = {1, 2, 4};
    for (size_t at = 0; at < script.size();) {
        uint8_t op = script[at++];
        if (op == OpEnd) break;
        if (op >= OpInsert8 && op <= OpInsert32) {
            int w = widths[op - OpInsert8];
            at += w + le(at, w);
        } else if (op == OpSetBase) {
            base = le(at, 2) << 16;
            at += 2;
        } else if (op >= OpCopyNear8 && op <= OpCopyNear32) {
            positions.push_back(base + le(at, 2));
            at += 2 + widths[op - OpCopyNear8];
        } else if (op >= OpCopyFar8 && op <= OpCopyFar32) {
            positions.push_back(le(at, 4));
            at += 4 + widths[op - OpCopyFar8];
        }
    }
    return positions;
}

}   // namespace

TEST(BuilderCost, ACopyWhereThePreviousEndedIsResumed)
{
    // Far apart and each in another window: both would need a far copy or a SetBase.
    std::vector<DeltaOp> ops{{0x70000, 50, 1}, {0, 3, 0}, {0x70032, 300, 1}, {0x90000, 20, 1}};
    std::vector<uint8_t> forms, out;
    uint32_t base = 0, end = kUnknownEnd;
    uint64_t bytes = ChooseCopyForms(ops.data(), ops.size(), &base, &forms, &end);
    EXPECT_EQ(forms[2], FormResume);
    EXPECT_NE(forms[0], FormResume);
    EXPECT_NE(forms[3], FormResume);
    EXPECT_EQ(end, 0x90000u + 20);
    Bytes data(3, 'x');
    EmitOps(ops.data(), ops.size(), forms, data.data(), &out);
    // The bytes returned are the bytes emitted less the insert's 2 + 3.
    EXPECT_EQ(bytes + 5, out.size());
    out.push_back(OpEnd);
    EXPECT_EQ(CopyPositions(out)[1], kUnknownEnd);
    // The old file's position at the start is unknown: a copy from 0 is never resumed there,
    // but one is when the previous window's copies left the old file at its position.
    DeltaOp first{0, 10, 1};
    end = kUnknownEnd;
    ChooseCopyForms(&first, 1, &base, &forms, &end);
    EXPECT_NE(forms[0], FormResume);
    end = 0;
    ChooseCopyForms(&first, 1, &base, &forms, &end);
    EXPECT_EQ(forms[0], FormResume);
    EXPECT_EQ(end, 10u);
}

TEST(BuilderCost, TextAndBinaryWindowsGetTheirOwnModels)
{
    std::mt19937 rng(5);
    Bytes text = Texty(rng, 5000), binary = Random(rng, 5000);
    EXPECT_EQ(&CostsFor(text.data(), (uint32_t)text.size()), &kTextCosts);
    EXPECT_EQ(&CostsFor(binary.data(), (uint32_t)binary.size()), &kBinaryCosts);
    // Text literals are priced lower, so a short far copy at the end of text stays literal
    // where the same copy inside machine code is taken.
    EXPECT_LT(kTextCosts.literal, kBinaryCosts.literal);
    std::vector<DeltaMatch> m{{0, 100, 0x1000}, {103, 123, 0x25000}};
    std::vector<DeltaMatch> again = m;
    std::vector<DeltaOp> asText, asBinary;
    ParseMatches(&m, 123, 0, &asText, kUnknownEnd, kTextCosts);
    ParseMatches(&again, 123, 0, &asBinary, kUnknownEnd, kBinaryCosts);
    ASSERT_EQ(asText.size(), 2u);
    EXPECT_FALSE(asText[1].isCopy);
    ASSERT_EQ(asBinary.size(), 3u);
    EXPECT_TRUE(asBinary[2].isCopy && asBinary[2].from == 0x25000);
}

TEST(BuilderDelta, InsertedTextResumesTheOldFileWithoutAPosition)
{
    TempDir dir;
    std::mt19937 rng(99);
    for (uint32_t window : {0u, 4096u}) {
        Bytes old = Random(rng, 200000), now;
        // The old file in order, with new bytes inserted between its pieces: after the first
        // copy every copy starts where the previous one ended.
        size_t pieces = 0;
        for (size_t at = 0; at < old.size(); pieces++) {
            size_t n = std::min(old.size() - at, (size_t)(500 + rng() % 3000));
            now.insert(now.end(), old.begin() + at, old.begin() + at + n);
            Bytes fresh = Random(rng, 1 + rng() % 40);
            now.insert(now.end(), fresh.begin(), fresh.end());
            at += n;
        }
        std::string part = dir / "p";
        EncodePart(old, now, part, window);
        EXPECT_EQ(Rebuild(part, &old), now) << window;
        Bytes bytes = ReadFileBytes(part);
        std::vector<uint32_t> positions = CopyPositions(Bytes(bytes.begin() + kPartHeaderSize, bytes.end()));
        ASSERT_GE(positions.size(), pieces) << window;
        EXPECT_EQ(positions[0], 0u);
        size_t resumed = std::count(positions.begin(), positions.end(), kUnknownEnd);
        EXPECT_EQ(resumed, positions.size() - 1) << window;
    }
}

TEST(BuilderRepeats, AStringTwiceAmongTheLiteralsIsMarkedWhereverItStands)
{
    std::mt19937 rng(21);
    Bytes shared = Random(rng, 300), once = Random(rng, 300);
    // The survey saw the shared string in two literal runs, and another string in one.
    Bytes first = Random(rng, 37), second = Random(rng, 91);
    first.insert(first.end(), shared.begin(), shared.end());
    second.insert(second.end(), shared.begin(), shared.end());
    second.insert(second.end(), once.begin(), once.end());
    std::vector<uint32_t> anchors;
    CollectAnchors(first.data(), (uint32_t)first.size(), &anchors);
    CollectAnchors(second.data(), (uint32_t)second.size(), &anchors);
    RepeatSet set;
    MakeRepeatSet(&anchors, &set);

    // Elsewhere, at another alignment: the shared string's bytes are marked, the other's not.
    Bytes data = Random(rng, 5);
    data.insert(data.end(), once.begin(), once.end());
    data.insert(data.end(), shared.begin(), shared.end());
    std::vector<uint8_t> cheap(data.size());
    MarkRepeats(set, data.data(), (uint32_t)data.size(), cheap.data());
    size_t inShared = std::count(cheap.begin() + 305, cheap.end(), 1);
    size_t elsewhere = std::count(cheap.begin(), cheap.begin() + 305, 1);
    EXPECT_GE(inShared, 290u);
    EXPECT_LE(elsewhere, 8u);
}
