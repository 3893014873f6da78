// Stream base utilities, the counting stream and the memory stream, driven through the slots.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "memstream.h"

namespace {

// A memory stream over a copy of the text, borrowed so that capacity and length are exact.
struct TextStream {
    explicit TextStream(const std::string& text)
        : bytes(text), s((void*)bytes.data(), (uint32_t)bytes.size(), (uint32_t)bytes.size())
    {
    }
    std::string bytes;
    MemoryStream s;
};

std::string Contents(MemoryStream& s) { return std::string((const char*)s.block, s.length); }

}   // namespace

TEST(StreamBase, EveryByteOperationFailsAndOnlyResetClearsTheFlag)
{
    Stream s;
    EXPECT_FALSE(s.HasError());
    s.Flush();
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0, s.Get());
    EXPECT_TRUE(s.HasError());
    s.Clear();   // Reset, whose Seek(0) fails on the base
    EXPECT_TRUE(s.HasError());

    CountingStream c;
    c.Get();
    EXPECT_TRUE(c.HasError());
    c.Put(1);   // later successes do not lower it
    EXPECT_TRUE(c.HasError());
    EXPECT_EQ(1, c.Reset());
    EXPECT_FALSE(c.HasError());

    Stream base;
    base.Put(1);
    EXPECT_TRUE(base.HasError());
    Stream base2;
    EXPECT_EQ(0, base2.Seek(0));
    EXPECT_TRUE(base2.HasError());
    Stream base3;
    EXPECT_EQ(0u, base3.Tell());
    EXPECT_TRUE(base3.HasError());
    Stream base4;
    EXPECT_EQ(0u, base4.Size());
    EXPECT_TRUE(base4.HasError());
    Stream base5;
    char b[4];
    EXPECT_EQ(0, base5.Read(b, 4));
}

TEST(StreamBase, ReadStringCutsButConsumesTheWholeString)
{
    std::string hundred(100, 'x');
    for (int i = 0; i < 100; ++i) hundred[i] = (char)('a' + i % 26);
    TextStream t(hundred + std::string(1, '\0') + "next" + std::string(1, '\0'));
    char buf[80];
    memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(100u, t.s.ReadString(buf, 80));
    EXPECT_EQ(hundred.substr(0, 79), std::string(buf));
    EXPECT_EQ(101u, t.s.Tell());
    EXPECT_EQ(4u, t.s.ReadString(buf, 80));
    EXPECT_STREQ("next", buf);
    EXPECT_FALSE(t.s.HasError());

    TextStream one(std::string("abc") + '\0' + "Z");
    char tiny[1] = {'q'};
    EXPECT_EQ(3u, one.s.ReadString(tiny, 1));
    EXPECT_EQ(0, tiny[0]);
    EXPECT_EQ('Z', one.s.Get());

    TextStream cut("abc");   // no terminator before the end
    char buf2[10];
    EXPECT_EQ(3u, cut.s.ReadString(buf2, 10));
    EXPECT_STREQ("abc", buf2);
    EXPECT_TRUE(cut.s.HasError());
}

TEST(StreamBase, ReadLineSkipsCrCountsDroppedBytesAndEndsAtEndOfData)
{
    TextStream t("ab\r\ncd");
    char line[256];
    EXPECT_EQ(2u, t.s.ReadLine(line, 256));
    EXPECT_STREQ("ab", line);
    EXPECT_FALSE(t.s.HasError());
    EXPECT_EQ(2u, t.s.ReadLine(line, 256));
    EXPECT_STREQ("cd", line);
    EXPECT_TRUE(t.s.HasError());
    EXPECT_EQ(0u, t.s.ReadLine(line, 256));
    EXPECT_STREQ("", line);

    TextStream longer("abcdef\nX");
    char small[4];
    EXPECT_EQ(6u, longer.s.ReadLine(small, 4));
    EXPECT_STREQ("abc", small);
    EXPECT_EQ('X', longer.s.Get());

    TextStream nul(std::string("a\r\rb") + '\0' + "c\n");
    EXPECT_EQ(2u, nul.s.ReadLine(line, 256));
    EXPECT_STREQ("ab", line);
    EXPECT_EQ(1u, nul.s.ReadLine(line, 256));
    EXPECT_STREQ("c", line);
}

TEST(StreamBase, ReadThroughGetStopsAtTheFlag)
{
    TextStream t("0123456789");
    t.s.Seek(6);
    char buf[10];
    EXPECT_EQ(4, t.s.Read(buf, 10));
    EXPECT_EQ("6789", std::string(buf, 4));
    EXPECT_TRUE(t.s.HasError());
    EXPECT_EQ(0, t.s.Read(buf, 10));

    // The flag, not the byte, stops it: an earlier failure costs one byte.
    TextStream u("abc");
    u.s.SetError();
    EXPECT_EQ(0, u.s.Read(buf, 3));
    EXPECT_EQ(1u, u.s.Tell());
    EXPECT_EQ(0, u.s.Read(buf, 0));
    EXPECT_EQ(-5, u.s.Read(buf, -5));
    EXPECT_EQ(1u, u.s.Tell());
}

TEST(StreamBase, NumbersAreLittleEndianAndMissingBytesReadAsZero)
{
    MemoryStream s(4, 16);
    s.WriteU16(0x1234);
    s.WriteU32(0xA1B2C3D4u);
    EXPECT_EQ(std::string("\x34\x12\xD4\xC3\xB2\xA1", 6), Contents(s));
    s.Reset();
    EXPECT_EQ(0x1234, s.ReadU16());
    EXPECT_EQ(0xA1B2C3D4u, s.ReadU32());
    EXPECT_FALSE(s.HasError());

    TextStream shortU32("\x11\x22\x33");
    EXPECT_EQ(0x00332211u, shortU32.s.ReadU32());
    TextStream shortU16("\x7F");
    EXPECT_EQ(0x007F, shortU16.s.ReadU16());
}

TEST(StreamBase, TextWritersAndRealNumbers)
{
    MemoryStream s(0, 32);
    s.WriteString("hi");
    s.WriteFormatted("%d\n%s\n", 42, "x");
    EXPECT_EQ(std::string("hi\0"
                          "42\r\nx\r\n",
                          10),
              Contents(s));

    MemoryStream r(0, 32);
    r.WriteReal(3.14159f, 2);
    r.WriteReal(-2.5f, 0);
    r.WriteString("junk");
    EXPECT_EQ(std::string("3.14\0-2\0junk\0", 13), Contents(r));
    r.Reset();
    EXPECT_FLOAT_EQ(3.14f, r.ReadReal());
    EXPECT_FLOAT_EQ(-2.0f, r.ReadReal());
    EXPECT_EQ(0.0f, r.ReadReal());

    // Formatted text longer than the 256-byte buffer is cut, never overruns.
    MemoryStream big(0, 1024);
    big.WriteFormatted("%s", std::string(400, 'y').c_str());
    EXPECT_EQ(255u, big.Size());
}

TEST(StreamBase, CopyBytesAndCopyAll)
{
    std::string data(70000, 0);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (char)(i * 7 + i / 300);
    TextStream src(data);
    MemoryStream dst(0, 4096);
    src.s.Seek(100);
    EXPECT_EQ(65000u, CopyBytes(&dst, &src.s, 65000));
    EXPECT_EQ(data.substr(100, 65000), Contents(dst));
    EXPECT_FALSE(src.s.HasError());

    TextStream forty(std::string(40, 'k'));
    MemoryStream out(0, 64);
    EXPECT_EQ(40u, CopyBytes(&out, &forty.s, 100));
    EXPECT_EQ(40u, out.Size());

    // A destination that fails stops the copy after the failing block.
    char room[10];
    MemoryStream full(room, sizeof room, 0);
    src.s.Reset();
    EXPECT_EQ(32000u, CopyBytes(&full, &src.s, 70000));
    EXPECT_TRUE(full.HasError());

    src.s.Seek(500);
    MemoryStream all(0, 8192);
    CopyAll(&all, &src.s);
    EXPECT_EQ(data, Contents(all));

    MemoryStream empty;
    MemoryStream sink(0, 8);
    CopyAll(&sink, &empty);
    EXPECT_EQ(0u, sink.Size());
}

TEST(SizerStream, CountsWithoutKeepingBytes)
{
    CountingStream s;
    s.Put(1);
    s.Put(2);
    s.Put(3);
    EXPECT_EQ(3u, s.Size());
    EXPECT_EQ(3u, s.Tell());
    EXPECT_EQ(1, s.Seek(1));
    EXPECT_EQ(1u, s.Tell());
    s.Put(9);
    EXPECT_EQ(2u, s.Tell());
    EXPECT_EQ(3u, s.Size());
    EXPECT_EQ(0, s.Seek(4));
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0, s.Get());
    EXPECT_EQ(3u, s.Tell());
    EXPECT_FALSE(s.HasError());
    s.Get();
    EXPECT_TRUE(s.HasError());
    s.Write("abcdefgh", 8);
    EXPECT_EQ(11u, s.Size());
    s.Clear();
    EXPECT_EQ(0u, s.Size());
    EXPECT_EQ(0u, s.Tell());
    EXPECT_FALSE(s.HasError());
}

TEST(FlatRamStream, BorrowedBlockIsFixed)
{
    char block[16] = "0123456789";
    MemoryStream s(block, 10, 10);
    std::string got;
    for (int i = 0; i < 10; ++i) got += (char)s.Get();
    EXPECT_EQ("0123456789", got);
    EXPECT_FALSE(s.HasError());
    EXPECT_EQ(0, s.Get());
    EXPECT_TRUE(s.HasError());
    s.Reset();
    EXPECT_EQ(1, s.Seek(10));
    EXPECT_EQ(0, s.Seek(11));
    EXPECT_FALSE(s.HasError());
    s.Put('X');
    EXPECT_TRUE(s.HasError());
    EXPECT_EQ(10u, s.Size());
    EXPECT_EQ(10u, s.Tell());
    EXPECT_EQ(0, block[10]);

    MemoryStream roomy(block, 16, 10);
    EXPECT_EQ(1, roomy.Seek(10));
    roomy.Put('Y');
    EXPECT_FALSE(roomy.HasError());
    EXPECT_EQ(11u, roomy.Size());
    EXPECT_EQ('Y', block[10]);
    EXPECT_EQ(block + 11, (char*)roomy.cursor);
}

TEST(FlatRamStream, OwnedBlockGrowsLinearlyAndKeepsItsBytes)
{
    MemoryStream s(10, 64);
    for (int i = 0; i < 11; ++i) s.Put((uint8_t)(i + 1));
    EXPECT_EQ(64u, s.capacity);
    EXPECT_EQ(11u, s.Size());
    EXPECT_EQ(11u, s.Tell());
    for (int i = 11; i < 64; ++i) s.Put((uint8_t)(i + 1));
    EXPECT_EQ(64u, s.capacity);
    s.Put(65);   // the 65th
    EXPECT_EQ(128u, s.capacity);
    EXPECT_EQ(s.block + 65, s.cursor);
    s.Reset();
    for (int i = 0; i < 65; ++i) ASSERT_EQ(i + 1, s.Get());
    EXPECT_FALSE(s.HasError());

    MemoryStream big(150, 100);
    big.Seek(0);
    for (int i = 0; i < 151; ++i) big.Put(0);
    EXPECT_EQ(250u, big.capacity);

    MemoryStream fixed(2, 0);
    fixed.Put(1);
    fixed.Put(2);
    fixed.Put(3);
    EXPECT_TRUE(fixed.HasError());
    EXPECT_EQ(2u, fixed.Size());
    EXPECT_EQ(2u, fixed.capacity);
}

TEST(FlatRamStream, ClearFillAndTheEmptyStream)
{
    MemoryStream s(4, 4);
    s.Write("abcdef", 6);
    uint32_t cap = s.capacity;
    s.Clear();
    EXPECT_EQ(0u, s.Size());
    EXPECT_EQ(cap, s.capacity);
    s.Get();
    EXPECT_TRUE(s.HasError());

    MemoryStream f(2, 8);
    f.Put('z');
    f.Fill(5);
    EXPECT_EQ(5u, f.Size());
    EXPECT_EQ(0u, f.Tell());
    EXPECT_FALSE(f.HasError());
    EXPECT_EQ(std::string(5, '\0'), Contents(f));

    char block[4] = {'a', 'b', 'c', 'd'};
    MemoryStream b(block, 3, 3);
    b.Fill(5);   // zeroes what fits, and the final Reset clears the overflow
    EXPECT_EQ(std::string("\0\0\0d", 4), std::string(block, 4));
    EXPECT_FALSE(b.HasError());

    MemoryStream e;
    EXPECT_EQ(1, e.Seek(0));
    EXPECT_EQ(0, e.Seek(1));
    e.Put(1);
    EXPECT_TRUE(e.HasError());
    e.Reset();
    EXPECT_EQ(0, e.Get());
    EXPECT_TRUE(e.HasError());
    EXPECT_EQ(0u, e.Size());

    // No block at all but a growth step: the first Put allocates instead of writing through null.
    MemoryStream lazy(0, 16);
    EXPECT_EQ(nullptr, lazy.block);
    lazy.Put(7);
    ASSERT_NE(nullptr, lazy.block);
    EXPECT_EQ(16u, lazy.capacity);
    EXPECT_EQ(7, lazy.block[0]);
}
