// Sealed packages in the apply: the digest checks of the pre-check and the build, and the
// refusals that come before anything is touched.
#include <gtest/gtest.h>
#include <algorithm>
#include <stdio.h>
#include <string.h>
#include "apply.h"
#include "crypto.h"
#include "engine_fixture.h"
#include "joblog.h"
#include "memstream.h"
#include "seal.h"
#include "trust.h"

namespace {

const uint32_t kOldDate = DosStamp(2001, 5, 6, 7, 8, 10);
const uint32_t kNewDate = DosStamp(2003, 9, 10, 11, 12, 14);
const Bytes kOld = BytesOf("the old contents of the file, long enough to swap words\n");
const Bytes kNew = BytesOf("the NEW contents of the file, long enough to swap words\n");

// The same bytes with two aligned 16-bit words swapped: the same size and checksum.
Bytes Swapped(Bytes b)
{
    std::swap(b[4], b[8]);
    std::swap(b[5], b[9]);
    return b;
}

struct Sealed {
    TempDir dir;
    PackageWriter w;
    std::string pkg = dir / "p.upg";
    std::string target = dir / "t";
    std::string file = dir / "t\\f.txt";
    uint32_t sealStart = 0;

    // One Patch entry whose script rebuilds `built`, sealed with the digests of the intended
    // old and new contents, signed when a key is given.
    explicit Sealed(const PublisherKey* signer, const Bytes& built = kNew, int hard = PolicyAsk,
                    const Bytes& kOld = ::kOld, const Bytes& kNew = ::kNew)
    {
        w.Patch("f.txt", kOld, kOldDate, built, kNewDate, 0, hard);
        Bytes body = w.Serialize();
        PackageSeal seal;
        seal.Allocate(1);
        seal.kinds[0] = KindPatch;
        EXPECT_EQ(1, DigestOf(body.data(), body.size(), seal.packageDigest));
        EXPECT_EQ(1, DigestOf(kNew.data(), kNew.size(), seal.NewDigestSlot(0)));
        EXPECT_EQ(1, DigestOf(kOld.data(), kOld.size(), seal.OldDigestSlot(0)));
        MemoryStream out(4096, 4096);
        out.Write(body.data(), (uint32_t)body.size());
        EXPECT_EQ(1, WriteSeal(&out, &seal, signer));
        sealStart = (uint32_t)body.size();
        WriteFileBytes(pkg, Bytes(out.block, out.block + out.Size()));
        WriteStamped(file, kOld, kOldDate);
    }
    ApplyOutcome Apply(ScriptedUi* ui, const char* trustFile = nullptr)
    {
        TestJob t(pkg, target, ui);
        if (trustFile) t.host.trustFile = trustFile;
        t.Apply();
        return t.outcome;
    }
};

void Pin(const std::string& path, const PublisherKey& key) { WriteFileBytes(path, PemOf(key)); }

}   // namespace

TEST(SealedApply, DigestsCatchWhatTheChecksumCannot)
{
    ASSERT_EQ(PrintOf(kNew, 0).checksum, PrintOf(Swapped(kNew), 0).checksum);
    {
        Sealed s(nullptr);
        ScriptedUi ui;
        EXPECT_EQ(ApplyApplied, s.Apply(&ui));
        EXPECT_EQ(kNew, ReadFileBytes(s.file));
    }
    {
        // A script that rebuilds other bytes with the right size and checksum fails its
        // verification; answered No, nothing changes.
        Sealed s(nullptr, Swapped(kNew));
        ScriptedUi ui;
        EXPECT_EQ(ApplyDeclined, s.Apply(&ui));
        ASSERT_EQ(1u, ui.questions.size());
        EXPECT_NE(std::string::npos,
                  ui.questions[0].find(UiTextTable(DefaultWordingPath().c_str()).LineText(LineBadResultAsk)));
        EXPECT_EQ(kOld, ReadFileBytes(s.file));
    }
    {
        // An installed file with the old fingerprint and other bytes is a modified file.
        Sealed s(nullptr);
        WriteStamped(s.file, Swapped(kOld), kOldDate);
        ScriptedUi ui;
        EXPECT_EQ(ApplyDeclined, s.Apply(&ui));
        ASSERT_EQ(1u, ui.questions.size());
        EXPECT_NE(std::string::npos,
                  ui.questions[0].find(UiTextTable(DefaultWordingPath().c_str()).LineText(LinePatchModified)));
        EXPECT_EQ(Swapped(kOld), ReadFileBytes(s.file));
    }
}

TEST(SealedApply, APinnedKeyAdmitsOnlyItsOwnSignature)
{
    PublisherKey publisher = NewKey(), stranger = NewKey();
    struct Row {
        const char* title;
        const PublisherKey* signer;
        const PublisherKey* pinned;
        bool applies;
        const char* says;
    } rows[] = {
        {"unsigned, unpinned", nullptr, nullptr, true, nullptr},
        {"signed, unpinned", &publisher, nullptr, true, nullptr},
        {"signed by the pin", &publisher, &publisher, true, nullptr},
        {"unsigned, pinned", nullptr, &publisher, false, "not signed"},
        {"another signer", &stranger, &publisher, false, "another key"},
    };
    for (const Row& r : rows) {
        Sealed s(r.signer);
        if (r.pinned) Pin(s.dir / "t\\upgtrust.pem", *r.pinned);
        ScriptedUi ui;
        EXPECT_EQ(r.applies ? ApplyApplied : ApplyRefused, s.Apply(&ui)) << r.title;
        EXPECT_EQ(r.applies ? kNew : kOld, ReadFileBytes(s.file)) << r.title;
        if (r.says) {
            ASSERT_EQ(1u, ui.infos.size()) << r.title;
            EXPECT_NE(std::string::npos, ui.infos[0].find(r.says)) << r.title << ": " << ui.infos[0];
            EXPECT_TRUE(ui.questions.empty()) << r.title;
        }
    }

    // A pin given by the caller stands in for the installation's; an unreadable pin refuses.
    Sealed given(&publisher);
    Pin(given.dir / "stranger.pem", stranger);
    ScriptedUi ui;
    EXPECT_EQ(ApplyRefused, given.Apply(&ui, (given.dir / "stranger.pem").c_str()));
    WriteFileBytes(given.dir / "t\\upgtrust.pem", BytesOf("not a key"));
    EXPECT_EQ(ApplyRefused, given.Apply(&ui));
    EXPECT_NE(std::string::npos, ui.infos.back().find("upgtrust.pem"));
    EXPECT_EQ(kOld, ReadFileBytes(given.file));
}

TEST(SealedApply, ASealCutShortIsToldFromNone)
{
    Sealed s(nullptr);
    Bytes whole = ReadFileBytes(s.pkg);
    for (size_t cut = s.sealStart; cut < whole.size(); cut++) {
        WriteFileBytes(s.pkg, Bytes(whole.begin(), whole.begin() + cut));
        ScriptedUi ui;
        // Cut exactly where the seal began, the package is one that was never sealed.
        EXPECT_EQ(cut == s.sealStart ? ApplyApplied : ApplyRefused, s.Apply(&ui)) << cut;
        EXPECT_EQ(cut == s.sealStart ? kNew : kOld, ReadFileBytes(s.file)) << cut;
        WriteStamped(s.file, kOld, kOldDate);
    }
}

namespace {

const Bytes kOther = BytesOf("another old file, which two words swapped keep as it checks\n");
const Bytes kOtherNew = BytesOf("another NEW file, which two words swapped keep as it checks\n");

// Two Patch entries sealed with the digests of the intended contents; the scripts rebuild
// builtF and builtG. perFile: a version-1 seal, a digest per file, as earlier builders wrote.
struct TwoFiles {
    TempDir dir;
    std::string pkg = dir / "p.upg";
    std::string target = dir / "t";
    std::string f = dir / "t\\f.txt", g = dir / "t\\g.txt";

    explicit TwoFiles(const Bytes& builtF = ::kNew, const Bytes& builtG = ::kOtherNew, bool perFile = false,
                      const Bytes& kOld = ::kOld, const Bytes& kNew = ::kNew, const Bytes& kOther = ::kOther,
                      const Bytes& kOtherNew = ::kOtherNew)
    {
        PackageWriter w;
        w.Patch("f.txt", kOld, kOldDate, builtF, kNewDate, 0, PolicyAsk);
        w.Patch("g.txt", kOther, kOldDate, builtG, kNewDate, 0, PolicyAsk);
        Bytes body = w.Serialize();
        Bytes sealed = body;
        if (perFile) {
            // magic, version 1, flags, count, package digest, new and old digest per entry,
            // the seal's digest of itself, size and magic.
            Bytes seal = BytesOf(std::string("[QZSEAL]\x01\x00\x02\x00", 12));
            for (const Bytes* b : std::initializer_list<const Bytes*>{&body, &kNew, &kOld, &kOtherNew, &kOther})
                Append(&seal, Digest(*b));
            Append(&seal, Digest(seal));
            uint32_t size = (uint32_t)seal.size() + 12;
            for (int k = 0; k < 4; k++) seal.push_back((uint8_t)(size >> (8 * k)));
            Append(&seal, BytesOf(std::string("[QZSEAL]", 8)));
            Append(&sealed, seal);
        } else {
            PackageSeal seal;
            seal.Allocate(2);
            seal.kinds[0] = seal.kinds[1] = KindPatch;
            EXPECT_EQ(1, DigestOf(body.data(), body.size(), seal.packageDigest));
            memcpy(seal.NewDigestSlot(0), Digest(kNew).data(), kDigestSize);
            memcpy(seal.OldDigestSlot(0), Digest(kOld).data(), kDigestSize);
            memcpy(seal.NewDigestSlot(1), Digest(kOtherNew).data(), kDigestSize);
            memcpy(seal.OldDigestSlot(1), Digest(kOther).data(), kDigestSize);
            MemoryStream out(4096, 4096);
            EXPECT_EQ(1, WriteSeal(&out, &seal, nullptr));
            Append(&sealed, Bytes(out.block, out.block + out.Size()));
        }
        WriteFileBytes(pkg, sealed);
        WriteStamped(f, kOld, kOldDate);
        WriteStamped(g, kOther, kOldDate);
    }
    static Bytes Digest(const Bytes& b)
    {
        Bytes d(kDigestSize);
        EXPECT_EQ(1, DigestOf(b.data(), b.size(), d.data()));
        return d;
    }
    static void Append(Bytes* to, const Bytes& b) { to->insert(to->end(), b.begin(), b.end()); }
    ApplyOutcome Apply(ScriptedUi* ui)
    {
        TestJob t(pkg, target, ui);
        t.Apply();
        return t.outcome;
    }
};

}   // namespace

// A version-2 seal holds one digest per set of files. A file that matches its fingerprint and
// not the set's digest stops the apply before anything changes; where the set has more than
// one file, none can be named, so the person is told without a question.
TEST(SealedApply, OneDigestPerSetOfFiles)
{
    ASSERT_EQ(PrintOf(kOther, 0).checksum, PrintOf(Swapped(kOther), 0).checksum);
    {
        TwoFiles s;
        ScriptedUi ui;
        EXPECT_EQ(ApplyApplied, s.Apply(&ui));
        EXPECT_EQ(kOtherNew, ReadFileBytes(s.g));
        // A rerun where one file carries its new version already: its digest counts in the set.
        WriteStamped(s.g, kOther, kOldDate);
        EXPECT_EQ(ApplyApplied, s.Apply(&ui));
        EXPECT_EQ(kNew, ReadFileBytes(s.f));
        EXPECT_EQ(kOtherNew, ReadFileBytes(s.g));
        EXPECT_TRUE(ui.questions.empty());
    }
    struct Row {
        const char* title;
        Bytes builtG, installedF, installedG;
        uint32_t dateF;
        const char* says;
    } rows[] = {
        {"an old file swapped", kOtherNew, kOld, Swapped(kOther), kOldDate, "match the files the upgrade expects"},
        {"a rebuilt file swapped", Swapped(kOtherNew), kOld, kOther, kOldDate, "not the ones the package was made"},
        {"a file at its new fingerprint swapped", kOtherNew, Swapped(kNew), kOther, kNewDate,
         "not the ones the package was made"},
    };
    for (const Row& r : rows) {
        TwoFiles s(kNew, r.builtG);
        WriteStamped(s.f, r.installedF, r.dateF);
        WriteStamped(s.g, r.installedG, kOldDate);
        ScriptedUi ui;
        EXPECT_EQ(ApplyStopped, s.Apply(&ui)) << r.title;
        EXPECT_TRUE(ui.questions.empty()) << r.title;
        ASSERT_EQ(1u, ui.infos.size()) << r.title;
        EXPECT_NE(std::string::npos, ui.infos[0].find(r.says)) << r.title << ": " << ui.infos[0];
        EXPECT_EQ(r.installedF, ReadFileBytes(s.f)) << r.title;
        EXPECT_EQ(r.installedG, ReadFileBytes(s.g)) << r.title;
        EXPECT_FALSE(PathExists(s.target + "\\__QZUPD_")) << r.title;
    }
}

// Old files of 1 MiB and more have their contents read after the build, and only where the
// rebuilt files do not prove to be the publisher's: a modified or foreign old file is then
// found before the commit, with the outcomes the pre-check would give.
TEST(SealedApply, LargeOldFilesAreCheckedOnceBuilt)
{
    Bytes oldF(1500000), oldG(1200000);
    for (size_t i = 0; i < oldF.size(); i++) oldF[i] = (uint8_t)(i * 131 + (i >> 9));
    for (size_t i = 0; i < oldG.size(); i++) oldG[i] = (uint8_t)(i * 29 + (i >> 7));
    Bytes newF = oldF, newG = oldG;
    newF.insert(newF.begin() + 700000, 64, 'x');
    newG.resize(1100000);
    ASSERT_EQ(PrintOf(oldG, 0).checksum, PrintOf(Swapped(oldG), 0).checksum);
    {
        TwoFiles s(newF, newG, false, oldF, newF, oldG, newG);
        ScriptedUi ui;
        EXPECT_EQ(ApplyApplied, s.Apply(&ui));
        EXPECT_EQ(newF, ReadFileBytes(s.f));
        EXPECT_EQ(newG, ReadFileBytes(s.g));
    }
    {
        // Two files in the set: neither can be named, and nothing is committed.
        TwoFiles s(newF, newG, false, oldF, newF, oldG, newG);
        WriteStamped(s.g, Swapped(oldG), kOldDate);
        ScriptedUi ui;
        EXPECT_EQ(ApplyStopped, s.Apply(&ui));
        EXPECT_TRUE(ui.questions.empty());
        ASSERT_EQ(1u, ui.infos.size());
        EXPECT_NE(std::string::npos, ui.infos[0].find("match the files the upgrade expects"));
        EXPECT_EQ(oldF, ReadFileBytes(s.f));
        EXPECT_EQ(Swapped(oldG), ReadFileBytes(s.g));
        EXPECT_FALSE(PathExists(s.target + "\\__QZUPD_"));
    }
    // Old bytes that no script copies are not looked at once the rebuilt file proves to be the
    // publisher's, whether or not the checksum would have told.
    Bytes changed = oldF;
    changed[20] ^= 1;
    for (const Bytes& installed : {Swapped(oldF), changed}) {
        Bytes newH(oldF);
        std::fill(newH.begin(), newH.begin() + 64, 'y');
        newH.insert(newH.end(), 10, 'z');
        Sealed s(nullptr, newH, PolicyAsk, oldF, newH);
        WriteStamped(s.file, installed, kOldDate);
        ScriptedUi ui;
        EXPECT_EQ(ApplyApplied, s.Apply(&ui));
        EXPECT_TRUE(ui.questions.empty());
        EXPECT_EQ(newH, ReadFileBytes(s.file));
    }
    // A modified file is asked about as the pre-check would, under its hard policy, whether the
    // set's digest or the rebuilt file's own check finds it: No stops, Yes leaves it as it is.
    Bytes copied = oldF;
    copied[100] ^= 1;
    for (int k = 0; k < 4; k++) {
        bool yes = k & 1;
        Sealed s(nullptr, newF, PolicyAsk, oldF, newF);
        WriteStamped(s.file, k < 2 ? Swapped(oldF) : copied, kOldDate);
        ScriptedUi ui = yes ? ScriptedUi::Yes() : ScriptedUi();
        EXPECT_EQ(yes ? ApplyApplied : ApplyDeclined, s.Apply(&ui)) << k;
        ASSERT_EQ(1u, ui.questions.size()) << k;
        EXPECT_NE(std::string::npos,
                  ui.questions[0].find(UiTextTable(DefaultWordingPath().c_str()).LineText(LinePatchModified)))
            << k;
        EXPECT_EQ(k < 2 ? Swapped(oldF) : copied, ReadFileBytes(s.file)) << k;
        EXPECT_FALSE(PathExists(s.target + "\\__QZUPD_"));
    }
}

// Where no key is pinned the build does not wait for the package digest; a package changed
// where the build cannot see it (a file's description) is still refused before the commit,
// with nothing changed and nothing asked, and its verdict is logged once, when it is known.
TEST(SealedApply, AVerdictLeftToTheBuildComesBeforeTheCommit)
{
    Sealed s(nullptr);
    Bytes bad = ReadFileBytes(s.pkg);
    const std::string description = "Patched f.txt";
    auto at = std::search(bad.begin(), bad.end(), description.begin(), description.end());
    ASSERT_NE(bad.end(), at);
    *at ^= 0x20;
    WriteFileBytes(s.pkg, bad);
    std::string logPath = s.dir / "apply.log";
    ScriptedUi ui;
    {
        TestJob t(s.pkg, s.target, &ui);
        FileJobLog log(logPath.c_str());
        t.host.log = &log;
        t.Apply();
        EXPECT_EQ(ApplyRefused, t.outcome);
    }
    EXPECT_TRUE(ui.questions.empty());
    ASSERT_EQ(1u, ui.infos.size());
    EXPECT_NE(std::string::npos, ui.infos[0].find("since it was sealed")) << ui.infos[0];
    EXPECT_EQ(kOld, ReadFileBytes(s.file));
    EXPECT_FALSE(PathExists(s.target + "\\__QZUPD_"));
    Bytes logged = ReadFileBytes(logPath);
    std::string text(logged.begin(), logged.end());
    size_t verdict = text.find("seal: refused:");
    ASSERT_NE(std::string::npos, verdict) << text;
    EXPECT_EQ(std::string::npos, text.find("seal: refused:", verdict + 1)) << text;
    EXPECT_EQ(std::string::npos, text.find("seal holds")) << text;
}

// The package digest made ahead, while the installed files are read, comes from the package
// the job opened: another file put at its name meanwhile changes nothing, either way.
TEST(SealedApply, TheDigestMadeAheadReadsThePackageOpened)
{
    Sealed s(nullptr);
    Bytes good = ReadFileBytes(s.pkg), bad = good;
    bad[s.sealStart - 2] ^= 1;
    for (bool opensGood : {true, false}) {
        WriteFileBytes(s.pkg, opensGood ? good : bad);
        std::string other = s.dir / "other.upg";
        WriteFileBytes(other, opensGood ? bad : good);
        UpgradeJob job(s.pkg.c_str(), s.target.c_str());
        StartSealCheck(&job);
        // As another program would; Windows keeps an open package in place, and there the
        // question does not arise.
        if (std::rename(other.c_str(), s.pkg.c_str()) != 0) GTEST_SKIP() << "an open file cannot be replaced here";
        EXPECT_EQ(opensGood ? SealIntact : SealMismatch, CheckSeal(&job));
    }
}

// A package sealed by an earlier builder, with a digest per file, still applies, and names the
// file whose content differs.
TEST(SealedApply, APerFileSealStillAppliesAndNamesTheFile)
{
    {
        TwoFiles s(kNew, kOtherNew, true);
        ScriptedUi ui;
        EXPECT_EQ(ApplyApplied, s.Apply(&ui));
        EXPECT_EQ(kNew, ReadFileBytes(s.f));
        EXPECT_EQ(kOtherNew, ReadFileBytes(s.g));
    }
    TwoFiles s(kNew, kOtherNew, true);
    WriteStamped(s.g, Swapped(kOther), kOldDate);
    ScriptedUi ui;
    EXPECT_EQ(ApplyDeclined, s.Apply(&ui));
    ASSERT_EQ(1u, ui.questions.size());
    EXPECT_NE(std::string::npos, ui.questions[0].find("g.txt"));
    EXPECT_EQ(kOld, ReadFileBytes(s.f));
}
