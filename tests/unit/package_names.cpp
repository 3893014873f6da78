// Entry-name check tests: every class of unsafe name, and the safe names that resemble them.
#include <gtest/gtest.h>
#include <set>
#include <string>
#include "entries.h"

namespace {

struct NameCase {
    const char* name;
    NameFault fault;
};

void ExpectAll(const NameCase* cases, size_t n)
{
    for (size_t i = 0; i < n; i++)
        EXPECT_EQ(cases[i].fault, CheckEntryName(cases[i].name, 0)) << "name: " << cases[i].name;
}

}   // namespace

TEST(EntryName, SafeNamesPass)
{
    static const NameCase cases[] = {
        {"readme.txt", NameOk},
        {"sub\\deeper\\file.dll", NameOk},
        {"a..b", NameOk},
        {".hidden", NameOk},
        {"CONFIG.SYS", NameOk},
        {"CONSOLE", NameOk},
        {"COM10", NameOk},
        {"LPT", NameOk},
        {"nul_file", NameOk},
        {"x\\con_\\y", NameOk},
        {"__QZUPD_X\\f", NameOk},
        {"x\\__QZUPD_\\f", NameOk},
        {"name with blank", NameOk},
        {"caf\xe9.txt", NameOk},
        {" lead", NameOk},
    };
    ExpectAll(cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(NameOk, CheckEntryName(std::string(249, 'n').c_str(), 0));
}

TEST(EntryName, PlacesOutsideTheTargetAreRefused)
{
    static const NameCase cases[] = {
        {"", NameEmpty},
        {"C:\\Windows\\x.dll", NameAbsolute},
        {"C:x.dll", NameAbsolute},
        {"file.txt:stream", NameAbsolute},
        {"\\Windows\\x.dll", NameAbsolute},
        {"\\\\server\\share\\x", NameAbsolute},
        {"/etc/passwd", NameAbsolute},
        {"sub/x.txt", NameForwardSlash},
        {"..", NameEmptyComponent},
        {".", NameEmptyComponent},
        {"..\\x.txt", NameEmptyComponent},
        {"sub\\..\\..\\x.txt", NameEmptyComponent},
        {"sub\\.\\x.txt", NameEmptyComponent},
        {"sub\\\\x.txt", NameEmptyComponent},
        {"sub\\", NameEdgeSeparator},
        {"__QZUPD_", NameInScratch},
        {"__qzupd_\\00001.TMP", NameInScratch},
        {"__QzUpD_\\x", NameInScratch},
    };
    ExpectAll(cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(NameEmpty, CheckEntryName(nullptr, 0));
}

TEST(EntryName, NamesThePlatformWouldAlterAreRefused)
{
    static const NameCase cases[] = {
        {"x.txt.", NameTrailingDotOrBlank},
        {"x.txt ", NameTrailingDotOrBlank},
        {"sub.\\x", NameTrailingDotOrBlank},
        {"sub \\x", NameTrailingDotOrBlank},
        {"...", NameTrailingDotOrBlank},
        {"CON", NameDevice},
        {"con", NameDevice},
        {"Prn.txt", NameDevice},
        {"aux.tar.gz", NameDevice},
        {"sub\\NUL", NameDevice},
        {"COM0", NameDevice},
        {"com9.log", NameDevice},
        {"LPT1", NameDevice},
        {"lpt5.x", NameDevice},
        {"CONIN$", NameDevice},
        {"conout$.txt", NameDevice},
        {"CON .txt", NameDevice},
        {"COM\xc2\xb9", NameDevice},   // superscript one, in UTF-8 as names are inside
        {"lpt\xc2\xb3.txt", NameDevice},
        {"a<b", NameBadCharacter},
        {"a>b", NameBadCharacter},
        {"a\"b", NameBadCharacter},
        {"a|b", NameBadCharacter},
        {"a?b", NameBadCharacter},
        {"*.dll", NameBadCharacter},
        {"tab\there", NameBadCharacter},
        {"line\nfeed", NameBadCharacter},
        {"\x1f", NameBadCharacter},
        {"del\x7f", NameBadCharacter},
    };
    ExpectAll(cases, sizeof cases / sizeof cases[0]);
}

TEST(EntryName, CutNamesAreRefusedWhateverTheyHold)
{
    EXPECT_EQ(NameTooLong, CheckEntryName("short.txt", 1));
    EXPECT_EQ(NameTooLong, CheckEntryName(std::string(249, 'n').c_str(), 1));
    EXPECT_EQ(NameEmpty, CheckEntryName("", 1));
}

TEST(EntryName, EveryFaultHasItsOwnText)
{
    std::set<std::string> texts;
    for (int f = NameOk; f <= NameInScratch; f++) {
        const char* t = NameFaultText((NameFault)f);
        ASSERT_NE(nullptr, t);
        EXPECT_NE('\0', t[0]);
        texts.insert(t);
    }
    EXPECT_EQ((size_t)NameInScratch + 1, texts.size());
}
