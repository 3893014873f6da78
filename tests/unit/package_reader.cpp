// Reader and table tests: header checks, title and notes, the entry table and its refusals.
#include <gtest/gtest.h>
#include "os.h"
#include "package_fixture.h"
#include "stream.h"

namespace {

std::unique_ptr<PackageReader> ReaderOver(const TempDir& dir, const Image& image)
{
    std::string path = FreshPackagePath(dir);
    WriteFileBytes(path, image.b);
    return std::unique_ptr<PackageReader>(new PackageReader(path.c_str()));
}

}   // namespace

TEST(PackageReader, HeaderTitleAndNotes)
{
    TempDir dir;
    Image good;
    good.Header(3, 0).Str("Title").Str("Line one\r\nLine two");
    auto r = ReaderOver(dir, good);
    EXPECT_EQ(1, r->IsValid());
    EXPECT_EQ("Title", r->title);
    EXPECT_EQ("Line one\r\nLine two", r->notes);
    EXPECT_EQ(3, r->header.version);

    // A title of 100 characters keeps 79; the notes start after its NUL all the same.
    Image longTitle;
    longTitle.Header(1, 0).Str(std::string(100, 'T')).Str(std::string(9000, 'N'));
    auto l = ReaderOver(dir, longTitle);
    EXPECT_EQ(1, l->IsValid());
    EXPECT_TRUE(std::string(79, 'T') == l->title) << l->title.size();
    EXPECT_TRUE(std::string(8191, 'N') == l->notes) << l->notes.size();
}

TEST(PackageReader, MagicAndVersionAreChecked)
{
    TempDir dir;
    for (int version : {0, 17})
        EXPECT_EQ(1, ReaderOver(dir, Image().Header((uint8_t)version, 0).Str("t").Str("n"))->IsValid()) << version;
    for (int version : {18, 255})
        EXPECT_EQ(0, ReaderOver(dir, Image().Header((uint8_t)version, 0).Str("t").Str("n"))->IsValid()) << version;

    Image noNul;
    noNul.Raw(BytesOf("[QZUPD]X")).U8(1).U16(0).Str("t").Str("n");
    EXPECT_EQ(0, ReaderOver(dir, noNul)->IsValid());
    Image lower;
    lower.Raw(BytesOf("[qzupd]")).U8(0).U8(1).U16(0).Str("t").Str("n");
    EXPECT_EQ(0, ReaderOver(dir, lower)->IsValid());
}

TEST(PackageReader, ShortOrMissingFilesAreRefusedAfterConstruction)
{
    TempDir dir;
    std::string missing = dir / "none.upg";
    PackageReader m(missing.c_str());
    EXPECT_EQ(0, m.IsValid());

    // Ends inside the title, inside the notes, inside the header.
    EXPECT_EQ(0, ReaderOver(dir, Image().Header(1, 0).Raw(BytesOf("Tit")))->IsValid());
    EXPECT_EQ(0, ReaderOver(dir, Image().Header(1, 0).Str("t").Raw(BytesOf("no")))->IsValid());
    EXPECT_EQ(0, ReaderOver(dir, Image().Raw(BytesOf("[QZUPD]")))->IsValid());
    EXPECT_EQ(0, ReaderOver(dir, Image())->IsValid());
}

TEST(PackageTable, ConstructionDefaults)
{
    TempDir dir;
    auto job = JobOver(dir, ScriptPackage());
    ASSERT_EQ(1, job->IsValid());
    EXPECT_EQ(1u, job->progressTotal);
    EXPECT_EQ(-1, job->faultEntry);
    EXPECT_EQ(NameOk, job->faultName);
    EXPECT_EQ(0, job->tooManyEntries);
    EXPECT_EQ(0, job->cut);
    EXPECT_TRUE(job->entries.empty());
    EXPECT_EQ(nullptr, job->Entry(0));
}

TEST(PackageTable, EntryTableFieldsAndTotal)
{
    TempDir dir;
    Image p;
    p.Header(1, 4).Str("t").Str("n");
    p.Entry(0xE5, "patched.dll", 50);   // kind Patch, soft Ask, hard Abort, top bits ignored
    p.Entry(0x00, "added.txt", 100);
    p.Entry(0x02, "gone.txt");
    p.Entry(0x18, "sub\\x.bin", 0);   // Add, soft Abort, hard Ask
    p.U8(0x77);                       // the first script's first byte
    auto job = JobOver(dir, p);
    ASSERT_EQ(1, job->IsValid());
    EXPECT_EQ(151u, job->progressTotal);

    FileEntry* e = job->Entry(0);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(KindPatch, e->kind);
    EXPECT_EQ(PolicyAsk, e->softPolicy);
    EXPECT_EQ(PolicyAbort, e->hardPolicy);
    EXPECT_EQ(StatePending, e->state);
    EXPECT_STREQ("patched.dll", e->name);
    EXPECT_STREQ("desc", e->description);
    EXPECT_EQ(0x206F73CDu, +e->oldPrint.dateTime);
    EXPECT_EQ(7u, +e->oldPrint.size);
    EXPECT_EQ(0x1234, +e->oldPrint.checksum);
    EXPECT_EQ(50u, +e->newPrint.size);
    EXPECT_EQ(0x4321, +e->newPrint.checksum);

    EXPECT_EQ(KindAdd, job->Entry(1)->kind);
    EXPECT_EQ(0u, +job->Entry(1)->oldPrint.size);
    EXPECT_EQ(0u, +job->Entry(1)->oldPrint.dateTime);
    EXPECT_EQ(KindDelete, job->Entry(2)->kind);
    EXPECT_EQ(7u, +job->Entry(2)->oldPrint.size);
    EXPECT_EQ(0u, +job->Entry(2)->newPrint.dateTime);
    EXPECT_EQ(PolicyAbort, job->Entry(3)->softPolicy);
    EXPECT_EQ(PolicyAsk, job->Entry(3)->hardPolicy);
    EXPECT_EQ(nullptr, job->Entry(4));
    // The stream stands at the first script.
    EXPECT_EQ(0x77, job->stream->Get());
}

TEST(PackageTable, EmptyAndNegativeCounts)
{
    TempDir dir;
    for (int16_t count : {(int16_t)0, (int16_t)-1, (int16_t)-32768}) {
        Image p;
        p.Header(1, count).Str("t").Str("n").U8(0x42);
        auto job = JobOver(dir, p);
        EXPECT_EQ(1, job->IsValid()) << count;
        EXPECT_EQ(1u, job->progressTotal);
        EXPECT_EQ(nullptr, job->Entry(0));
        EXPECT_EQ(0x42, job->stream->Get());
    }
}

TEST(PackageTable, PackageEndingInTheTableIsInvalid)
{
    TempDir dir;
    // Positive count, nothing after the notes: the first flag byte meets the end.
    EXPECT_EQ(0, JobOver(dir, Image().Header(1, 1).Str("t").Str("n"))->IsValid());
    // Ends inside a name.
    EXPECT_EQ(0, JobOver(dir, Image().Header(1, 1).Str("t").Str("n").U8(0).Raw(BytesOf("ab")))->IsValid());
}

TEST(PackageTable, FingerprintsCutShortOrMissing)
{
    TempDir dir;
    // A new fingerprint of 6 bytes ends the table like a missing one: read as zeros it would
    // be the print of an empty file, which an empty script rebuilds.
    Image partial;
    partial.Header(1, 1).Str("t").Str("n").U8(KindAdd).Str("a.txt").Str("d").U32(0x206F73CD).U16(0x0201);
    EXPECT_EQ(0u, JobOver(dir, partial)->progressTotal);

    // The second entry's old fingerprint is missing entirely: total 0, later slots empty.
    Image missing;
    missing.Header(1, 3).Str("t").Str("n").Entry(KindAdd, "a.txt", 10).U8(KindPatch).Str("b.txt").Str("d");
    auto m = JobOver(dir, missing);
    EXPECT_EQ(0, m->IsValid());
    EXPECT_EQ(1, m->cut);
    EXPECT_EQ(1, m->HoldsSafeEntries());
    EXPECT_EQ(1, m->WholeEntries());
    EXPECT_EQ(0u, m->progressTotal);
    ASSERT_NE(nullptr, m->Entry(0));
    EXPECT_EQ(10u, +m->Entry(0)->newPrint.size);
    ASSERT_NE(nullptr, m->Entry(1));
    EXPECT_STREQ("b.txt", m->Entry(1)->name);
    EXPECT_EQ(nullptr, m->Entry(2));

    // Patch with its old fingerprint but no new one.
    Image noNew;
    noNew.Header(1, 1).Str("t").Str("n").U8(KindPatch).Str("c.txt").Str("d").Print(1, 2, 3);
    EXPECT_EQ(0u, JobOver(dir, noNew)->progressTotal);
}

TEST(PackageTable, TotalWrapsAtThirtyTwoBits)
{
    TempDir dir;
    Image p;
    p.Header(1, 2).Str("t").Str("n").Entry(KindAdd, "a", 0xFFFFFFF0u).Entry(KindAdd, "b", 0x20);
    EXPECT_EQ(0x11u, JobOver(dir, p)->progressTotal);
}

TEST(PackageTable, CountsBeyondTheTableReadNothing)
{
    TempDir dir;
    for (int16_t count : {(int16_t)10001, (int16_t)32767}) {
        Image p;
        p.Header(1, count).Str("t").Str("n");
        for (int i = 0; i < 3; i++) p.Entry(KindDelete, "f" + std::to_string(i));
        auto job = JobOver(dir, p);
        EXPECT_EQ(0, job->IsValid()) << count;
        EXPECT_EQ(1, job->tooManyEntries);
        EXPECT_EQ(nullptr, job->Entry(0));
        EXPECT_EQ(0u, job->progressTotal);
        // Nothing of the table was read: the stream stands at the first entry.
        EXPECT_EQ(KindDelete, job->stream->Get());
    }
}

TEST(PackageTable, FullTableOfTenThousandIsAccepted)
{
    TempDir dir;
    Image p;
    p.Header(1, kMaxEntries).Str("t").Str("n");
    for (int i = 0; i < kMaxEntries; i++) p.Entry(KindAdd, "f" + std::to_string(i), 1);
    auto job = JobOver(dir, p);
    EXPECT_EQ(1, job->IsValid());
    EXPECT_EQ(0, job->tooManyEntries);
    EXPECT_EQ((uint32_t)kMaxEntries + 1, job->progressTotal);
    ASSERT_NE(nullptr, job->Entry(kMaxEntries - 1));
    EXPECT_STREQ("f9999", job->Entry(kMaxEntries - 1)->name);
}

TEST(PackageTable, UnsafeNameRefusesTheWholeTable)
{
    TempDir dir;
    struct Case {
        std::string name;
        NameFault fault;
    } cases[] = {
        {"", NameEmpty},
        {"C:\\x.txt", NameAbsolute},
        {"\\x.txt", NameAbsolute},
        {"a:b", NameAbsolute},
        {"sub/x.txt", NameForwardSlash},
        {"sub\\", NameEdgeSeparator},
        {"sub\\..\\..\\x", NameEmptyComponent},
        {"a\\\\b", NameEmptyComponent},
        {"x.txt.", NameTrailingDotOrBlank},
        {"con.txt", NameDevice},
        {"a?b", NameBadCharacter},
        {"__qzupd_\\00000.TMP", NameInScratch},
        {std::string(260, 'n'), NameTooLong},
        {std::string(250, 'n'), NameTooLong},
    };
    for (const Case& c : cases) {
        Image p;
        p.Header(1, 3)
            .Str("t")
            .Str("n")
            .Entry(KindAdd, "fine.txt", 1)
            .Entry(KindDelete, c.name)
            .Entry(KindAdd, "ok", 2);
        auto job = JobOver(dir, p);
        EXPECT_EQ(0, job->IsValid()) << c.name;
        EXPECT_EQ(1, job->faultEntry) << c.name;
        EXPECT_EQ(c.fault, job->faultName) << c.name;
        // The table is still read to its end.
        ASSERT_NE(nullptr, job->Entry(2));
        EXPECT_STREQ("ok", job->Entry(2)->name);
    }
    // 249 characters are the most a name can hold whole.
    Image p;
    p.Header(1, 1).Str("t").Str("n").Entry(KindAdd, std::string(249, 'n'), 1);
    EXPECT_EQ(1, JobOver(dir, p)->IsValid());
}

// A package that names no code page, as other builders and earlier releases wrote them: its
// strings come out in UTF-8 by the system's rule, and a name whose UTF-8 form outgrows the name
// buffer is refused as cut instead of being cut into another name.
TEST(PackageTable, StringsOfAnUnnamedCodePageAreDecoded)
{
    TempDir dir;
    Image p;
    p.Header(1, 2).Str("Caf\xE9").Str("Stra\xDF"
                                      "e");
    p.Entry(KindDelete, "a\xF1o.txt").Entry(KindDelete, "caf\xC3\xA9.txt");
    auto job = JobOver(dir, p);
    ASSERT_EQ(1, job->IsValid());
    EXPECT_EQ(0u, job->codePage);
    if (SystemCodePage() == 0 || SystemCodePage() == 1252) {
        EXPECT_EQ("Caf\xC3\xA9", job->title);
        EXPECT_EQ("Stra\xC3\x9F"
                  "e",
                  job->notes);
        EXPECT_STREQ("a\xC3\xB1o.txt", job->Entry(0)->name);
    }
    if (SystemCodePage() == 0) {
        EXPECT_STREQ("caf\xC3\xA9.txt", job->Entry(1)->name);
    }

    Image cut;
    cut.Header(1, 1).Str("t").Str("n").Entry(KindDelete, std::string(200, '\xE9'));
    auto c = JobOver(dir, cut);
    EXPECT_EQ(0, c->IsValid());
    EXPECT_EQ(NameTooLong, c->faultName);
}
