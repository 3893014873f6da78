// The file stream: open flags, exclusive opens, closed-stream behaviour, and read-ahead equivalence.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
#include "stream.h"
#include "testutil.h"

namespace {

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

struct CountReads {
    CountReads() : layer(NativeOs())
    {
        layer.read = CountingRead;
        readCalls = 0;
        SetOs(&layer);
    }
    ~CountReads() { SetOs(nullptr); }
    OsLayer layer;
};

}  // namespace

TEST(FileStream, OpenFlagsDecideAccessAndCreation)
{
    TempDir dir;
    std::string missing = dir / "missing.bin";
    TQLXFStream m(ReadAccess, missing.c_str());
    EXPECT_TRUE(m.HasError());
    char buf[4];
    EXPECT_EQ(0, m.Read(buf, 4));
    EXPECT_EQ(0, m.Get());
    EXPECT_FALSE(PathExists(missing));
    TQLXFStream m3(ReadAccess | WriteAccess, missing.c_str());
    EXPECT_TRUE(m3.HasError());
    EXPECT_FALSE(PathExists(missing));

    std::string f = dir / "data.bin";
    WriteFileBytes(f, BytesOf("0123456789"));
    {
        TQLXFStream rw(ReadAccess | WriteAccess, f.c_str());
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
        TQLXFStream w(WriteAccess, f.c_str());
        ASSERT_FALSE(w.HasError());
        EXPECT_EQ(0u, w.Size());
        EXPECT_EQ(0, w.Get());   // no read access
        EXPECT_TRUE(w.HasError());
    }
    EXPECT_EQ(0u, ReadFileBytes(f).size());
    {
        TQLXFStream r(ReadAccess, f.c_str());
        r.Put('a');
        EXPECT_TRUE(r.HasError());
    }
    std::string created = dir / "new.bin";
    {
        TQLXFStream w(WriteAccess, created.c_str());
        ASSERT_FALSE(w.HasError());
        w.WriteString("ok");
    }
    EXPECT_EQ(Bytes({'o', 'k', 0}), ReadFileBytes(created));
    TQLXFStream onFolder(ReadAccess, dir.path().c_str());
    EXPECT_TRUE(onFolder.HasError());
}

TEST(FileStream, SecondOpenClosesTheFirstAndClearsTheFlag)
{
    TempDir dir;
    std::string a = dir / "a.txt", b = dir / "b.txt";
    WriteFileBytes(a, BytesOf("A"));
    WriteFileBytes(b, BytesOf("B"));
    TQLXFStream s(ReadAccess, a.c_str());
    EXPECT_EQ('A', s.Get());
    s.Get();
    EXPECT_TRUE(s.HasError());
    s.Open(ReadAccess, b.c_str());
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ('B', s.Get());
    // a is free again: the first handle was closed.
    TQLXFStream again(ReadAccess, a.c_str());
    EXPECT_FALSE(again.HasError());
}

TEST(FileStream, OpenIsExclusiveWhileTheStreamLives)
{
    TempDir dir;
    std::string f = dir / "held.bin";
    WriteFileBytes(f, BytesOf("keep me"));
    {
        TQLXFStream first(ReadAccess, f.c_str());
        ASSERT_FALSE(first.HasError());
        TQLXFStream second(ReadAccess, f.c_str());
        EXPECT_TRUE(second.HasError());
        TQLXFStream writer(WriteAccess, f.c_str());
        EXPECT_TRUE(writer.HasError());
        first.Close();
        EXPECT_EQ(BytesOf("keep me"), ReadFileBytes(f));   // a refused writer truncated nothing
        TQLXFStream third(ReadAccess | WriteAccess, f.c_str());
        EXPECT_FALSE(third.HasError());
        TQLXFStream fourth(ReadAccess, f.c_str());
        EXPECT_TRUE(fourth.HasError());
    }
    TQLXFStream after(ReadAccess, f.c_str());
    EXPECT_FALSE(after.HasError());
}

TEST(FileStream, BackslashPathsWork)
{
    TempDir dir;
    std::string f = dir / "sub\\name.txt";
    WriteFileBytes(f, BytesOf("via backslashes"));
    TQLXFStream s(ReadAccess, Backslashed(f).c_str());
    ASSERT_FALSE(s.HasError());
    EXPECT_EQ(15u, s.Size());
    char buf[16] = {0};
    EXPECT_EQ(15, s.Read(buf, 15));
    EXPECT_STREQ("via backslashes", buf);
}

TEST(FileStream, ClosedStreamFailsLikeAnInvalidHandle)
{
    TQLXFStream s(ReadAccess, nullptr);
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0xFFFFFFFFu, s.Tell());
    EXPECT_FALSE(s.HasError());
    char buf[4];
    EXPECT_EQ(0, s.Read(buf, 4));
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0u, s.Size());
    EXPECT_TRUE(s.HasError());
    for (int op = 0; op < 4; ++op) {
        TQLXFStream c(ReadAccess, nullptr);
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
    for (unsigned flags : {(unsigned)ReadAccess, (unsigned)(ReadAccess | NoReadAhead), (unsigned)(ReadAccess | WriteAccess)}) {
        TQLXFStream s(flags, f.c_str());
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
        TQLXFStream s(ReadAccess | WriteAccess, f.c_str());
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
    Bytes data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 31 + (i >> 9));
    WriteFileBytes(f, data);
    for (unsigned extra : {0u, (unsigned)NoReadAhead}) {
        CountReads counting;
        TQLXFStream s(ReadAccess | extra, f.c_str());
        Bytes got;
        for (size_t i = 0; i < data.size(); ++i) got.push_back(s.Get());
        EXPECT_EQ(data, got);
        EXPECT_FALSE(s.HasError());
        if (extra) EXPECT_EQ((int)data.size(), readCalls);
        else EXPECT_LE(readCalls, 5);
    }
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
        TQLXFStream a(ReadAccess, fa.c_str());
        TQLXFStream b(ReadAccess | NoReadAhead, fb.c_str());
        ASSERT_FALSE(a.HasError());
        ASSERT_FALSE(b.HasError());
        // Where reads began: a read-ahead window starts at one of them, so seeks around
        // start + window size probe its edge.
        std::vector<uint32_t> readStarts;
        for (int step = 0; step < 3000; ++step) {
            int op = (int)(rng() % 14);
            if (op <= 4 || op == 8 || op == 9 || op == 13) readStarts.push_back(b.Tell());
            std::string what = "seed " + std::to_string(seed) + " step " + std::to_string(step) + " op " + std::to_string(op);
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
                if (kind == 0) p = rng() % (size + 200);                        // anywhere, past the end too
                else if (kind == 1) p = here + (rng() % 200) - 100;                // near: inside the window
                else if (kind == 2) p = (rng() % 2 ? size : 0) + rng() % 5 - 2;   // around both ends
                else if (kind == 3 && !readStarts.empty())                         // around a window's end
                    p = readStarts[rng() % readStarts.size()] + 65536 + rng() % 5 - 2;
                else p = 0x80000000u + rng() % 1000;                              // far beyond
                ASSERT_EQ(b.Seek(p), a.Seek(p)) << what << " p " << p;
                break;
            }
            case 7:
                ASSERT_EQ(b.Size(), a.Size()) << what;
                break;
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
            case 10:
                ASSERT_EQ(b.Reset(), a.Reset()) << what;
                break;
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
