// The installation search: the match rule as tables, breadth-first order across roots, dot
// folders, the wait cursor and the result's spelling.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "engine_fixture.h"
#include "files.h"
#include "search.h"

namespace {

const uint32_t kDate = DosStamp(2000, 2, 3, 4, 5, 6);
const uint32_t kOtherDate = DosStamp(1999, 2, 3, 4, 5, 6);
const Bytes kRight = BytesOf("expected content");
const Bytes kWrong = BytesOf("something else!!");

enum Found { NoFile, WrongContent, OtherDate, RightFile };

void Place(TempDir& dir, const std::string& name, Found how)
{
    if (how == WrongContent) WriteStamped(dir / name, kWrong, kDate);
    if (how == OtherDate) WriteStamped(dir / name, kRight, kOtherDate);
    if (how == RightFile) WriteStamped(dir / name, kRight, kDate);
}

// Tests one folder against a table of (finding, soft, hard) entries.
int Match(const std::vector<std::vector<int>>& entries, int kind = 1)
{
    TempDir dir;
    WriteFileBytes(dir / "marker", BytesOf("m"));
    PackageWriter w;
    for (size_t i = 0; i < entries.size(); i++) {
        std::string name = "f" + std::to_string(i);
        Place(dir, name, (Found)entries[i][0]);
        if (kind == 1) w.Patch(name, kRight, kDate, kRight, kDate, entries[i][1], entries[i][2]);
        if (kind == 2) w.Delete(name, kRight, kDate, entries[i][1], entries[i][2]);
        if (kind == 0) w.Add(name, kRight, kDate, entries[i][1], entries[i][2]);
    }
    w.WriteTo(dir / "p.upg");
    UpgradeJob job((dir / "p.upg").c_str(), dir.path().c_str());
    return MatchFolder(&job);
}

TEST(MatchFolder, HardPolicyTable)
{
    // Ignore: nothing counts, so a lone entry is accepted whatever is there.
    for (int how = NoFile; how <= RightFile; how++) EXPECT_EQ(Match({{how, 1, 0}}), 1) << how;
    // Ask: a miss each for absent or different; the count decides.
    EXPECT_EQ(Match({{NoFile, 1, 1}}), 0);
    EXPECT_EQ(Match({{WrongContent, 1, 1}}), 0);
    EXPECT_EQ(Match({{RightFile, 1, 1}, {NoFile, 1, 1}}), 0);
    EXPECT_EQ(Match({{RightFile, 1, 1}, {RightFile, 1, 1}, {NoFile, 1, 1}}), 1);
    // Abort: one absent or different file rejects, whatever else matches.
    EXPECT_EQ(Match({{RightFile, 1, 1}, {RightFile, 1, 1}, {RightFile, 1, 1}, {NoFile, 1, 2}}), 0);
    EXPECT_EQ(Match({{RightFile, 1, 1}, {RightFile, 1, 1}, {WrongContent, 1, 2}}), 0);
    // Value 3 counts like Ask.
    EXPECT_EQ(Match({{RightFile, 1, 3}, {NoFile, 1, 3}}), 0);
    EXPECT_EQ(Match({{RightFile, 1, 3}, {RightFile, 1, 3}, {NoFile, 1, 3}}), 1);
    // Delete entries are examined the same way; Add entries not at all.
    EXPECT_EQ(Match({{NoFile, 1, 2}}, 2), 0);
    EXPECT_EQ(Match({{NoFile, 1, 2}}, 0), 1);
}

TEST(MatchFolder, SoftPolicyTable)
{
    // Other date-times: a hit under Ignore, nothing under Ask, a rejection under Abort.
    EXPECT_EQ(Match({{OtherDate, 0, 1}, {NoFile, 1, 1}}), 0);   // 1 hit, 1 miss
    EXPECT_EQ(Match({{OtherDate, 0, 1}, {OtherDate, 0, 1}, {NoFile, 1, 1}}), 1);
    EXPECT_EQ(Match({{OtherDate, 1, 1}, {OtherDate, 1, 1}, {NoFile, 1, 1}}), 0);   // no hits
    EXPECT_EQ(Match({{OtherDate, 1, 1}, {OtherDate, 1, 1}}), 1);                   // no misses, no hits
    EXPECT_EQ(Match({{RightFile, 1, 1}, {RightFile, 1, 1}, {OtherDate, 2, 1}}), 0);
    // Equal date-times are a hit under every soft policy.
    EXPECT_EQ(Match({{RightFile, 2, 1}, {RightFile, 2, 1}, {NoFile, 1, 1}}), 1);
}

TEST(MatchFolder, JudgesATruncatedTableByTheEntriesRead)
{
    TempDir dir;
    WriteStamped(dir / "a", kRight, kDate);
    PackageWriter w;
    w.Patch("a", kRight, kDate, kRight, kDate, 0, 2);
    w.Delete("b", kRight, kDate, 0, 2);
    w.Delete("c", kRight, kDate, 0, 2);
    Bytes b = w.Serialize();
    // Cut right after the second entry's description: its print is missing, the table stops.
    size_t end = 11 + w.title.size() + 1 + w.notes.size() + 1;
    end += 1 + 2 + w.entries[0].description.size() + 1 + 20;   // entry 0: flags, "a", desc, prints
    end += 1 + 2 + w.entries[1].description.size() + 1;        // entry 1 without its print
    b.resize(end);
    WriteFileBytes(dir / "p.upg", b);
    UpgradeJob job((dir / "p.upg").c_str(), dir.path().c_str());
    ASSERT_EQ(job.cut, 1);
    ASSERT_FALSE(job.IsValid());
    ASSERT_TRUE(job.HoldsSafeEntries());
    // Entry 1 (half read, "b" absent under Abort) must not be examined; entry 2 is empty.
    EXPECT_EQ(MatchFolder(&job), 1);
}

// Folders of a tree on disk; roots and listings come from the fake platform.
struct Walk {
    TempDir dir;
    FakeSearchPlatform platform;
    std::string Folder(const std::string& rel) { return dir / rel; }
    void Install(const std::string& folder) { WriteStamped(dir / (folder + "\\app.dat"), kRight, kDate); }
    void List(const std::string& folder, std::vector<std::string> names)
    {
        platform.listings.push_back({dir / folder + "\\*.*", names});
    }
    int Run(std::string* found)
    {
        PackageWriter w;
        w.Patch("app.dat", kRight, kDate, kRight, kDate, 1, 1);
        w.WriteTo(dir / "p.upg");
        char destination[kPathMax] = "unchanged";
        int r = FindInstallation((dir / "p.upg").c_str(), destination, &platform);
        *found = destination;
        return r;
    }
};

TEST(WalkDrives, BreadthFirstAcrossTwoRootsSkippingDotFolders)
{
    Walk w;
    w.platform.roots = {{w.Folder("r0"), 0}, {w.Folder("r1"), 1}, {w.Folder("r2"), 1}};
    w.List("r1", {"a", ".cache", "b"});
    w.List("r1\\a", {"deep"});
    w.List("r1\\b", {"c"});
    w.List("r1\\.cache", {"x"});
    WriteFileBytes(w.Folder("r1\\a\\deep\\x"), BytesOf("x"));
    w.Install("r1\\a\\deep");
    w.Install("r2");           // a match at the root of the later drive
    w.Install("r1\\.cache");   // never entered
    std::string found;
    EXPECT_EQ(w.Run(&found), 1);
    EXPECT_EQ(Slashed(found), Slashed(w.Folder("r1\\a\\deep")));
    // Level by level: r1, then a and b, then deep (found before c's listing is needed).
    std::vector<std::string> listed;
    for (auto& l : w.platform.listed) listed.push_back(Slashed(l));
    EXPECT_EQ(listed,
              (std::vector<std::string>{Slashed(w.Folder("r1") + "/*.*"), Slashed(w.Folder("r1\\a") + "/*.*"),
                                        Slashed(w.Folder("r1\\b") + "/*.*")}));
    EXPECT_EQ(w.platform.rootsAsked, 2);   // r2 never asked while r1 had folders queued
    EXPECT_EQ(w.platform.waits, (std::vector<int>{1, 0}));
}

TEST(WalkDrives, NothingFoundLeavesTheDestination)
{
    Walk w;
    w.platform.roots = {{w.Folder("r1"), 1}};
    w.List("r1", {"a"});
    WriteFileBytes(w.Folder("r1\\a\\x"), BytesOf("x"));
    std::string found;
    EXPECT_EQ(w.Run(&found), 0);
    EXPECT_EQ(found, "unchanged");
    EXPECT_EQ(w.platform.rootsAsked, 26);
    EXPECT_EQ(w.platform.waits, (std::vector<int>{1, 0}));
}

TEST(WalkDrives, AnAcceptingTableTakesTheFirstRootWithItsSeparator)
{
    Walk w;
    w.platform.roots = {{"", 0}, {w.dir.path(), 1}};
    PackageWriter p;
    p.Add("new.dat", kRight, kDate, 0, 2);
    p.WriteTo(w.dir / "p.upg");
    char destination[kPathMax] = "";
    ASSERT_EQ(FindInstallation((w.dir / "p.upg").c_str(), destination, &w.platform), 1);
    std::string expected = w.dir.path();
    // A root of three characters or fewer keeps its separator; longer paths lose it.
    if (expected.size() > 3) expected.pop_back();
    EXPECT_EQ(destination, expected);
}

TEST(WalkDrives, PathsThatWouldNotFitAreSkipped)
{
    Walk w;
    w.platform.roots = {{w.Folder("r1"), 1}};
    std::string longName(kPathMax, 'z');
    w.List("r1", {longName, "ok"});
    w.Install("r1\\ok");
    std::string found;
    EXPECT_EQ(w.Run(&found), 1);
    EXPECT_EQ(Slashed(found), Slashed(w.Folder("r1\\ok")));
}

TEST(WalkDrives, InvalidPackageIsNotWalked)
{
    Walk w;
    w.platform.roots = {{w.Folder("r1"), 1}};
    WriteFileBytes(w.dir / "p.upg", BytesOf("[QZUPX]"));
    char destination[kPathMax] = "unchanged";
    EXPECT_EQ(FindInstallation((w.dir / "p.upg").c_str(), destination, &w.platform), 0);
    EXPECT_STREQ(destination, "unchanged");
    EXPECT_EQ(w.platform.rootsAsked, 0);
}

// A bundle's packages, from releases 1.0 and 1.1 to the same new release, in one walk.
struct Bundle2 {
    Walk w;
    const Bytes v10 = BytesOf("release 1.0 content"), v11 = BytesOf("release 1.1 content!");
    std::string base, sibling;
    Bundle2()
    {
        base = w.dir / "Product.upg";
        sibling = w.dir / "Product-from-01-1.0.upg";
        PackageWriter from11, from10;
        from11.Patch("app.dat", v11, kDate, kRight, kDate, 1, 1);
        from10.Patch("app.dat", v10, kDate, kRight, kDate, 1, 1);
        from10.Delete("legacy.dat", v10, kDate, 1, 1);
        from11.WriteTo(base);
        from10.WriteTo(sibling);
    }
    void Install(const std::string& folder, const Bytes& release)
    {
        WriteStamped(w.dir / (folder + "\\app.dat"), release, kDate);
        if (&release == &v10) WriteStamped(w.dir / (folder + "\\legacy.dat"), v10, kDate);
    }
    int Find(std::string* found, int* which)
    {
        const char* paths[] = {base.c_str(), sibling.c_str()};
        char destination[kPathMax] = "unchanged";
        int r = FindInstallationOfAny(paths, 2, destination, &w.platform, which);
        *found = destination;
        return r;
    }
};

TEST(WalkDrives, OneWalkFindsTheFirstFolderOfAnyPackage)
{
    Bundle2 b;
    b.w.platform.roots = {{b.w.Folder("r1"), 1}};
    b.w.List("r1", {"a", "b"});
    b.w.List("r1\\a", {"deep"});
    b.Install("r1\\b", b.v10);   // level 2: found before the newer release deeper down
    b.Install("r1\\a\\deep", b.v11);
    std::string found;
    int which = -1;
    ASSERT_EQ(b.Find(&found, &which), 1);
    EXPECT_EQ(Slashed(found), Slashed(b.w.Folder("r1\\b")));
    EXPECT_EQ(which, 1);
    // One listing per folder, however many packages test it.
    EXPECT_EQ(b.w.platform.listed.size(), 2u);
}

TEST(ChoosePackage, TheFittingPackageElseNone)
{
    Bundle2 b;
    const char* paths[] = {b.base.c_str(), b.sibling.c_str()};
    b.Install("i10", b.v10);
    b.Install("i11", b.v11);
    WriteStamped(b.w.Folder("other\\app.dat"), kWrong, kDate);
    EXPECT_EQ(ChoosePackage(paths, 2, (b.w.Folder("i10") + "/").c_str()), 1);
    EXPECT_EQ(ChoosePackage(paths, 2, (b.w.Folder("i11") + "/").c_str()), 0);
    EXPECT_EQ(ChoosePackage(paths, 2, (b.w.Folder("other") + "/").c_str()), -1);
    // 1.0's files with the one it deletes already gone: only the patch's old file is needed
    // when the delete's hard policy passes over it, which this one's does not.
    RemoveFile(b.w.Folder("i10\\legacy.dat").c_str());
    EXPECT_EQ(ChoosePackage(paths, 2, (b.w.Folder("i10") + "/").c_str()), -1);
}

TEST(SiblingPackages, SortedByNameWithoutRegardToCase)
{
    TempDir dir;
    for (const char* name : {"Setup.upg", "setup-FROM-02-1.1.UPG", "Setup-from-01-1.0.upg", "Setup-from-x.uui",
                             "Other-from-01-1.0.upg", "Setup.exe"})
        WriteFileBytes(dir / name, BytesOf("x"));
    std::vector<std::string> found = SiblingPackages((dir / "Setup.upg").c_str());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(Slashed(found[0]), Slashed(dir / "Setup-from-01-1.0.upg"));
    EXPECT_EQ(Slashed(found[1]), Slashed(dir / "setup-FROM-02-1.1.UPG"));
    EXPECT_TRUE(SiblingPackages((dir / "Other.upg").c_str()).size() == 1);
    EXPECT_TRUE(SiblingPackages((dir / "Setup.exe").c_str()).empty());
}

TEST(WaitCursor, ShowsOnceAndRestoresOnce)
{
    FakeSearchPlatform p;
    {
        WaitCursor c(&p, 1);
        c.Show(1);
        c.Show(0);
        c.Show(0);
        c.Show(1);
    }
    EXPECT_EQ(p.waits, (std::vector<int>{1, 0, 1, 0}));
    {
        WaitCursor c(&p, 0);
    }
    EXPECT_EQ(p.waits.size(), 4u);
}

}   // namespace
