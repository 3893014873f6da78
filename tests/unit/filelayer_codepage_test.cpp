// Code pages: every table round-trips its bytes, known characters land where the code pages
// put them, a character without a place is refused with its position, and the seam's wide
// calls reach names outside ASCII.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "codepage.h"
#include "files.h"
#include "os.h"
#include "stream.h"
#include "testutil.h"

namespace {

std::string Decode(unsigned codePage, const std::string& stored, size_t capacity = 64)
{
    std::vector<char> out(capacity);
    CodePageToUtf8(codePage, stored.c_str(), out.data(), capacity);
    return out.data();
}

}   // namespace

TEST(CodePage, EveryByteOfEveryTableRoundTrips)
{
    for (const unsigned* cp = kBuildCodePages; *cp; cp++) {
        ASSERT_TRUE(CodePageKnown(*cp));
        for (int b = 1; b < 256; b++) {
            std::string stored(1, (char)b), back;
            std::string text = Decode(*cp, stored);
            ASSERT_TRUE(IsUtf8(text.c_str())) << *cp << " " << b;
            ASSERT_TRUE(Utf8ToCodePage(*cp, text, &back, nullptr)) << *cp << " " << b;
            EXPECT_EQ(stored, back) << *cp << " " << b;
        }
    }
    EXPECT_FALSE(CodePageKnown(65001));
    EXPECT_FALSE(CodePageKnown(932));
}

TEST(CodePage, CharactersSitWhereTheCodePagesPutThem)
{
    EXPECT_EQ("caf\xC3\xA9 \xC3\x9C \xC3\xB1 \xE2\x82\xAC", Decode(1252, "caf\xE9 \xDC \xF1 \x80"));
    // Cyrillic Zhe and ya, Polish l with stroke, Greek alpha, Turkish dotless i, Latvian s caron.
    EXPECT_EQ("\xD0\x96\xD1\x8F", Decode(1251, "\xC6\xFF"));
    EXPECT_EQ("\xC5\x82", Decode(1250, "\xB3"));
    EXPECT_EQ("\xCE\xB1", Decode(1253, "\xE1"));
    EXPECT_EQ("\xC4\xB1", Decode(1254, "\xFD"));
    EXPECT_EQ("\xC5\xA1", Decode(1257, "\xF0"));
    EXPECT_EQ("\xC3\xA9", Decode(850, "\x82"));
    EXPECT_EQ("\xE2\x95\x94", Decode(437, "\xC9"));

    std::string stored;
    size_t at = 0;
    ASSERT_TRUE(Utf8ToCodePage(1252,
                               "\xC3\x9C"
                               "bersicht.txt",
                               &stored, &at));
    EXPECT_EQ("\xDC"
              "bersicht.txt",
              stored);
    // Cyrillic has no place in 1252: refused at its first byte, and 1251 is the page to offer.
    std::string cyrillic = "docs\\\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";
    EXPECT_FALSE(Utf8ToCodePage(1252, cyrillic, &stored, &at));
    EXPECT_EQ(5u, at);
    EXPECT_EQ(1251u, CodePageHolding(cyrillic));
    EXPECT_EQ(1252u, CodePageHolding("caf\xC3\xA9"));
    // Japanese kana fits none of them; malformed UTF-8 is refused where it breaks.
    EXPECT_EQ(0u, CodePageHolding("\xE3\x81\x82"));
    EXPECT_FALSE(Utf8ToCodePage(1252, "ab\xC3", &stored, &at));
    EXPECT_EQ(2u, at);
    EXPECT_FALSE(IsUtf8("\xC0\xAF"));       // overlong '/'
    EXPECT_FALSE(IsUtf8("\xED\xA0\x80"));   // a surrogate
    EXPECT_TRUE(IsUtf8("\xF0\x9F\x98\x80"));
}

TEST(CodePage, DecodingCutsAtCharacterBoundariesAndFollowsTheUnnamedRule)
{
    char out[6];
    // "ééé" needs 7 bytes: two characters and the terminator fit.
    EXPECT_EQ(0, CodePageToUtf8(1252, "\xE9\xE9\xE9", out, sizeof out));
    EXPECT_STREQ("\xC3\xA9\xC3\xA9", out);
    EXPECT_EQ(0, CopyUtf8("ab\xE2\x82\xAC", out, 5));
    EXPECT_STREQ("ab", out);

    char text[32];
    EXPECT_EQ(1, PackageTextToUtf8(1251, "\xC6", text, sizeof text));
    EXPECT_STREQ("\xD0\x96", text);
    if (SystemCodePage() == 0) {
        // Without a system code page: valid UTF-8 (what earlier builders wrote) stays as it is,
        // anything else is 1252.
        EXPECT_EQ(1, PackageTextToUtf8(0, "caf\xC3\xA9", text, sizeof text));
        EXPECT_STREQ("caf\xC3\xA9", text);
        EXPECT_EQ(1, PackageTextToUtf8(0, "caf\xE9", text, sizeof text));
        EXPECT_STREQ("caf\xC3\xA9", text);
    } else if (SystemCodePage() == 1252) {
        EXPECT_EQ(1, PackageTextToUtf8(0, "caf\xC3\xA9", text, sizeof text));
        EXPECT_STREQ("caf\xC3\x83\xC2\xA9", text);
    }
}

TEST(CodePage, TheSeamReachesNamesOutsideAscii)
{
    TempDir dir;
    std::string folder = dir /
        "\xC3\x9C"
        "bersicht";
    std::string file = dir /
        "\xC3\x9C"
        "bersicht\\\xD0\xB6\xC3\xB1.txt";
    ASSERT_EQ(1, MakeFolder(folder.c_str()));
    {
        FileStream out(WriteAccess, file.c_str());
        ASSERT_FALSE(out.HasError());
        out.Write("abc", 3);
    }
    EXPECT_EQ(BytesOf("abc"), ReadFileBytes(file));
    EXPECT_EQ(1, FileExists(file.c_str()));
    std::vector<std::string> names;
    ASSERT_EQ(
        1,
        ListFiles(
            folder.c_str(), [](void* c, const char* n) { ((std::vector<std::string>*)c)->push_back(n); }, &names));
    EXPECT_EQ(std::vector<std::string>({"\xD0\xB6\xC3\xB1.txt"}), names);
    char stored[kPathMax];
    ASSERT_EQ(1, Os().storedName(folder.c_str(), stored, sizeof stored));
    EXPECT_STREQ("\xC3\x9C"
                 "bersicht",
                 stored);
    std::string moved = dir /
        "\xC3\x9C"
        "bersicht\\caf\xC3\xA9.txt";
    ASSERT_EQ(1, MoveFileOver(file.c_str(), moved.c_str()));
    EXPECT_EQ(BytesOf("abc"), ReadFileBytes(moved));
    EXPECT_EQ(1, RemoveFile(moved.c_str()));
    EXPECT_EQ(1, RemoveFolder(folder.c_str()));
}
