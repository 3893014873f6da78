// The file stream: open flags, exclusive opens, closed-stream behaviour, read-ahead and write-behind equivalence.
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#include "memstream.h"
#include "stream.h"
#include "testutil.h"

namespace {

// Bytes that differ from their neighbours and repeat nowhere near: a read from the wrong
// place shows.
Bytes Pattern(size_t size, unsigned step, int shift)
{
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = (uint8_t)(i * step + (i >> shift));
    return data;
}

std::string Backslashed(std::string p)
{
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

// Counts the platform reads beneath the streams, to show that the read-ahead is really in use.
int readCalls = 0;
int CountingRead(OsHandle h, void* buffer, uint32_t n, uint32_t* got)
{
    ++readCalls;
    return NativeOs().read(h, buffer, n, got);
}

int NoMap(OsHandle, uint64_t, const void**) { return 0; }

// Maps are declined unless asked for, so that a stream that wants its blocks cached has them.
struct CountReads {
    explicit CountReads(bool maps = false) : layer(NativeOs())
    {
        layer.read = CountingRead;
        if (!maps) layer.mapFile = NoMap;
        readCalls = 0;
        SetOs(&layer);
    }
    ~CountReads() { SetOs(nullptr); }
    OsLayer layer;
};

}   // namespace

TEST(FileStream, OpenFlagsDecideAccessAndCreation)
{
    TempDir dir;
    std::string missing = dir / "missing.bin";
    FileStream m(ReadAccess, missing.c_str());
    EXPECT_TRUE(m.HasError());
    char buf[4];
    EXPECT_EQ(0, m.Read(buf, 4));
    EXPECT_EQ(0, m.Get());
    EXPECT_FALSE(PathExists(missing));
    FileStream m3(ReadAccess | WriteAccess, missing.c_str());
    EXPECT_TRUE(m3.HasError());
    EXPECT_FALSE(PathExists(missing));

    std::string f = dir / "data.bin";
    WriteFileBytes(f, BytesOf("0123456789"));
    {
        FileStream rw(ReadAccess | WriteAccess, f.c_str());
        ASSERT_FALSE(rw.HasError());
        EXPECT_EQ(0u, rw.Tell());
        EXPECT_EQ(10u, rw.Size());
        EXPECT_EQ('0', rw.Get());
        rw.Put('X');
        rw.Seek(9);
        rw.Write("YZ", 2);
        EXPECT_FALSE(rw.HasError());
    }
    EXPECT_EQ(BytesOf("0X2345678YZ"), ReadFileBytes(f));
    {
        FileStream w(WriteAccess, f.c_str());
        ASSERT_FALSE(w.HasError());
        EXPECT_EQ(0u, w.Size());
        EXPECT_EQ(0, w.Get());   // no read access
        EXPECT_TRUE(w.HasError());
    }
    EXPECT_EQ(0u, ReadFileBytes(f).size());
    {
        FileStream r(ReadAccess, f.c_str());
        r.Put('a');
        EXPECT_TRUE(r.HasError());
    }
    std::string created = dir / "new.bin";
    {
        FileStream w(WriteAccess, created.c_str());
        ASSERT_FALSE(w.HasError());
        w.WriteString("ok");
    }
    EXPECT_EQ(Bytes({'o', 'k', 0}), ReadFileBytes(created));
    FileStream onFolder(ReadAccess, dir.path().c_str());
    EXPECT_TRUE(onFolder.HasError());
}

TEST(FileStream, SecondOpenClosesTheFirstAndClearsTheFlag)
{
    TempDir dir;
    std::string a = dir / "a.txt", b = dir / "b.txt";
    WriteFileBytes(a, BytesOf("A"));
    WriteFileBytes(b, BytesOf("B"));
    FileStream s(ReadAccess, a.c_str());
    EXPECT_EQ('A', s.Get());
    s.Get();
    EXPECT_TRUE(s.HasError());
    s.Open(ReadAccess, b.c_str());
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ('B', s.Get());
    // a is free again: the first handle was closed.
    FileStream again(ReadAccess, a.c_str());
    EXPECT_FALSE(again.HasError());
}

TEST(FileStream, OpenIsExclusiveWhileTheStreamLives)
{
    TempDir dir;
    std::string f = dir / "held.bin";
    WriteFileBytes(f, BytesOf("keep me"));
    {
        FileStream first(ReadAccess, f.c_str());
        ASSERT_FALSE(first.HasError());
        FileStream second(ReadAccess, f.c_str());
        EXPECT_TRUE(second.HasError());
        FileStream writer(WriteAccess, f.c_str());
        EXPECT_TRUE(writer.HasError());
        first.Close();
        EXPECT_EQ(BytesOf("keep me"), ReadFileBytes(f));   // a refused writer truncated nothing
        FileStream third(ReadAccess | WriteAccess, f.c_str());
        EXPECT_FALSE(third.HasError());
        FileStream fourth(ReadAccess, f.c_str());
        EXPECT_TRUE(fourth.HasError());
    }
    FileStream after(ReadAccess, f.c_str());
    EXPECT_FALSE(after.HasError());
}

TEST(FileStream, BackslashPathsWork)
{
    TempDir dir;
    std::string f = dir / "sub\\name.txt";
    WriteFileBytes(f, BytesOf("via backslashes"));
    FileStream s(ReadAccess, Backslashed(f).c_str());
    ASSERT_FALSE(s.HasError());
    EXPECT_EQ(15u, s.Size());
    char buf[16] = {0};
    EXPECT_EQ(15, s.Read(buf, 15));
    EXPECT_STREQ("via backslashes", buf);
}

TEST(FileStream, ClosedStreamFailsLikeAnInvalidHandle)
{
    FileStream s(ReadAccess, nullptr);
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0xFFFFFFFFu, s.Tell());
    EXPECT_FALSE(s.HasError());
    char buf[4];
    EXPECT_EQ(0, s.Read(buf, 4));
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0u, s.Size());
    EXPECT_TRUE(s.HasError());
    for (int op = 0; op < 4; ++op) {
        FileStream c(ReadAccess, nullptr);
        if (op == 0) c.Put(1);
        if (op == 1) c.Get();
        if (op == 2) {
            EXPECT_EQ(0, c.Seek(0));
        }
        if (op == 3) c.Write("x", 1);
        EXPECT_TRUE(c.HasError()) << op;
    }
}

TEST(FileStream, EndOfFileSeekPastEndAndFill)
{
    TempDir dir;
    std::string f = dir / "ten.bin";
    WriteFileBytes(f, BytesOf("0123456789"));
    for (unsigned flags :
         {(unsigned)ReadAccess, (unsigned)(ReadAccess | NoReadAhead), (unsigned)(ReadAccess | WriteAccess)}) {
        FileStream s(flags, f.c_str());
        ASSERT_FALSE(s.HasError());
        EXPECT_EQ(1, s.Seek(6));
        char buf[10];
        EXPECT_EQ(4, s.Read(buf, 10));   // never raises the flag
        EXPECT_FALSE(s.HasError());
        EXPECT_EQ(0, s.Read(buf, 10));
        EXPECT_FALSE(s.HasError());
        EXPECT_EQ(0, s.Get());
        EXPECT_TRUE(s.HasError());
        EXPECT_EQ(10u, s.Tell());
        EXPECT_EQ(1, s.Reset());
        EXPECT_EQ(1, s.Seek(50));
        EXPECT_EQ(50u, s.Tell());
        EXPECT_FALSE(s.HasError());
        EXPECT_EQ(0, s.Get());
        EXPECT_TRUE(s.HasError());
    }
    {
        FileStream s(ReadAccess | WriteAccess, f.c_str());
        s.Seek(7);
        s.Fill(3);
        EXPECT_EQ(0u, s.Tell());
        EXPECT_FALSE(s.HasError());
    }
    EXPECT_EQ(Bytes({0, 0, 0, '3', '4', '5', '6', '7', '8', '9'}), ReadFileBytes(f));
}

TEST(FileStream, ReadAheadSavesPlatformCalls)
{
    TempDir dir;
    std::string f = dir / "big.bin";
    Bytes data = Pattern(200000, 31, 9);
    WriteFileBytes(f, data);
    for (unsigned extra : {0u, (unsigned)NoReadAhead}) {
        CountReads counting;
        FileStream s(ReadAccess | extra, f.c_str());
        Bytes got;
        for (size_t i = 0; i < data.size(); ++i) got.push_back(s.Get());
        EXPECT_EQ(data, got);
        EXPECT_FALSE(s.HasError());
        if (extra)
            EXPECT_EQ((int)data.size(), readCalls);
        else
            EXPECT_LE(readCalls, 5);
    }
}

// Seeks all over a file read each of its blocks once; blocks that share a cache slot (files
// over 64 MiB) displace each other and are read again, never served from the wrong block.
TEST(FileStream, SeekingReadsEachBlockOnceAndSharedSlotsNeverMix)
{
    TempDir dir;
    std::string small = dir / "small.bin";
    Bytes data = Pattern(200000, 7, 11);
    WriteFileBytes(small, data);
    // Only a stream that asks for the cache keeps blocks: the package, read front to back,
    // seeks too (its seal is checked before the scripts) and must not hold its whole file.
    for (int wanted : {1, 0}) {
        std::mt19937 rng(3);
        CountReads counting;
        FileStream s(ReadAccess, small.c_str());
        if (wanted) s.CacheBlocks();
        for (int i = 0; i < 2000; ++i) {
            uint32_t p = rng() % (uint32_t)data.size();
            ASSERT_EQ(1, s.Seek(p));
            uint8_t got[300];
            int32_t want = (int32_t)std::min<size_t>(sizeof got, data.size() - p);
            ASSERT_EQ(want, s.Read(got, (int32_t)sizeof got));
            ASSERT_EQ(0, memcmp(got, data.data() + p, (size_t)want)) << p;
        }
        if (wanted)
            EXPECT_LE(readCalls, 4);
        else
            EXPECT_GT(readCalls, 1000);
    }

    // Sparse, with a mark at the start of each block that shares a slot with another.
    std::string big = dir / "big.bin";
    const uint32_t kSlotSpan = 1024u * 65536;
    const uint32_t marks[] = {0, 65536, 70000, kSlotSpan, kSlotSpan + 65536, kSlotSpan + 70000, kSlotSpan + 140000};
    {
        std::ofstream out(big, std::ios::binary);
        for (uint32_t m : marks) {
            out.seekp(m);
            out.put((char)(1 + (m >> 16) % 251)).put((char)m);
        }
    }
    CountReads counting;
    FileStream s(ReadAccess, big.c_str());
    s.CacheBlocks();
    for (int round = 0; round < 3; ++round)
        for (uint32_t m : marks) {
            ASSERT_EQ(1, s.Seek(m));
            EXPECT_EQ((uint8_t)(1 + (m >> 16) % 251), s.Get()) << m;
            EXPECT_EQ((uint8_t)m, s.Get()) << m;
            EXPECT_EQ(m + 2, s.Tell());
        }
    EXPECT_FALSE(s.HasError());
    EXPECT_GE(readCalls, 3 * 4);
}

// A stream that wants its blocks cached reads a mapped file without platform reads; a file cut
// short beneath the map fails the reads it took away instead of ending the process.
TEST(FileStream, MappedFileReadsWithoutCallsAndSurvivesBeingCut)
{
    TempDir dir;
    std::string f = dir / "old.bin";
    Bytes data = Pattern(300000, 13, 9);
    WriteFileBytes(f, data);
    CountReads counting(true);
    FileStream s(ReadAccess | ShareRead, f.c_str());
    s.CacheBlocks();
    uint8_t got[256];
    for (uint32_t p : {250000u, 7u, 299990u, 131072u}) {
        ASSERT_EQ(1, s.Seek(p));
        int32_t want = (int32_t)std::min<size_t>(sizeof got, data.size() - p);
        ASSERT_EQ(want, s.Read(got, (int32_t)sizeof got));
        ASSERT_EQ(0, memcmp(got, data.data() + p, (size_t)want)) << p;
    }
    EXPECT_EQ(0, readCalls);
    EXPECT_FALSE(s.HasError());
#ifndef _WIN32
    // Elsewhere the sharing mode of the open keeps other programs from cutting the file.
    std::ofstream(f, std::ios::binary | std::ios::trunc).put('x');
    ASSERT_EQ(1, s.Seek(200000));
    EXPECT_EQ(0, s.Read(got, 100));
    EXPECT_TRUE(s.HasError());
    ASSERT_EQ(1, s.Seek(0));
    EXPECT_EQ('x', s.Get());
    // So does a view handed over in place.
    FileStream t(ReadAccess | ShareRead, f.c_str());
    const void* view = nullptr;
    ASSERT_EQ(1, Os().mapFile(t.handle, data.size(), &view));
    // The use is cut short mid-copy: like the digest it stands for, it allocates nothing.
    struct Seen {
        uint8_t bytes[100];
        size_t n;
    } seen = {{0}, 0};
    auto keep = [](void* context, const void* bytes, size_t n) {
        Seen* s = static_cast<Seen*>(context);
        memcpy(s->bytes, bytes, n);
        s->n = n;
    };
    EXPECT_EQ(1, Os().useView(view, 1, keep, &seen));
    EXPECT_EQ('x', seen.bytes[0]);
    seen.n = 0;
    EXPECT_EQ(0, Os().useView((const uint8_t*)view + 200000, 100, keep, &seen));
    EXPECT_EQ(0u, seen.n);
    Os().unmapFile(view, data.size());
#endif
}

// Drives a read-ahead stream and an unbuffered one over identical files through the same random
// operations; every result, position and error flag must agree.
TEST(FileStream, ReadAheadBehavesExactlyAsOneCallPerOperation)
{
    TempDir dir;
    const uint32_t size = 150000;
    Bytes data(size);
    std::mt19937 fill(7);
    for (auto& b : data) b = (uint8_t)(fill() % 7 == 0 ? 0 : fill());   // zero bytes end strings
    std::string fa = dir / "a.bin", fb = dir / "b.bin";
    WriteFileBytes(fa, data);
    WriteFileBytes(fb, data);

    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        // The window alone, the block cache, and the mapped file, in turn.
        CountReads platform(seed % 3 == 2);
        FileStream a(ReadAccess, fa.c_str());
        FileStream b(ReadAccess | NoReadAhead, fb.c_str());
        if (seed % 3) a.CacheBlocks();
        ASSERT_FALSE(a.HasError());
        ASSERT_FALSE(b.HasError());
        // Where reads began: a read-ahead window starts at one of them, so seeks around
        // start + a window size (small after a seek, growing while reading on) probe its edge.
        std::vector<uint32_t> readStarts;
        for (int step = 0; step < 3000; ++step) {
            int op = (int)(rng() % 14);
            if (op <= 4 || op == 8 || op == 9 || op == 13) readStarts.push_back(b.Tell());
            std::string what =
                "seed " + std::to_string(seed) + " step " + std::to_string(step) + " op " + std::to_string(op);
            switch (op) {
            case 0:
            case 1:
            case 2: {
                int n = 1 + (int)(rng() % 40);
                for (int i = 0; i < n; ++i) ASSERT_EQ(b.Get(), a.Get()) << what;
                break;
            }
            case 3:
            case 4: {
                // Small, large, zero and negative counts.
                static const int32_t kCounts[] = {0, -3, 1, 2, 17, 4000, 65535, 65536, 70000, 140000};
                int32_t n = rng() % 3 ? (int32_t)(rng() % 300) : kCounts[rng() % 10];
                Bytes ba(n > 0 ? n : 1, 0xEE), bb(n > 0 ? n : 1, 0xEE);
                ASSERT_EQ(b.Read(bb.data(), n), a.Read(ba.data(), n)) << what;
                ASSERT_EQ(bb, ba) << what;
                break;
            }
            case 5:
            case 6: {
                uint32_t p;
                int kind = (int)(rng() % 5);
                uint32_t here = b.Tell();
                if (kind == 0)
                    p = rng() % (size + 200);   // anywhere, past the end too
                else if (kind == 1)
                    p = here + (rng() % 200) - 100;   // near: inside the window
                else if (kind == 2)
                    p = (rng() % 2 ? size : 0) + rng() % 5 - 2;   // around both ends
                else if (kind == 3 && !readStarts.empty())        // around a window's end
                    p = readStarts[rng() % readStarts.size()] + (rng() % 2 ? 65536 : 4096 << rng() % 4) + rng() % 5 - 2;
                else
                    p = 0x80000000u + rng() % 1000;   // far beyond
                ASSERT_EQ(b.Seek(p), a.Seek(p)) << what << " p " << p;
                break;
            }
            case 7: ASSERT_EQ(b.Size(), a.Size()) << what; break;
            case 8:
                ASSERT_EQ(b.ReadU16(), a.ReadU16()) << what;
                ASSERT_EQ(b.ReadU32(), a.ReadU32()) << what;
                break;
            case 9: {
                char sa[32], sb[32];
                ASSERT_EQ(b.ReadString(sb, sizeof sb), a.ReadString(sa, sizeof sa)) << what;
                ASSERT_STREQ(sb, sa) << what;
                break;
            }
            case 10: ASSERT_EQ(b.Reset(), a.Reset()) << what; break;
            case 11:
                a.Put(1);
                b.Put(1);
                a.Write("xy", 2);
                b.Write("xy", 2);
                break;
            case 12:
                if (rng() % 10 == 0) {
                    a.Open(ReadAccess, fa.c_str());
                    b.Open(ReadAccess | NoReadAhead, fb.c_str());
                }
                break;
            case 13: {
                char la[64], lb[64];
                ASSERT_EQ(b.ReadLine(lb, sizeof lb), a.ReadLine(la, sizeof la)) << what;
                ASSERT_STREQ(lb, la) << what;
                break;
            }
            }
            ASSERT_EQ(b.HasError(), a.HasError()) << what;
            ASSERT_EQ(b.Tell(), a.Tell()) << what;
        }
    }
    EXPECT_EQ(data, ReadFileBytes(fa));
}

namespace {

// Platform writes beneath the streams: counted, and failing from a chosen call on, either
// outright or after part of the bytes (a disk that fills up).
int writeCalls = 0;
int failWritesFrom = 0;   // 0: never
bool partialFailure = false;
int CountingWrite(OsHandle h, const void* bytes, uint32_t n, uint32_t* put)
{
    ++writeCalls;
    if (failWritesFrom && writeCalls >= failWritesFrom) {
        *put = 0;
        if (partialFailure && n > 1) return NativeOs().write(h, bytes, n / 2, put) && 0;
        return 0;
    }
    return NativeOs().write(h, bytes, n, put);
}

int writebacks = 0;
void CountingWriteback(OsHandle) { ++writebacks; }

struct CountWrites {
    explicit CountWrites(int failFrom = 0, bool partial = false) : layer(NativeOs())
    {
        layer.write = CountingWrite;
        layer.startWriteback = CountingWriteback;
        writebacks = 0;
        writeCalls = 0;
        failWritesFrom = failFrom;
        partialFailure = partial;
        SetOs(&layer);
    }
    ~CountWrites()
    {
        SetOs(nullptr);
        failWritesFrom = 0;
    }
    OsLayer layer;
};

}   // namespace

TEST(FileStream, WriteBehindSavesPlatformCalls)
{
    TempDir dir;
    std::string f = dir / "out.bin";
    Bytes data = Pattern(300000, 7, 11);
    for (unsigned extra : {0u, (unsigned)NoReadAhead}) {
        CountWrites counting;
        {
            FileStream s(WriteAccess | extra, f.c_str());
            // Pieces of the sizes the interpreter writes, and single bytes.
            for (size_t i = 0; i < data.size();) {
                size_t n = i % 3 ? 1 + i % 256 : 1;
                if (n > data.size() - i) n = data.size() - i;
                if (n == 1)
                    s.Put(data[i]);
                else
                    s.Write(&data[i], (uint32_t)n);
                i += n;
            }
            EXPECT_FALSE(s.HasError());
        }
        EXPECT_EQ(data, ReadFileBytes(f));
        if (extra)
            EXPECT_GT(writeCalls, 2000);
        else
            EXPECT_LE(writeCalls, 6);
    }
}

// A file that will be flushed has its write-back started after every 8 MiB that reached the
// platform, whatever the pieces; other files never.
TEST(FileStream, EarlyWriteBackEveryEightMebibytes)
{
    TempDir dir;
    std::string f = dir / "out.bin";
    Bytes piece(300000, 0x5A);
    for (bool early : {true, false}) {
        CountWrites counting;
        FileStream s(WriteAccess, f.c_str());
        if (early) s.WriteBackEarly();
        for (int i = 0; i < 70; ++i) s.Write(piece.data(), (uint32_t)piece.size() - (uint32_t)i);
        s.Close();
        EXPECT_FALSE(s.HasError());
        EXPECT_EQ(early ? 2 : 0, writebacks) << early;   // 20.9 MB written
    }
}

// Drives a write-behind stream and an unbuffered one over new files through the same random
// operations; every result, position, length and error flag must agree, and so must the files
// whenever the pending bytes have been flushed.
TEST(FileStream, WriteBehindBehavesExactlyAsOneCallPerOperation)
{
    TempDir dir;
    std::string fa = dir / "a.bin", fb = dir / "b.bin";
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        FileStream a(WriteAccess, fa.c_str());
        FileStream b(WriteAccess | NoReadAhead, fb.c_str());
        ASSERT_FALSE(a.HasError());
        ASSERT_FALSE(b.HasError());
        for (int step = 0; step < 500; ++step) {
            int op = (int)(rng() % 12);
            std::string what =
                "seed " + std::to_string(seed) + " step " + std::to_string(step) + " op " + std::to_string(op);
            switch (op) {
            case 0:
            case 1:
            case 2: {
                int n = 1 + (int)(rng() % 300);
                for (int i = 0; i < n; ++i) {
                    uint8_t v = (uint8_t)rng();
                    a.Put(v);
                    b.Put(v);
                }
                break;
            }
            case 3:
            case 4:
            case 5: {
                // Small, buffer-sized and larger pieces, and nothing at all.
                static const uint32_t kCounts[] = {0, 1, 255, 256, 4000, 65535, 65536, 65537, 140000};
                uint32_t n = rng() % 3 ? rng() % 300 : kCounts[rng() % 9];
                Bytes piece(n + 1);
                uint32_t salt = rng();
                for (size_t i = 0; i < piece.size(); ++i) piece[i] = (uint8_t)(i * 13 + salt + (i >> 8));
                if (rng() % 2) {
                    a.Write(piece.data(), n);
                    b.Write(piece.data(), n);
                    break;
                }
                // Copied from a source that may hold fewer bytes than asked for.
                uint32_t held = rng() % 4 ? n : n / 2;
                MemoryStream sa(piece.data(), n + 1, held), sb(piece.data(), n + 1, held);
                ASSERT_EQ(CopyBytes(&b, &sb, n), CopyBytes(&a, &sa, n)) << what;
                break;
            }
            case 6: {
                uint32_t size = b.Size();
                ASSERT_EQ(size, a.Size()) << what;
                uint32_t p = rng() % 4 ? rng() % (size + 100) : size;   // inside, at or past the end
                ASSERT_EQ(b.Seek(p), a.Seek(p)) << what;
                break;
            }
            case 7:
                ASSERT_EQ(b.Get(), a.Get()) << what;   // no read access: fails alike
                break;
            case 8: {
                char ba[8], bb[8];
                ASSERT_EQ(b.Read(bb, 8), a.Read(ba, 8)) << what;
                break;
            }
            case 9: ASSERT_EQ(b.Reset(), a.Reset()) << what; break;
            case 10:
                a.WriteFormatted("line %d\n", step);
                b.WriteFormatted("line %d\n", step);
                break;
            case 11:
                a.Flush();
                b.Flush();
                if (rng() % 3 == 0) {
                    ASSERT_EQ(ReadFileBytes(fb), ReadFileBytes(fa)) << what;
                }
                break;
            }
            ASSERT_EQ(b.HasError(), a.HasError()) << what;
            if (rng() % 4 == 0) {
                ASSERT_EQ(b.Tell(), a.Tell()) << what;
            }
        }
        a.Close();
        b.Close();
        EXPECT_EQ(b.HasError(), a.HasError());
        ASSERT_EQ(ReadFileBytes(fb), ReadFileBytes(fa)) << "seed " << seed;
        ASSERT_GT(ReadFileBytes(fa).size(), 0u);
    }
}

// A write that fails, wholly or after part of its bytes, from the Kth platform write on: the
// flag is up by the time Close returns at the latest, and every operation that needs the
// pending bytes on disk reports it as the unbuffered stream does.
TEST(FileStream, WriteBehindFailuresRaiseTheFlagByClose)
{
    TempDir dir;
    std::string f = dir / "full.bin";
    Bytes piece(200);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = (uint8_t)i;
    for (bool partial : {false, true}) {
        for (int k = 1; k <= 4; ++k) {
            for (int pieces : {1, 10, 400, 1000}) {
                std::string what = "partial " + std::to_string(partial) + " k " + std::to_string(k) + " pieces " +
                    std::to_string(pieces);
                CountWrites failing(k, partial);
                FileStream s(WriteAccess, f.c_str());
                ASSERT_FALSE(s.HasError()) << what;
                for (int i = 0; i < pieces; ++i) {
                    s.Write(piece.data(), (uint32_t)piece.size());
                    // Never a raised flag without a failed platform write.
                    if (writeCalls < k) {
                        ASSERT_FALSE(s.HasError()) << what;
                    }
                }
                s.Close();
                uint64_t bytes = (uint64_t)pieces * piece.size();
                EXPECT_EQ(writeCalls >= k, (bool)s.HasError()) << what;
                if (writeCalls < k) {
                    EXPECT_EQ(bytes, ReadFileBytes(f).size()) << what;
                } else {
                    EXPECT_LT(ReadFileBytes(f).size(), bytes) << what;
                }
                if (pieces == 1000) {
                    EXPECT_TRUE(s.HasError()) << what;   // several buffers' worth
                }
            }
        }
    }
    // Size, Tell, Seek and Flush put the pending bytes on disk first, so the failure shows there.
    for (int op = 0; op < 4; ++op) {
        CountWrites failing(1);
        FileStream s(WriteAccess, f.c_str());
        s.Write("abc", 3);
        EXPECT_FALSE(s.HasError()) << op;
        if (op == 0) {
            EXPECT_EQ(0u, s.Size());
        }
        if (op == 1) {
            EXPECT_EQ(0u, s.Tell());
        }
        if (op == 2) {
            EXPECT_EQ(1, s.Seek(0));
        }
        if (op == 3) s.Flush();
        EXPECT_TRUE(s.HasError()) << op;
        EXPECT_EQ(1, writeCalls) << op;
    }
    // A new Open closes the failing file, and its flag starts clear again.
    {
        CountWrites failing(1);
        FileStream s(WriteAccess, f.c_str());
        s.Put('x');
        s.Open(WriteAccess, f.c_str());
        EXPECT_FALSE(s.HasError());
        EXPECT_EQ(1, writeCalls);
    }
    // A closed stream buffers nothing: each write fails at once.
    FileStream closed(WriteAccess, f.c_str());
    closed.Close();
    ASSERT_FALSE(closed.HasError());
    closed.Put('x');
    EXPECT_TRUE(closed.HasError());
}
