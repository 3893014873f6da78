// File-system primitives: existence and attributes, folders, move and copy, names, the guard.
#include <gtest/gtest.h>
#include <filesystem>
#include <string.h>
#include <string>
#include "files.h"
#include "stream.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

void MakeReadOnly(const std::string& path)
{
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

std::string LastComponent(const std::string& p)
{
    size_t at = p.find_last_of("/\\");
    return at == std::string::npos ? p : p.substr(at + 1);
}

std::string WithoutTrailingSeparator(std::string p)
{
    while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
    return p;
}

}   // namespace

TEST(FilePrimitives, ExistenceAndAttributes)
{
    TempDir dir;
    std::string f = dir / "plain.txt", ro = dir / "locked.txt", sub = dir / "folder";
    WriteFileBytes(f, BytesOf("x"));
    WriteFileBytes(ro, BytesOf("y"));
    MakeReadOnly(ro);
    ASSERT_EQ(1, MakeFolder(sub.c_str()));

    EXPECT_EQ(1, FileExists(f.c_str()));
    EXPECT_EQ(1, FileExists(ro.c_str()));
    EXPECT_EQ(0, FileExists(sub.c_str()));
    EXPECT_EQ(0, FileExists((dir / "nothing").c_str()));
    EXPECT_EQ(0, IsReadOnly(f.c_str()));
    EXPECT_EQ(1, IsReadOnly(ro.c_str()));
    EXPECT_EQ(0, IsReadOnly((dir / "nothing").c_str()));
    EXPECT_EQ(1, IsDirectory(sub.c_str()));
    EXPECT_EQ(0, IsDirectory(f.c_str()));
    EXPECT_EQ(0, IsDirectory((dir / "nothing").c_str()));

    // Read-only files refuse write access and deletion, as the platform's read-only mark does.
    for (unsigned flags : {(unsigned)(ReadAccess | WriteAccess), (unsigned)WriteAccess}) {
        FileStream w(flags, ro.c_str());
        EXPECT_TRUE(w.HasError()) << flags;
    }
    EXPECT_EQ(BytesOf("y"), ReadFileBytes(ro));
    EXPECT_EQ(0, RemoveFile(ro.c_str()));
    EXPECT_TRUE(PathExists(ro));
}

TEST(FilePrimitives, FoldersAndDeletion)
{
    TempDir dir;
    std::string sub = dir / "new";
    EXPECT_EQ(1, MakeFolder(sub.c_str()));
    EXPECT_EQ(0, MakeFolder(sub.c_str()));   // exists already
    WriteFileBytes(dir / "new/inside.txt", BytesOf("z"));
    EXPECT_EQ(0, RemoveFolder(sub.c_str()));   // not empty
    EXPECT_EQ(0, RemoveFile(sub.c_str()));     // not a file
    EXPECT_EQ(1, RemoveFile((dir / "new/inside.txt").c_str()));
    EXPECT_EQ(0, RemoveFile((dir / "new/inside.txt").c_str()));
    EXPECT_EQ(1, RemoveFolder(sub.c_str()));
    EXPECT_FALSE(PathExists(sub));

    std::string held = dir / "held.txt";
    WriteFileBytes(held, BytesOf("h"));
    {
        FileStream s(ReadAccess, held.c_str());
        EXPECT_EQ(0, RemoveFile(held.c_str()));   // in use
    }
    EXPECT_EQ(1, RemoveFile(held.c_str()));
}

TEST(FilePrimitives, MoveFileOverReplacesAndKeepsTheDestinationOnFailure)
{
    TempDir dir;
    std::string a = dir / "Name.txt";
    WriteFileBytes(a, BytesOf("same"));
    std::string upper = dir / "NAME.TXT";
    EXPECT_EQ(0, MoveFileOver(a.c_str(), upper.c_str()));
    EXPECT_EQ(0, MoveFileOver(a.c_str(), a.c_str()));
    EXPECT_EQ(BytesOf("same"), ReadFileBytes(a));

    std::string src = dir / "src.tmp", dst = dir / "dst.dat", fresh = dir / "fresh.dat";
    WriteFileBytes(src, BytesOf("new contents"));
    WriteFileBytes(dst, BytesOf("old"));
    EXPECT_EQ(1, MoveFileOver(src.c_str(), dst.c_str()));
    EXPECT_FALSE(PathExists(src));
    EXPECT_EQ(BytesOf("new contents"), ReadFileBytes(dst));
    EXPECT_EQ(1, MoveFileOver(dst.c_str(), fresh.c_str()));
    EXPECT_EQ(BytesOf("new contents"), ReadFileBytes(fresh));

    // A rename that cannot happen must not cost the destination.
    EXPECT_EQ(0, MoveFileOver((dir / "absent.tmp").c_str(), fresh.c_str()));
    EXPECT_EQ(BytesOf("new contents"), ReadFileBytes(fresh));
    std::string busy = dir / "busy.tmp";
    WriteFileBytes(busy, BytesOf("b"));
    {
        FileStream holder(ReadAccess, fresh.c_str());
        EXPECT_EQ(0, MoveFileOver(busy.c_str(), fresh.c_str()));
    }
    EXPECT_EQ(BytesOf("new contents"), ReadFileBytes(fresh));
    EXPECT_EQ(BytesOf("b"), ReadFileBytes(busy));
    MakeReadOnly(fresh);
    EXPECT_EQ(0, MoveFileOver(busy.c_str(), fresh.c_str()));
    EXPECT_EQ(BytesOf("new contents"), ReadFileBytes(fresh));
}

TEST(FilePrimitives, NamesAsStored)
{
    TempDir dir;
    std::string stored = dir / "MixedCase.Txt";
    WriteFileBytes(stored, BytesOf("m"));
    char out[kPathMax];
    ExpandLongName((dir / "mixedcase.txt").c_str(), out);
    EXPECT_EQ(stored, std::string(out));
    ExpandLongName((dir / "MIXEDCASE.TXT").c_str(), out);
    EXPECT_EQ(stored, std::string(out));

    std::string folder = dir / "Some Folder";
    ASSERT_EQ(1, MakeFolder(folder.c_str()));
    ExpandLongName((dir / "SOME FOLDER").c_str(), out);
    EXPECT_EQ(folder, std::string(out));

    std::string missing = dir / "not-there";
    ExpandLongName(missing.c_str(), out);
    EXPECT_EQ(missing, std::string(out));

    // An existing path has a short name that leads back to the stored long one.
    std::string longName = dir / "A rather long file name.data";
    WriteFileBytes(longName, BytesOf("l"));
    char shortName[kPathMax], back[kPathMax];
    ShortName(longName.c_str(), shortName);
    EXPECT_EQ(1, FileExists(shortName));
    ExpandLongName(shortName, back);
    EXPECT_EQ("A rather long file name.data", LastComponent(back));
    ShortName(missing.c_str(), out);
    EXPECT_EQ(missing, std::string(out));
}

// A path longer than a buffer is refused, never cut and spliced onto some other folder.
TEST(FilePrimitives, LongNamesAreRefusedNotSpliced)
{
    TempDir dir;
    // The last separator lies past the 259th character: a cut copy of the path ends in the
    // folder above, where the stored name would be spliced.
    std::string folder = dir / std::string(245, 'f');
    std::string file = folder + "/Name.Txt";
    WriteFileBytes(file, BytesOf("n"));
    ASSERT_GE(folder.size(), kPathMax - 1);
    char out[kPathMax] = "previous";
    EXPECT_EQ(0, ExpandLongName((folder + "/NAME.TXT").c_str(), out));
    EXPECT_STREQ("", out);
}

TEST(FilePrimitives, JoinPathAndNameComparison)
{
    char out[kPathMax];
    EXPECT_EQ(1, JoinPath(out, "C:\\dir\\", "file.txt"));
    EXPECT_STREQ("C:\\dir\\file.txt", out);
    std::string a(200, 'a'), b(59, 'b');
    EXPECT_EQ(1, JoinPath(out, a.c_str(), b.c_str()));   // 259 characters fit
    EXPECT_EQ(259u, strlen(out));
    std::string b2(60, 'b');
    EXPECT_EQ(0, JoinPath(out, a.c_str(), b2.c_str()));
    EXPECT_STREQ("", out);

    EXPECT_EQ(1, SameNameIgnoringCase("C:\\Prog\\A.EXE", "c:\\prog\\a.exe"));
    EXPECT_EQ(0, SameNameIgnoringCase("C:\\Prog\\A.EXE", "C:/Prog/A.EXE"));
    EXPECT_EQ(0, SameNameIgnoringCase("abc", "abcd"));
    EXPECT_EQ(0, SameNameIgnoringCase("\xE9", "\xC9"));   // only ASCII letters fold
    EXPECT_EQ(0, SameNameIgnoringCase("@", "`"));
}

TEST(FilePrimitives, CurrentDirectoryGuardRestores)
{
    TempDir dir;
    fs::path before = fs::current_path();
    {
        CurrentDirectoryGuard guard;
        fs::current_path(WithoutTrailingSeparator(dir.path()));
        EXPECT_EQ(fs::canonical(WithoutTrailingSeparator(dir.path())), fs::canonical(fs::current_path()));
    }
    EXPECT_EQ(before, fs::current_path());
}
