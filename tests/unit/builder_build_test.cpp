// upg build end to end: trees in, a package out, applied by the engine to a copy of the old
// tree; and the refusals that leave no package behind.
#include <gtest/gtest.h>
#include <filesystem>
#include <map>
#include <random>
#include "apply.h"
#include "build.h"
#include "crypto.h"
#include "dostime.h"
#include "os.h"
#include "job.h"
#include "script.h"
#include "applysupport.h"
#include "stream.h"
#include "testutil.h"
#include "session.h"
#include "uitext.h"

namespace fs = std::filesystem;

namespace {

typedef std::map<std::string, Bytes> Tree;   // relative name with '\' -> content

void WriteTree(const TempDir& dir, const std::string& folder, const Tree& tree)
{
    fs::create_directories(dir / folder);
    for (const auto& f : tree) WriteFileBytes(dir / (folder + "\\" + f.first), f.second);
}

Tree ReadTree(const std::string& root)
{
    Tree t;
    for (auto it = fs::recursive_directory_iterator(fs::u8path(root)); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file()) continue;
        std::string name = it->path().lexically_relative(fs::u8path(root)).generic_u8string();
        std::replace(name.begin(), name.end(), '/', '\\');
        t[name] = ReadFileBytes(it->path().u8string());
    }
    return t;
}

// Sets a file's last-write time to a DOS date-time taken as UTC.
void SetUtcStamp(const std::string& path, uint16_t date, uint16_t time)
{
    OsFileTime t;
    ASSERT_TRUE(DosToFileTime(date, time, &t));
    FileStream f(ReadAccess | WriteAccess, path.c_str());
    ASSERT_TRUE(Os().setTimes(f.handle, t));
}

int Apply(const std::string& package, const std::string& target, ScriptedUi* ui)
{
    UpgradeJob job(package.c_str(), target.c_str());
    ApplySession host(&job, ui);
    host.wording.reset(new UiTextTable(nullptr, kDefaultUiResource));
    return job.IsValid() ? ApplyUpgrade(&host) == ApplyApplied : -1;
}

struct Built {
    int ok;
    std::string error;
    BuildReport report;
};

Built Build(const TempDir& dir, BuildOptions o = BuildOptions())
{
    if (o.oldDir.empty()) o.oldDir = dir / "old";
    if (o.newDir.empty()) o.newDir = dir / "new";
    if (o.output.empty()) o.output = dir / "p.upg";
    Built b;
    b.ok = BuildPackage(o, &b.report, &b.error);
    return b;
}

// The entries of a package as the applier reads them.
std::vector<FileEntry> EntriesOf(const std::string& package)
{
    UpgradeJob job(package.c_str());
    std::vector<FileEntry> out;
    EXPECT_TRUE(job.IsValid());
    for (int i = 0; i < job.header.entryCount; i++) out.push_back(*job.Entry(i));
    return out;
}

Bytes Pattern(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = (uint8_t)("abcdefgh \n"[rng() % 10]);
    return b;
}

}   // namespace

TEST(BuilderBuild, RoundTripOfAddsDeletesPatchesAndEdgeSizes)
{
    TempDir dir;
    std::mt19937 rng(5);
    Tree old, now;
    Bytes big = Pattern(300000, 1);
    old["big.bin"] = big;
    // Blocks moved around across 64 KiB windows, plus a little new text.
    Bytes moved(big.begin() + 200000, big.end());
    moved.insert(moved.end(), big.begin(), big.begin() + 200000);
    moved.insert(moved.begin() + 70000, 50, 'Z');
    now["big.bin"] = moved;
    for (uint32_t size : {255u, 256u, 257u, 65535u, 65536u, 65537u}) {
        std::string name = "sizes\\f" + std::to_string(size);
        old[name] = Pattern(size, size);
        Bytes b = Pattern(size, size);
        b[size / 2] ^= 0x40;
        now[name] = b;
        now["sizes\\new" + std::to_string(size)] = Pattern(size, size + 7);
    }
    old["gone.txt"] = BytesOf("deleted");
    old["empty-old"] = Bytes();
    now["empty-old"] = BytesOf("now filled");
    old["becomes-empty"] = BytesOf("content");
    now["becomes-empty"] = Bytes();
    now["deep\\new\\sub\\added.txt"] = BytesOf("added in new folders");
    now["deep\\new\\empty.txt"] = Bytes();
    old["same.txt"] = now["same.txt"] = BytesOf("identical");
    WriteTree(dir, "old", old);
    WriteTree(dir, "new", now);
    // Same stamp on the identical pair, so that it needs no entry.
    SetUtcStamp(dir / "old\\same.txt", 0x2A21, 0x5000);
    SetUtcStamp(dir / "new\\same.txt", 0x2A21, 0x5000);

    Built b = Build(dir);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.report.unchanged, 1);
    EXPECT_EQ(b.report.deletes, 1);
    EXPECT_EQ(b.report.adds, 8);
    EXPECT_EQ(b.report.patches, 9);
    // Entries sorted by name, as Windows orders names regardless of case.
    std::vector<FileEntry> entries = EntriesOf(dir / "p.upg");
    for (size_t i = 1; i < entries.size(); i++) EXPECT_LT(strcmp(entries[i - 1].name, entries[i].name), 0);
    for (const BuildEntryInfo& e : b.report.entries) {
        if (e.name == "big.bin") {
            EXPECT_LT(e.scriptBytes, 2000u) << "moved blocks are copies";
        }
    }

    fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(Apply(dir / "p.upg", dir / "target", &ui), 1);
    EXPECT_EQ(ReadTree(dir / "target"), now);
    EXPECT_EQ(ui.Count("ask"), 0);
}

TEST(BuilderBuild, TheSealFollowsTheUnsealedPackageUnseenByAFormatReader)
{
    TempDir dir;
    WriteTree(dir, "old", {{"a.txt", Pattern(3000, 1)}, {"gone.txt", BytesOf("x")}});
    WriteTree(dir, "new", {{"a.txt", Pattern(3100, 1)}, {"b.txt", Pattern(500, 2)}});
    PublisherKey key;
    memset(&key, 0, sizeof key);
    ASSERT_EQ(1, GenerateKeyPair(key.privateKey, key.publicKey));
    key.hasPrivate = 1;
    BuildOptions plain, sealed;
    plain.seal = 0;
    plain.output = dir / "plain.upg";
    sealed.signer = &key;
    Built p = Build(dir, plain), s = Build(dir, sealed);
    ASSERT_TRUE(p.ok && s.ok) << p.error << s.error;
    EXPECT_EQ(0u, p.report.sealBytes);
    EXPECT_EQ(1, s.report.isSigned);
    Bytes a = ReadFileBytes(dir / "plain.upg"), b = ReadFileBytes(dir / "p.upg");
    ASSERT_EQ(a.size() + s.report.sealBytes, b.size());
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin()));

    // A reader that knows only the scripts stops exactly where the seal begins.
    PackageTable job((dir / "p.upg").c_str());
    ASSERT_TRUE(job.IsValid());
    ScriptRun run;
    for (int i = 0; i < job.header.entryCount; i++)
        if (job.Entry(i)->kind != KindDelete) RunPatchScript(job.stream.get(), &run, nullptr, nullptr);
    EXPECT_EQ(0, job.stream->HasError());
    EXPECT_EQ(a.size(), job.stream->Tell());

    BuildOptions both;
    both.seal = 0;
    both.signer = &key;
    EXPECT_FALSE(Build(dir, both).ok);
}

// A block that two other files of the package insert as literals is inserted whole where it
// could only be pieced together from short copies, as the compressed package then repeats it.
TEST(BuilderBuild, LiteralsThatRecurInThePackageAreNotPiecedTogether)
{
    std::mt19937 rng(8);
    auto random = [&](size_t n) {
        Bytes b(n);
        for (auto& c : b) c = (uint8_t)rng();
        return b;
    };
    Bytes block = random(4096), head = random(20000), tail = random(20000), a = random(20000);
    Bytes broken = block;
    for (size_t i = 0; i < broken.size(); i += 15) broken[i] ^= 0x55;
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    for (int recurs : {0, 1}) {
        TempDir dir;
        Tree old{{"a.bin", a}, {"b.bin", join({head, broken, tail})}};
        Tree now{{"a.bin", join({a, block})}, {"b.bin", join({head, block, tail})}};
        if (recurs) now["c.bin"] = join({block, random(100)});
        WriteTree(dir, "old", old);
        WriteTree(dir, "new", now);
        Built b = Build(dir);
        ASSERT_TRUE(b.ok) << b.error;
        uint64_t script = 0;
        for (const BuildEntryInfo& e : b.report.entries)
            if (e.name == "b.bin") script = e.scriptBytes;
        if (recurs)
            EXPECT_GT(script, block.size()) << "the block goes in as literals";
        else
            EXPECT_LT(script, block.size()) << "the block is copied in pieces";
        fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
        ScriptedUi ui = ScriptedUi::Yes();
        EXPECT_EQ(Apply(dir / "p.upg", dir / "target", &ui), 1);
        EXPECT_EQ(ReadTree(dir / "target"), now);
    }
}

TEST(BuilderBuild, DateOnlyChangesPatchTheDateAndIdenticalFilesAreLeftOut)
{
    TempDir dir;
    WriteTree(dir, "old", {{"a.txt", BytesOf("same bytes")}, {"b.txt", BytesOf("same too")}});
    WriteTree(dir, "new", {{"a.txt", BytesOf("same bytes")}, {"b.txt", BytesOf("same too")}});
    SetUtcStamp(dir / "old\\a.txt", 0x2A21, 0x5000);
    SetUtcStamp(dir / "new\\a.txt", 0x2A22, 0x5000);   // one day later
    SetUtcStamp(dir / "old\\b.txt", 0x2A21, 0x5000);
    SetUtcStamp(dir / "new\\b.txt", 0x2A21, 0x5000);
    Built b = Build(dir);
    ASSERT_TRUE(b.ok) << b.error;
    ASSERT_EQ(b.report.entries.size(), 1u);
    EXPECT_EQ(b.report.entries[0].name, "a.txt");
    EXPECT_TRUE(b.report.entries[0].dateOnly);
    EXPECT_LE(b.report.entries[0].scriptBytes, 5u) << "one near copy and End";
    std::vector<FileEntry> e = EntriesOf(dir / "p.upg");
    EXPECT_EQ(e[0].softPolicy, PolicyIgnore);
    EXPECT_EQ(e[0].hardPolicy, PolicyAsk);

    fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(Apply(dir / "p.upg", dir / "target", &ui), 1);
    FileFingerprint applied, wanted;
    ComputeFingerprint((dir / "target\\a.txt").c_str(), &applied);
    ComputeFingerprint((dir / "new\\a.txt").c_str(), &wanted);
    EXPECT_EQ(applied.dateTime, wanted.dateTime);
}

TEST(BuilderBuild, ThousandsOfFilesRoundTrip)
{
    TempDir dir;
    Tree old, now;
    for (int i = 0; i < 1200; i++) {
        std::string name = "f" + std::to_string(i / 100) + "\\file" + std::to_string(i) + ".txt";
        Bytes b = Pattern(50 + i % 700, i);
        old[name] = b;
        if (i % 3 == 0) b.push_back('!');
        if (i % 5 != 4) now[name] = b;
        if (i % 7 == 0) now["added\\n" + std::to_string(i)] = Pattern(20, i);
    }
    WriteTree(dir, "old", old);
    WriteTree(dir, "new", now);
    BuildOptions o;
    o.jobs = 2;
    Built b = Build(dir, o);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_GT(b.report.entries.size(), 600u);
    fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(Apply(dir / "p.upg", dir / "target", &ui), 1);
    EXPECT_EQ(ReadTree(dir / "target"), now);
}

TEST(BuilderBuild, RulesSetPoliciesAndDescriptions)
{
    BuildRule r;
    std::string why;
    ASSERT_TRUE(ParseRule("conf/*.ini:soft=abort,hard=ignore,desc=Settings, kept", &r, &why)) << why;
    EXPECT_EQ(r.glob, "conf/*.ini");
    EXPECT_EQ(r.soft, PolicyAbort);
    EXPECT_EQ(r.hard, PolicyIgnore);
    EXPECT_EQ(r.description, "Settings, kept");
    EXPECT_FALSE(ParseRule("*.ini", &r, &why));
    EXPECT_FALSE(ParseRule("*.ini:soft=maybe", &r, &why));
    EXPECT_NE(why.find("maybe"), std::string::npos);
    EXPECT_FALSE(ParseRule("*.ini:colour=red", &r, &why));

    EXPECT_TRUE(GlobMatches("*.INI", "conf\\a.ini"));
    EXPECT_TRUE(GlobMatches("conf/*.ini", "CONF\\a.ini"));
    EXPECT_FALSE(GlobMatches("conf/*.ini", "conf\\sub\\a.ini"));
    EXPECT_TRUE(GlobMatches("conf/**/*.ini", "conf\\sub\\a.ini"));
    EXPECT_TRUE(GlobMatches("conf/**/*.ini", "conf\\a.ini"));
    EXPECT_TRUE(GlobMatches("?.dll", "x.dll"));
    EXPECT_FALSE(GlobMatches("?.dll", "xy.dll"));

    TempDir dir;
    WriteTree(dir, "old", {{"conf\\a.ini", BytesOf("1")}, {"gone.dll", BytesOf("2")}});
    WriteTree(dir, "new", {{"conf\\a.ini", BytesOf("3")}, {"app.exe", BytesOf("4")}});
    BuildOptions o;
    o.rules.push_back(BuildRule{"*.ini", PolicyAbort, -1, 1, "Settings"});
    o.rules.push_back(BuildRule{"conf\\*", -1, PolicyIgnore, 0, ""});
    Built b = Build(dir, o);
    ASSERT_TRUE(b.ok) << b.error;
    std::vector<FileEntry> e = EntriesOf(dir / "p.upg");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_STREQ(e[0].name, "app.exe");
    EXPECT_EQ(e[0].kind, KindAdd);
    EXPECT_EQ(e[0].softPolicy, PolicyAsk);
    EXPECT_STREQ(e[0].description, "app.exe");
    EXPECT_STREQ(e[1].name, "conf\\a.ini");
    EXPECT_EQ(e[1].softPolicy, PolicyAbort);
    EXPECT_EQ(e[1].hardPolicy, PolicyIgnore);
    EXPECT_STREQ(e[1].description, "Settings");
    EXPECT_EQ(e[2].kind, KindDelete);
    EXPECT_EQ(e[2].hardPolicy, PolicyIgnore);
}

TEST(BuilderBuild, UtcOffsetShiftsTheFingerprintDates)
{
    TempDir dir;
    WriteTree(dir, "old", {});
    WriteTree(dir, "new", {{"a.txt", BytesOf("x")}});
    // 1 May 2001, 10:00:00 UTC.
    uint16_t date = (uint16_t)(((2001 - 1980) << 9) | (5 << 5) | 1), time = (uint16_t)(10 << 11);
    SetUtcStamp(dir / "new\\a.txt", date, time);
    BuildOptions o;
    o.hasUtcOffset = 1;
    o.utcOffsetMinutes = 2 * 60 + 30;
    ASSERT_TRUE(Build(dir, o).ok);
    EXPECT_EQ(EntriesOf(dir / "p.upg")[0].newPrint.dateTime, ((uint32_t)date << 16) | (12u << 11) | (30u << 5));
    o.utcOffsetMinutes = -11 * 60;
    ASSERT_TRUE(Build(dir, o).ok);
    uint16_t dayBefore = (uint16_t)(((2001 - 1980) << 9) | (4 << 5) | 30);
    EXPECT_EQ(EntriesOf(dir / "p.upg")[0].newPrint.dateTime, ((uint32_t)dayBefore << 16) | (23u << 11));
}

TEST(BuilderBuild, RefusalsLeaveNoPackageAndKeepAnOlderOne)
{
    TempDir dir;
    WriteTree(dir, "old", {{"a.txt", BytesOf("1")}});
    WriteTree(dir, "new", {{"a.txt", BytesOf("2")}});
    WriteFileBytes(dir / "p.upg", BytesOf("an older package"));
    BuildOptions o;

    o.title = std::string(80, 't');
    Built b = Build(dir, o);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("title"), std::string::npos);
    o.title = "ok";

    o.notes = std::string(8000, 'n') + std::string(200, '\n');   // CR LF makes it too long
    b = Build(dir, o);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("notes"), std::string::npos);
    o.notes = "";

    o.newDir = dir / "missing";
    b = Build(dir, o);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("missing"), std::string::npos);
    o.newDir = "";

    o.output = dir / "new\\inside.upg";
    b = Build(dir, o);
    EXPECT_FALSE(b.ok);
    o.output = "";

    EXPECT_EQ(ReadFileBytes(dir / "p.upg"), BytesOf("an older package"));
    EXPECT_FALSE(PathExists(dir / "p.upg.tmp"));
    EXPECT_FALSE(PathExists(dir / "p.upg.parts"));
    EXPECT_FALSE(PathExists(dir / "new\\inside.upg"));
}

#ifndef _WIN32
// Names Windows cannot hold exist only on the POSIX file systems the builder also runs on.
TEST(BuilderBuild, NamesTheApplierWouldRefuseAreRefusedByName)
{
    struct Case {
        const char* name;
        const char* fault;
    } cases[] = {{"aux.txt", "device"}, {"dir\\trail.", "dot"}, {"a|b", "character"}, {"__QZUPD_\\x", "scratch"}};
    for (const Case& c : cases) {
        TempDir dir;
        WriteTree(dir, "old", {});
        WriteTree(dir, "new", {{c.name, BytesOf("x")}});
        Built b = Build(dir);
        EXPECT_FALSE(b.ok) << c.name;
        EXPECT_NE(b.error.find(c.name), std::string::npos) << b.error;
        EXPECT_FALSE(PathExists(dir / "p.upg")) << c.name;
    }
    TempDir dir;
    WriteTree(dir, "old", {});
    WriteTree(dir, "new", {{"Read.me", BytesOf("1")}, {"READ.ME", BytesOf("2")}});
    Built b = Build(dir);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("differ only in case"), std::string::npos) << b.error;
}

TEST(BuilderBuild, MoreEntriesThanAPackageHoldsAreRefused)
{
    TempDir dir;
    fs::create_directories(dir / "old");
    for (int i = 0; i <= kMaxEntries; i++)
        WriteFileBytes(dir / ("new\\d" + std::to_string(i % 50) + "\\" + std::to_string(i)), Bytes());
    Built b = Build(dir);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("10000"), std::string::npos) << b.error;
    EXPECT_FALSE(PathExists(dir / "p.upg"));
}
#endif

// Names, title and notes come from the tree as UTF-8, are stored in the package's code page
// (recorded in the seal) and reach the installation under their own names again.
TEST(BuilderBuild, NamesOutsideAsciiAreStoredInTheCodePageAndApplyUnderTheirNames)
{
    TempDir dir;
    const std::string cafe = "caf\xC3\xA9.txt",
                      overview = "docs\\\xC3\x9C"
                                 "bersicht.txt",
                      year = "a\xC3\xB1o.txt";
    Tree old = {{cafe, BytesOf("old coffee")}, {year, BytesOf("last year")}, {"keep.txt", BytesOf("kept")}};
    Tree now = {
        {cafe, BytesOf("new coffee, stronger")}, {overview, BytesOf("overview")}, {"keep.txt", BytesOf("kept")}};
    WriteTree(dir, "old", old);
    WriteTree(dir, "new", now);
    SetUtcStamp(dir / "old\\keep.txt", 0x2A21, 0x5000);
    SetUtcStamp(dir / "new\\keep.txt", 0x2A21, 0x5000);
    BuildOptions o;
    o.title = "Caf\xC3\xA9 2.0 \xE2\x80\x93 Bl\xC3\xBCte";
    o.notes = "Stra\xC3\x9F"
              "e\n";
    Built b = Build(dir, o);
    ASSERT_TRUE(b.ok) << b.error;

    Bytes bytes = ReadFileBytes(dir / "p.upg");
    std::string raw(bytes.begin(), bytes.end());
    EXPECT_EQ(0u, raw.find(std::string("[QZUPD]\0", 8)));
    EXPECT_NE(std::string::npos,
              raw.find(std::string("Caf\xE9 2.0 \x96 Bl\xFCte\0Stra\xDF"
                                   "e\r\n\0",
                                   26)));
    EXPECT_NE(std::string::npos, raw.find(std::string("caf\xE9.txt\0", 9)));
    EXPECT_NE(std::string::npos,
              raw.find(std::string("docs\\\xDC"
                                   "bersicht.txt\0",
                                   18)));
    EXPECT_EQ(std::string::npos, raw.find("caf\xC3\xA9"));
    {
        UpgradeJob job((dir / "p.upg").c_str());
        ASSERT_TRUE(job.IsValid());
        EXPECT_EQ(1252u, job.codePage);
        EXPECT_EQ(o.title, job.title);
        EXPECT_EQ("Stra\xC3\x9F"
                  "e\r\n",
                  job.notes);
    }
    fs::copy(fs::u8path(dir / "old"), fs::u8path(dir / "target"), fs::copy_options::recursive);
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(Apply(dir / "p.upg", dir / "target", &ui), 1);
    EXPECT_EQ(ReadTree(dir / "target"), now);

    // A name 1252 cannot hold refuses the build by name and offers the code page that holds it;
    // with that code page it builds, and the seal records it.
    const std::string cyrillic = "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";
    WriteFileBytes(dir / ("new\\" + cyrillic), BytesOf("report"));
    Built refused = Build(dir, o);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(std::string::npos, refused.error.find("the name " + cyrillic)) << refused.error;
    EXPECT_NE(std::string::npos, refused.error.find("--codepage 1251")) << refused.error;
    o.codePage = 1251;
    o.title = "\xD0\x92\xD0\xB5\xD1\x80\xD1\x81\xD0\xB8\xD1\x8F 2";
    o.notes.clear();
    Built ru = Build(dir, o);
    EXPECT_FALSE(ru.ok) << "1251 holds no n tilde";
    EXPECT_NE(std::string::npos, ru.error.find(year)) << ru.error;
    WriteTree(dir, "ru-old", {{"keep.txt", BytesOf("kept")}});
    WriteTree(dir, "ru-new", {{"keep.txt", BytesOf("kept, changed")}, {cyrillic, BytesOf("report")}});
    o.oldDir = dir / "ru-old";
    o.newDir = dir / "ru-new";
    o.output = dir / "ru.upg";
    ru = Build(dir, o);
    ASSERT_TRUE(ru.ok) << ru.error;
    UpgradeJob job((dir / "ru.upg").c_str());
    ASSERT_TRUE(job.IsValid());
    EXPECT_EQ(1251u, job.codePage);
    EXPECT_EQ(o.title, job.title);
    bool found = false;
    for (int i = 0; i < job.header.entryCount; i++) found = found || cyrillic == job.Entry(i)->name;
    EXPECT_TRUE(found);
}
