// Patch interpreter tests: each instruction, the progress rhythm, cancellation and hostile scripts.
#include <gtest/gtest.h>
#include "memstream.h"
#include "package_fixture.h"
#include "script.h"
#include "stream.h"

namespace {

const uint8_t kMarker = 0x99;   // stands after a script, to show where the stream was left

Bytes Pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 7 + (i >> 8) * 13 + 1);
    return b;
}

Bytes Contents(MemoryStream& s) { return Bytes(s.block, s.block + s.length); }

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

// A package of the given scripts, run with the recording progress attached.
struct ScriptCase {
    TempDir dir;
    RecordingProgress host;
    ScriptRun run;
    std::unique_ptr<PackageTable> job;
    MemoryStream out{16, 4096};

    explicit ScriptCase(const Image& scripts)
    {
        Image p = ScriptPackage();
        p.Raw(scripts.b);
        job = JobOver(dir, p);
        EXPECT_EQ(1, job->IsValid());
        run.progress = &host;
    }
    int Run(Stream* oldFile, Stream* output) { return RunPatchScript(job->stream.get(), &run, oldFile, output); }
    int Next() { return job->stream->Get(); }
};

}   // namespace

TEST(PatchScript, EndAloneWritesNothingAndNeverPolls)
{
    ScriptCase r(Image().U8(OpEnd).U8(kMarker));
    EXPECT_EQ(0, r.Run(nullptr, &r.out));
    EXPECT_EQ(0u, r.out.length);
    EXPECT_EQ(1, r.host.updates);
    EXPECT_EQ(0, r.host.polls);
    EXPECT_EQ(1u, r.host.done);
    EXPECT_EQ(kMarker, r.Next());
}

TEST(PatchScript, InsertsAreWrittenInChunksOf256)
{
    Bytes literal = Pattern(600);
    Image s;
    s.U8(OpInsert8).U8(3).Raw(BytesOf("abc")).U8(OpEnd);
    s.U8(OpInsert16).U16(600).Raw(literal).U8(OpEnd);
    s.U8(OpInsert32).U32(2).Raw(BytesOf("yz")).U8(OpEnd).U8(kMarker);
    ScriptCase r(s);

    EXPECT_EQ(0, r.Run(nullptr, &r.out));
    EXPECT_EQ(BytesOf("abc"), Contents(r.out));
    EXPECT_EQ(4u, r.host.done);
    EXPECT_EQ(2, r.host.updates);
    EXPECT_EQ(1, r.host.polls);

    MemoryStream out2(16, 4096);
    r.host.doneAtUpdate.clear();
    EXPECT_EQ(0, r.Run(nullptr, &out2));
    EXPECT_EQ(literal, Contents(out2));
    EXPECT_EQ((std::vector<uint32_t>{4, 4 + 256, 4 + 512, 4 + 600}), r.host.doneAtUpdate);
    EXPECT_EQ(2 + 4, r.host.updates);
    EXPECT_EQ(1 + 3, r.host.polls);

    MemoryStream out3(16, 4096);
    EXPECT_EQ(0, r.Run(nullptr, &out3));
    EXPECT_EQ(BytesOf("yz"), Contents(out3));
    EXPECT_EQ(kMarker, r.Next());
}

TEST(PatchScript, NearCopiesUseTheBaseUntilTheScriptEnds)
{
    Bytes old = Pattern(0x20100);
    MemoryStream oldFile(old.data(), (uint32_t)old.size(), (uint32_t)old.size());
    Image s;
    s.U8(OpSetBase).U16(2).U8(OpCopyNear8).U16(0x10).U8(4).U8(OpCopyNear16).U16(0x20).U16(2);
    s.U8(OpCopyFar8).U32(5).U8(1);   // far copies ignore the base
    s.U8(OpCopyNear32).U16(0x30).U32(1).U8(OpEnd);
    s.U8(OpCopyNear8).U16(0x10).U8(2).U8(OpEnd).U8(kMarker);
    ScriptCase r(s);

    EXPECT_EQ(0, r.Run(&oldFile, &r.out));
    Bytes want = Slice(old, 0x20010, 4);
    for (uint8_t b : Slice(old, 0x20020, 2)) want.push_back(b);
    want.push_back(old[5]);
    want.push_back(old[0x20030]);
    EXPECT_EQ(want, Contents(r.out));
    EXPECT_EQ(1u + 4 + 2 + 1 + 1, r.host.done);

    MemoryStream out2(16, 4096);
    EXPECT_EQ(0, r.Run(&oldFile, &out2));
    EXPECT_EQ(Slice(old, 0x10, 2), Contents(out2));
    EXPECT_EQ(kMarker, r.Next());
}

TEST(PatchScript, ZeroCountsPositionsAndNoOps)
{
    Bytes old = Pattern(64);
    MemoryStream oldFile(old.data(), 64, 64);
    ASSERT_EQ(1, oldFile.Seek(9));
    Image s;
    s.U8(OpCopyFar16).U32(0).U16(0).U8(OpEnd);
    // Unknown opcodes between instructions; a position of all ones leaves the old file where it is.
    s.U8(11).U8(OpCopyFar8).U32(3).U8(2).U8(200).U8(OpCopyFar8).U32(0xFFFFFFFFu).U8(2).U8(255).U8(OpEnd).U8(kMarker);
    ScriptCase r(s);

    EXPECT_EQ(0, r.Run(&oldFile, &r.out));
    EXPECT_EQ(0u, oldFile.Tell());
    EXPECT_EQ(0u, r.out.length);
    EXPECT_EQ(1, r.host.updates);
    EXPECT_EQ(0, r.host.polls);
    EXPECT_EQ(1u, r.host.done);

    EXPECT_EQ(0, r.Run(&oldFile, &r.out));
    EXPECT_EQ((Bytes{old[3], old[4], old[5], old[6]}), Contents(r.out));
    EXPECT_EQ(kMarker, r.Next());
}

TEST(PatchScript, WithoutStreamsTheScriptIsReadPastInStep)
{
    Bytes literal = Pattern(600);
    Image s;
    s.U8(OpInsert8).U8(5).Raw(BytesOf("hello")).U8(OpEnd);
    s.U8(OpInsert16).U16(600).Raw(literal).U8(OpCopyFar32).U32(0).U32(300).U8(OpEnd).U8(kMarker);
    ScriptCase r(s);

    EXPECT_EQ(0, r.Run(nullptr, nullptr));
    EXPECT_EQ(6u, r.host.done);
    EXPECT_EQ(OpInsert16, r.Next());

    ScriptCase r2(s);
    Bytes old = Pattern(400);
    MemoryStream oldFile(old.data(), 400, 400);
    EXPECT_EQ(0, r2.Run(nullptr, nullptr));
    r2.host.Clear();
    EXPECT_EQ(0, r2.Run(&oldFile, nullptr));
    // 600 literal bytes keep the chunk rhythm; the copy that can write nothing is one step.
    EXPECT_EQ(1 + 3 + 1, r2.host.updates);
    EXPECT_EQ(3 + 1, r2.host.polls);
    EXPECT_EQ(6u + 900, r2.host.done);
    EXPECT_EQ(kMarker, r2.Next());
}

TEST(PatchScript, CopyBytesStopsWhereTheSourceEnds)
{
    Bytes src = Pattern(100);
    MemoryStream source(src.data(), 100, 100);
    ASSERT_EQ(1, source.Seek(60));
    MemoryStream dest(16, 4096);
    EXPECT_EQ(40u, CopyBytes(&dest, &source, 100));
    EXPECT_EQ(Slice(src, 60, 40), Contents(dest));
}

TEST(PatchScript, CancellationReturnsThePollAndLeavesTheRestUnread)
{
    Bytes literal = Pattern(600);
    ScriptCase r(Image().U8(OpInsert16).U16(600).Raw(literal).U8(OpEnd));
    r.host.cancelAt = 2;
    r.host.answer = 7;
    EXPECT_EQ(7, r.Run(nullptr, &r.out));
    EXPECT_EQ(Slice(literal, 0, 512), Contents(r.out));
    EXPECT_EQ(513u, r.host.done);
    EXPECT_EQ(3, r.host.updates);
    EXPECT_EQ(literal[512], r.Next());
}

TEST(PatchScript, NoHostMeansNoCalls)
{
    ScriptCase r(Image().U8(OpInsert16).U16(300).Raw(Pattern(300)).U8(OpEnd).U8(kMarker));
    r.run.progress = nullptr;
    EXPECT_EQ(0, r.Run(nullptr, &r.out));
    EXPECT_EQ(Pattern(300), Contents(r.out));
    EXPECT_EQ(1u, r.host.done);
    EXPECT_EQ(0, r.host.updates + r.host.polls);
    EXPECT_EQ(kMarker, r.Next());
}

TEST(PatchScript, CutOperandsReadTheirMissingBytesAsZero)
{
    // Insert16 whose count has one byte: count 3, no literal data follows.
    ScriptCase r(Image().U8(OpInsert16).U8(3));
    EXPECT_EQ(0, r.Run(nullptr, &r.out));
    EXPECT_EQ(0u, r.out.length);
    EXPECT_EQ(4u, r.host.done);

    // CopyFar32 whose position has two bytes: position 0x0201, count 0.
    Bytes old = Pattern(0x300);
    MemoryStream oldFile(old.data(), 0x300, 0x300);
    ScriptCase c(Image().U8(OpCopyFar32).U16(0x0201));
    EXPECT_EQ(0, c.Run(&oldFile, &c.out));
    EXPECT_EQ(0x0201u, oldFile.Tell());
    EXPECT_EQ(1u, c.host.done);
}

TEST(PatchScript, HugeCopiesFinishAtOnceWithBoundedOutput)
{
    Bytes old = Pattern(1000);
    Image s;
    s.U8(OpCopyFar32).U32(0).U32(0xFFFFFFFFu).U8(OpInsert8).U8(1).U8('z').U8(OpEnd).U8(kMarker);

    // With output: the old file runs dry after 1000 bytes and the rest is one step.
    {
        MemoryStream oldFile(old.data(), 1000, 1000);
        ScriptCase r(s);
        EXPECT_EQ(0, r.Run(&oldFile, &r.out));
        Bytes want = old;
        want.push_back('z');
        EXPECT_EQ(want, Contents(r.out));
        EXPECT_EQ(1u + 0xFFFFFFFFu + 1, r.host.done);
        EXPECT_EQ(1 + 3 + 1 + 1, r.host.updates);   // start, three full chunks, the rest, 'z'
        EXPECT_EQ(kMarker, r.Next());
    }
    // Without output, and without an old file: nothing is read, one step.
    {
        MemoryStream oldFile(old.data(), 1000, 1000);
        ScriptCase r(s);
        EXPECT_EQ(0, r.Run(&oldFile, nullptr));
        EXPECT_EQ(0u, oldFile.Tell());
        EXPECT_EQ(3, r.host.updates);
        EXPECT_EQ(2, r.host.polls);
        EXPECT_EQ(kMarker, r.Next());

        ScriptCase a(s);
        EXPECT_EQ(0, a.Run(nullptr, &a.out));
        EXPECT_EQ(BytesOf("z"), Contents(a.out));
        EXPECT_EQ(3, a.host.updates);
        EXPECT_EQ(kMarker, a.Next());
    }
    // With a limit the output stops there even though the old file has more.
    {
        MemoryStream oldFile(old.data(), 1000, 1000);
        ScriptCase r(s);
        r.run.outputLimit = 300;
        EXPECT_EQ(0, r.Run(&oldFile, &r.out));
        EXPECT_EQ(Slice(old, 0, 300), Contents(r.out));
        EXPECT_TRUE(r.run.outputOverrun);
        EXPECT_LE(r.host.updates, 6);
        EXPECT_EQ(kMarker, r.Next());
    }
    // The whole old file copied with the largest count, the limit its exact size: the count
    // only runs past the old file's end, so the file is built and the entry holds. One byte
    // more in the old file than the limit is a script longer than its file.
    Bytes longer = Pattern(1001);
    for (uint32_t size : {1000u, 1001u}) {
        MemoryStream oldFile(longer.data(), size, size);
        ScriptCase r(Image().U8(OpCopyFar32).U32(0).U32(0xFFFFFFFFu).U8(OpEnd).U8(kMarker));
        r.run.outputLimit = 1000;
        EXPECT_EQ(0, r.Run(&oldFile, &r.out));
        EXPECT_EQ(Slice(longer, 0, 1000), Contents(r.out));
        EXPECT_EQ(size == 1001, r.run.outputOverrun != 0) << size;
        EXPECT_EQ(1 + 3 + 1, r.host.updates) << size;
        EXPECT_EQ(kMarker, r.Next());
    }
    // A copy from an old file that ends early, with count below the limit.
    {
        MemoryStream oldFile(old.data(), 1000, 1000);
        ScriptCase r(Image().U8(OpCopyNear16).U16(700).U16(600).U8(OpEnd).U8(kMarker));
        EXPECT_EQ(0, r.Run(&oldFile, &r.out));
        EXPECT_EQ(Slice(old, 700, 300), Contents(r.out));
        EXPECT_EQ(601u, r.host.done);
        EXPECT_EQ(1 + 1 + 1, r.host.updates);
        EXPECT_EQ(kMarker, r.Next());
    }
}

TEST(PatchScript, InsertOnAPackageThatRunsOutStops)
{
    for (int withOutput = 0; withOutput < 2; withOutput++) {
        ScriptCase r(Image().U8(OpInsert32).U32(0xFFFFFFFFu).Raw(BytesOf("abc")));
        EXPECT_EQ(0, r.Run(nullptr, withOutput ? &r.out : nullptr));
        EXPECT_EQ(withOutput ? BytesOf("abc") : Bytes(), Contents(r.out));
        EXPECT_EQ(2, r.host.updates);
        EXPECT_EQ(1, r.host.polls);
        EXPECT_EQ(0u, r.host.done);   // 1 + 0xFFFFFFFF, wrapped
        EXPECT_TRUE(r.job->stream->HasError());
    }
    // Within the first chunk, short of it by a little.
    ScriptCase r(Image().U8(OpInsert16).U16(600).Raw(Pattern(300)));
    EXPECT_EQ(0, r.Run(nullptr, &r.out));
    EXPECT_EQ(Pattern(300), Contents(r.out));
    EXPECT_EQ(601u, r.host.done);
    EXPECT_EQ(1 + 1 + 1, r.host.updates);
}

TEST(PatchScript, OutputBeyondTheLimitIsNotWrittenButThePackageStaysInStep)
{
    Bytes old = Pattern(64);
    MemoryStream oldFile(old.data(), 64, 64);
    Image s;
    s.U8(OpInsert8).U8(3).Raw(BytesOf("012")).U8(OpCopyFar8).U32(10).U8(4);
    s.U8(OpInsert16).U16(600).Raw(Pattern(600)).U8(OpCopyFar8).U32(0).U8(5).U8(OpEnd).U8(kMarker);
    ScriptCase r(s);
    r.run.outputLimit = 5;
    EXPECT_EQ(0, r.Run(&oldFile, &r.out));
    EXPECT_EQ((Bytes{'0', '1', '2', old[10], old[11]}), Contents(r.out));
    EXPECT_EQ(1u + 3 + 4 + 600 + 5, r.host.done);
    // Literal bytes past the limit keep their rhythm; the copy past it is one step.
    EXPECT_EQ(1 + 1 + 1 + 3 + 1, r.host.updates);
    EXPECT_EQ(kMarker, r.Next());

    // A limit inside a chunk of literal data keeps its head.
    ScriptCase h(Image().U8(OpInsert16).U16(300).Raw(Pattern(300)).U8(OpEnd).U8(kMarker));
    h.run.outputLimit = 100;
    EXPECT_EQ(0, h.Run(nullptr, &h.out));
    EXPECT_EQ(Slice(Pattern(300), 0, 100), Contents(h.out));
    EXPECT_EQ(kMarker, h.Next());
}

TEST(PatchScript, FailingOutputStillReadsTheWholeScript)
{
    uint8_t small[4];
    MemoryStream full(small, sizeof small, 0);
    ScriptCase r(Image().U8(OpInsert16).U16(600).Raw(Pattern(600)).U8(OpEnd).U8(kMarker));
    EXPECT_EQ(0, r.Run(nullptr, &full));
    EXPECT_TRUE(full.HasError());
    EXPECT_EQ(Slice(Pattern(600), 0, 4), Bytes(small, small + 4));
    EXPECT_EQ(601u, r.host.done);
    EXPECT_EQ(kMarker, r.Next());
}
