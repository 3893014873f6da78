// The wording table: line splitting, defaults, cut lines, part lookups and the resource fallbacks.
#include <gtest/gtest.h>
#include <string>
#include "engine_fixture.h"
#include "os.h"
#include "uitext.h"

namespace {

std::string Table(const std::string& text, TempDir& dir)
{
    std::string path = dir / "wording.uui";
    WriteFileBytes(path, BytesOf(text));
    return path;
}

TEST(UiTextTable, SplitsLinesOneAndTwoOnly)
{
    TempDir dir;
    UiTextTable t(Table("zero\nX|Y|Z\nA|B|C\nCap|tion\n", dir).c_str());
    EXPECT_STREQ(t.LineText(0), "zero");
    EXPECT_STREQ(t.LinePart(1, 0), "X");
    EXPECT_STREQ(t.LinePart(1, 1), "Y");
    EXPECT_STREQ(t.LinePart(1, 2), "Z");
    // A part past the last runs on into the next line.
    EXPECT_STREQ(t.LinePart(1, 3), "A");
    EXPECT_STREQ(t.LinePart(2, 2), "C");
    EXPECT_STREQ(t.LinePart(2, 3), "Cap|tion");
    EXPECT_STREQ(t.LineText(3), "Cap|tion");
    EXPECT_STREQ(t.LineText(1), t.LinePart(1, 0));
}

// Lines come out in UTF-8: from UTF-8 after the mark, else from the ANSI code page (1252 where
// the platform has none). A line of 255 stored bytes may take more room decoded, and still
// reaches its end.
TEST(UiTextTable, UtfMarkOrAnsiCodePage)
{
    TempDir dir;
    UiTextTable marked(
        Table("\xEF\xBB\xBF\xD0\x92\xD0\xBD\xD0\xB8\xD0\xBC\xD0\xB0\xD0\xBD\xD0\xB8\xD0\xB5\nX|\xC3\xA9|Z\n", dir)
            .c_str());
    EXPECT_STREQ(marked.LineText(0), "\xD0\x92\xD0\xBD\xD0\xB8\xD0\xBC\xD0\xB0\xD0\xBD\xD0\xB8\xD0\xB5");
    EXPECT_STREQ(marked.LinePart(1, 1), "\xC3\xA9");
    if (SystemCodePage() == 0 || SystemCodePage() == 1252) {
        std::string accents(255, '\xE9');
        UiTextTable ansi(Table("caf\xE9\nX|\xFC|Z\n" + accents + "\nend\n", dir).c_str());
        EXPECT_STREQ(ansi.LineText(0), "caf\xC3\xA9");
        EXPECT_STREQ(ansi.LinePart(1, 1), "\xC3\xBC");
        std::string decoded;
        for (int i = 0; i < 255; i++) decoded += "\xC3\xA9";
        EXPECT_EQ(decoded, ansi.LineText(2));
        EXPECT_STREQ(ansi.LineText(3), "end");
    }
}

TEST(UiTextTable, MissingAndEmptyLinesReadAsDashes)
{
    TempDir dir;
    UiTextTable t(Table("zero\n\nA|B\n", dir).c_str());
    EXPECT_STREQ(t.LinePart(1, 0), "-");
    EXPECT_STREQ(t.LinePart(1, 1), "-");
    EXPECT_STREQ(t.LinePart(1, 2), "-");
    EXPECT_STREQ(t.LinePart(1, 3), "");         // the empty fourth part of "-|-|-|"
    EXPECT_STREQ(t.LinePart(2, 2), "-|-|-|");   // only two parts: part 2 reads as line 3
    for (int n = 3; n <= 21; n++) EXPECT_STREQ(t.LineText(n), "-|-|-|") << n;
    EXPECT_TRUE(t.HasLine(1));
    EXPECT_TRUE(t.HasLine(2));
    EXPECT_FALSE(t.HasLine(3));
    EXPECT_FALSE(t.HasLine(21));
}

TEST(UiTextTable, UnreadableFileGivesDefaultsEverywhere)
{
    TempDir dir;
    UiTextTable t((dir / "absent.uui").c_str());
    EXPECT_STREQ(t.LineText(0), "-|-|-|");
    EXPECT_STREQ(t.LinePart(2, 1), "-");
    EXPECT_STREQ(t.LineText(20), "-|-|-|");
    for (int n = 0; n < kUiLines; n++) EXPECT_FALSE(t.HasLine(n)) << n;
}

TEST(UiTextTable, CarriageReturnsZeroBytesAndLongLines)
{
    TempDir dir;
    std::string crlf = "a\r\nb|c\r\nd\r\nmid\rdle\r\n";
    std::string lf = "a\nb|c\nd\nmiddle\n";
    UiTextTable t1(Table(crlf, dir).c_str());
    UiTextTable t2(Table(lf, dir).c_str());
    for (int n = 0; n < kUiLines; n++) EXPECT_STREQ(t1.LineText(n), t2.LineText(n)) << n;
    EXPECT_STREQ(t1.LineText(3), "middle");

    std::string zero("one\ntwo\nthree\nfour");
    zero += '\0';
    zero += "rest\nnext\n";
    UiTextTable t3(Table(zero, dir).c_str());
    EXPECT_STREQ(t3.LineText(3), "four");
    EXPECT_STREQ(t3.LineText(4), "rest");
    EXPECT_STREQ(t3.LineText(5), "next");

    std::string longLine(300, 'x');
    UiTextTable t4(Table("0\n1\n2\n" + longLine + "\nafter\n", dir).c_str());
    EXPECT_EQ(std::string(t4.LineText(3)), std::string(255, 'x'));
    EXPECT_STREQ(t4.LineText(4), "after");

    UiTextTable t5(Table("0\n1\n2\n   \n", dir).c_str());
    EXPECT_STREQ(t5.LineText(3), "   ");
}

TEST(UiTextTable, KeepsTwentyTwoLinesAndIgnoresTheRest)
{
    TempDir dir;
    std::string text;
    for (int i = 0; i < 25; i++) text += "line" + std::to_string(i) + "\n";
    UiTextTable t(Table(text, dir).c_str());
    EXPECT_STREQ(t.LineText(20), "line20");
    EXPECT_STREQ(t.LineText(21), "line21");
    EXPECT_TRUE(t.HasLine(21));
    // A last line without its line feed still counts.
    UiTextTable u(Table("a\nb\nc\nlast", dir).c_str());
    EXPECT_STREQ(u.LineText(3), "last");
    EXPECT_TRUE(u.HasLine(3));
    EXPECT_FALSE(u.HasLine(4));
}

TEST(UiTextTable, PartLookupsNeverLeaveTheStore)
{
    TempDir dir;
    std::string text;
    for (int i = 0; i < kUiLines; i++) text += std::string(255, (char)('a' + i)) + "\n";
    UiTextTable t(Table(text, dir).c_str());
    // The last line fills the store to its last byte: stepping past it must give "" not run off.
    EXPECT_STREQ(t.LinePart(kUiLines - 1, 1), "");
    EXPECT_STREQ(t.LinePart(kUiLines - 2, 1), t.LineText(kUiLines - 1));
    EXPECT_STREQ(t.LinePart(1, 400), "");
    EXPECT_STREQ(t.LineText(kUiLines), "");
    EXPECT_STREQ(t.LineText(-1), "");
}

TEST(UiTextTable, DefaultWordingHasEveryLine)
{
    UiTextTable t(DefaultWordingPath().c_str());
    for (int n = 0; n < kUiLines; n++) EXPECT_TRUE(t.HasLine(n)) << n;
    EXPECT_STREQ(t.LinePart(1, 1), "Update");
    EXPECT_STREQ(t.LineText(3), "Upgrade");
}

const char kOwnWording[] = "own\nP|Q|R\nL|M|N\nOwn caption\n";

int NoResource(void*, const char*, const void**, uint32_t*) { return 0; }

TEST(UiTextTable, ResourceConstructorFallsBack)
{
    RegisterResource("ENGINE_TEST_UI", kOwnWording, sizeof kOwnWording - 1);
    UiTextTable named(nullptr, "ENGINE_TEST_UI");
    EXPECT_STREQ(named.LineText(3), "Own caption");
    EXPECT_STREQ(named.LinePart(1, 2), "R");

    UiTextTable fallback(nullptr, "NO_SUCH_RESOURCE");
    EXPECT_STREQ(fallback.LineText(3), "Upgrade");

    OsLayer none = NativeOs();
    none.findResource = NoResource;
    const OsLayer* previous = SetOs(&none);
    UiTextTable missing(nullptr, "ENGINE_TEST_UI");
    SetOs(previous);
    EXPECT_STREQ(missing.LineText(0), "N/A");
    for (int n = 1; n <= 20; n++) EXPECT_STREQ(missing.LineText(n), n == 1 || n == 2 ? "-" : "-|-|-|") << n;
}

}   // namespace
