// The platform seam: swapping tables, the resource registry, drives, folder listings and file times.
#include <gtest/gtest.h>
#include <algorithm>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <string>
#include <vector>
#include "dostime.h"
#include "files.h"
#include "stream.h"
#include "testutil.h"

namespace {

int FailingWrite(OsHandle, const void*, uint32_t, uint32_t* put)
{
    *put = 0;
    return 0;
}

void Collect(void* context, const char* name) { ((std::vector<std::string>*)context)->push_back(name); }

}   // namespace

// The platform tables are filled member by member: an operation left out would stay null.
TEST(OsSeam, NativeTableLeavesNoOperationOut)
{
    typedef void (*AnyOperation)();
    static_assert(sizeof(OsLayer) % sizeof(AnyOperation) == 0, "the table holds operations only");
    AnyOperation slots[sizeof(OsLayer) / sizeof(AnyOperation)];
    memcpy(slots, &NativeOs(), sizeof slots);
    for (size_t i = 0; i < sizeof slots / sizeof slots[0]; i++) EXPECT_TRUE(slots[i] != nullptr) << "operation " << i;
}

TEST(OsSeam, SwappedTableIsUsedAndRestored)
{
    EXPECT_EQ(&NativeOs(), &Os());
    OsLayer faulty = NativeOs();
    faulty.write = FailingWrite;
    const OsLayer* previous = SetOs(&faulty);
    EXPECT_EQ(&NativeOs(), previous);
    EXPECT_EQ(&faulty, &Os());

    TempDir dir;
    std::string f = dir / "disk-full.bin";
    {
        FileStream s(WriteAccess | NoReadAhead, f.c_str());
        ASSERT_FALSE(s.HasError());
        s.Put('a');
        EXPECT_TRUE(s.HasError());
    }
    EXPECT_EQ(&faulty, SetOs(nullptr));
    EXPECT_EQ(&NativeOs(), &Os());
    FileStream s(WriteAccess, f.c_str());
    s.Put('a');
    EXPECT_FALSE(s.HasError());
}

TEST(OsSeam, RegisteredResourcesAreFoundIgnoringCase)
{
    static const char kBytes[] = "resource bytes";
    RegisterResource("TestRes", kBytes, 14);
    const void* data = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(1, !!Os().findResource(nullptr, "TESTRES", &data, &size));
    EXPECT_EQ((const void*)kBytes, data);
    EXPECT_EQ(14u, size);
    static const char kOther[] = "replaced";
    RegisterResource("testres", kOther, 8);
    ASSERT_TRUE(Os().findResource(nullptr, "TestRes", &data, &size));
    EXPECT_EQ((const void*)kOther, data);
    EXPECT_EQ(8u, size);
    EXPECT_FALSE(Os().findResource(nullptr, "NoSuchResource", &data, &size));
    // The test programs carry the default wording, registered or linked in as a real resource.
    ASSERT_TRUE(Os().findResource(nullptr, "upgapplyui", &data, &size));
    EXPECT_GT(size, 21u);
}

TEST(OsSeam, DrivesAndFolderListings)
{
    char root[kPathMax];
    int fixed = 0;
    for (int i = 0; i < 26; ++i) {
        int type = Os().driveRoot(i, root, sizeof root);
        if (type == kDriveFixed) {
            ++fixed;
            EXPECT_EQ(1, IsDirectory(root)) << root;
            char last = root[strlen(root) - 1];
            EXPECT_TRUE(last == '/' || last == '\\') << root;
        }
    }
    EXPECT_GE(fixed, 1);
    EXPECT_EQ(kDriveNoRoot, Os().driveRoot(26, root, sizeof root));
    EXPECT_EQ(kDriveNoRoot, Os().driveRoot(-1, root, sizeof root));

    TempDir dir;
    ASSERT_EQ(1, MakeFolder((dir / "Alpha").c_str()));
    ASSERT_EQ(1, MakeFolder((dir / ".dotted").c_str()));
    ASSERT_EQ(1, MakeFolder((dir / "Alpha\\inner").c_str()));
    WriteFileBytes(dir / "file.txt", BytesOf("f"));
    std::vector<std::string> names;
    std::string folder = dir.path();
    folder.pop_back();
    ASSERT_TRUE(Os().listFolders(folder.c_str(), Collect, &names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::vector<std::string>({".dotted", "Alpha"}), names);
    EXPECT_FALSE(Os().listFolders((dir / "missing").c_str(), Collect, &names));
}

TEST(OsSeam, FileTimesAndLocalTimeAreConsistent)
{
    TempDir dir;
    std::string f = dir / "stamp.bin";
    WriteFileBytes(f, BytesOf("s"));
    OsFileTime stamp;
    ASSERT_TRUE(DosToFileTime(0x206F, 0x73CD, &stamp));
    OsFileTime local = stamp;
    ASSERT_TRUE(Os().utcToLocal(&local));
    OsFileTime back = local;
    ASSERT_TRUE(Os().localToUtc(&back));
    EXPECT_EQ(stamp, back);
    {
        FileStream s(ReadAccess | WriteAccess, f.c_str());
        ASSERT_TRUE(Os().setTimes(s.handle, stamp));
    }
    FileStream s(ReadAccess, f.c_str());
    OsFileTime read = 0;
    ASSERT_TRUE(Os().getWriteTime(s.handle, &read));
    EXPECT_EQ(stamp, read);
    uint16_t date, time;
    ASSERT_TRUE(FileTimeToDos(read, &date, &time));
    EXPECT_EQ(0x206F, date);
    EXPECT_EQ(0x73CD, time);
    EXPECT_FALSE(Os().getWriteTime(kNoHandle, &read));

    uint32_t t0 = Os().ticks(), t1 = Os().ticks();
    EXPECT_LE(t1 - t0, 1000u);
}

// A file another open holds without sharing: its rename fails as busy, which the commit waits
// out; the probe names it where the platform locks files between programs (Windows).
TEST(OsSeam, AHeldFileIsBusyAndFreeOnceClosed)
{
    TempDir dir;
    std::string f = dir / "held.txt", g = dir / "moved.txt";
    WriteFileBytes(f, Bytes{1});
    char holder[kPathMax] = "?";
    EXPECT_EQ(kFileFree, ProbeFile(f.c_str(), holder));
    EXPECT_STREQ("", holder);
    OsHandle h = Os().open(f.c_str(), ReadAccess);
    ASSERT_NE(kNoHandle, h);
#ifdef _WIN32
    EXPECT_EQ(kFileInUse, ProbeFile(f.c_str(), holder));
#else
    EXPECT_EQ(kFileFree, ProbeFile(f.c_str(), holder));
#endif
    EXPECT_FALSE(Os().moveReplace(f.c_str(), g.c_str()));
    EXPECT_EQ(kFailBusy, Os().lastFailure());
    uint32_t t0 = Os().ticks();
    EXPECT_FALSE(MoveFileOverPatiently(f.c_str(), g.c_str()));
    EXPECT_GE(Os().ticks() - t0, kBusyRetryMs - 100);
    Os().close(h);
    EXPECT_EQ(kFileFree, ProbeFile(f.c_str(), holder));
    EXPECT_TRUE(MoveFileOverPatiently(f.c_str(), g.c_str()));

    // Another reason is not waited for.
    EXPECT_FALSE(Os().moveReplace(f.c_str(), g.c_str()));
    EXPECT_EQ(kFailOther, Os().lastFailure());
    EXPECT_EQ(kFileFree, ProbeFile(f.c_str(), holder));
    EXPECT_TRUE(FolderWritable(dir.path().c_str()));
}

#ifndef _WIN32
namespace {

// Sets TZ for the scope and puts the previous value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone)
    {
        const char* old = getenv("TZ");
        hadOld = old != nullptr;
        if (old) previous = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope()
    {
        if (hadOld)
            setenv("TZ", previous.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld;
    std::string previous;
};

}   // namespace

TEST(PosixSeam, LocalTimeFollowsTheZoneInForceNow)
{
    const OsFileTime hour = 36000000000ull;
    OsFileTime t;
    ASSERT_TRUE(DosToFileTime(0x206F, 0x73CD, &t));
    {
        ZoneScope zone("EST5");   // five hours behind UTC, no daylight rule
        OsFileTime local = t;
        ASSERT_TRUE(Os().utcToLocal(&local));
        EXPECT_EQ(t - 5 * hour, local);
        ASSERT_TRUE(Os().localToUtc(&local));
        EXPECT_EQ(t, local);
    }
    {
        ZoneScope zone("JST-9");
        OsFileTime local = t;
        ASSERT_TRUE(Os().utcToLocal(&local));
        EXPECT_EQ(t + 9 * hour, local);
    }
    {
        ZoneScope zone("JST-9");
        OsFileTime early = 1;   // no UTC time before the start of the count
        EXPECT_FALSE(Os().localToUtc(&early));
        EXPECT_EQ(1u, early);
    }
}

TEST(PosixSeam, StoredNamePrefersTheExactSpelling)
{
    TempDir dir;
    WriteFileBytes(dir / "report.TXT", BytesOf("1"));
    WriteFileBytes(dir / "Report.txt", BytesOf("2"));
    char out[kPathMax];
    ExpandLongName((dir / "Report.txt").c_str(), out);
    EXPECT_EQ(dir / "Report.txt", std::string(out));
    ExpandLongName((dir / "report.TXT").c_str(), out);
    EXPECT_EQ(dir / "report.TXT", std::string(out));
    ExpandLongName((dir / "REPORT.TXT").c_str(), out);
    std::string got = out;
    EXPECT_TRUE(got == dir / "Report.txt" || got == dir / "report.TXT") << got;
}

// Links are listed for what they lead to and marked; the folder lister never offers one, so no
// walk can loop through a link back up the tree.
TEST(PosixSeam, ListingsMarkLinksAndFullPathsResolveThem)
{
    TempDir dir;
    ASSERT_EQ(1, MakeFolder((dir / "real").c_str()));
    WriteFileBytes(dir / "real\\five.bin", BytesOf("12345"));
    ASSERT_EQ(0, symlink((dir / "real").c_str(), (dir / "loop").c_str()));
    ASSERT_EQ(0, symlink((dir / "real\\five.bin").c_str(), (dir / "alias").c_str()));
    ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()));

    std::vector<std::string> folders;
    ASSERT_TRUE(Os().listFolders(dir.path().c_str(), Collect, &folders));
    EXPECT_EQ(std::vector<std::string>({"real"}), folders);

    std::vector<std::string> seen;
    auto add = [](void* context, const OsFolderEntry* e) {
        ((std::vector<std::string>*)context)
            ->push_back(std::string(e->name) + " " + std::to_string(e->kind) + " " + std::to_string(e->link) + " " +
                        std::to_string(e->size));
    };
    ASSERT_TRUE(Os().listEntries(dir.path().c_str(), add, &seen));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::vector<std::string>({"alias 1 1 5", "dangling 3 1 0", "loop 2 1 0", "real 2 0 0"}), seen);
    EXPECT_FALSE(Os().listEntries((dir / "missing").c_str(), add, &seen));

    char real[kPathMax], through[kPathMax];
    ASSERT_TRUE(Os().fullPath((dir / "real\\new.upg").c_str(), real, sizeof real));
    ASSERT_TRUE(Os().fullPath((dir / "loop\\new.upg").c_str(), through, sizeof through));
    EXPECT_STREQ(real, through);
    EXPECT_EQ('/', real[0]);
}

TEST(PosixSeam, DriveRootsAreSortedDistinctFolders)
{
    std::vector<std::string> roots;
    char root[kPathMax];
    for (int i = 0; i < 26 && Os().driveRoot(i, root, sizeof root) == kDriveFixed; ++i) roots.push_back(root);
    if (roots.empty()) GTEST_SKIP() << "no disk file system is mounted here: nothing to order";
    for (size_t i = 1; i < roots.size(); ++i) EXPECT_LT(roots[i - 1], roots[i]);
    for (int i = (int)roots.size(); i < 26; ++i) EXPECT_EQ(kDriveNoRoot, Os().driveRoot(i, root, sizeof root));
}
#endif
