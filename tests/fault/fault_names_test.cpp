// Hostile entry names as Add, Patch and Delete entries beside a canary folder: nothing is written.
#include <gtest/gtest.h>
#include "entrywords.h"
#include "faultos.h"
#include "sandbox.h"

namespace {

std::string Backslashes(std::string s)
{
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

// Names aimed at the canary beside the target wherever a name can aim.
std::vector<std::pair<std::string, std::string>> HostileNames(const Sandbox& box)
{
    std::string canary = Backslashes(box.root.path()) + "canary\\KEEP.DLL";
    std::vector<std::pair<std::string, std::string>> n = {
        {"traversal", "..\\canary\\KEEP.DLL"},
        {"traversal inside", "SUB\\..\\..\\canary\\KEEP.DLL"},
        {"dot component", ".\\KEEP.DLL"},
        {"absolute", canary},
        {"drive", "C:\\canary\\KEEP.DLL"},
        {"drive relative", "C:KEEP.DLL"},
        {"UNC", "\\\\server\\share\\KEEP.DLL"},
        {"long-path prefix", "\\\\?\\" + canary},
        {"device prefix", "\\\\.\\" + canary},
        {"stream", "KEEP.DLL:evil"},
        {"default stream", "KEEP.DLL::$DATA"},
        {"device", "CON"},
        {"device with extension", "nul.txt"},
        {"serial port", "SUB\\COM1"},
        {"printer port", "LPT9.log"},
        {"trailing dot", "KEEP.DLL."},
        {"trailing blank", "KEEP.DLL "},
        {"dotted folder", "SUB.\\KEEP.DLL"},
        {"control character", "KE\x01P.DLL"},
        {"tab", "KE\tP.DLL"},
        {"less than", "a<b"},
        {"greater than", "a>b"},
        {"quote", "a\"b"},
        {"bar", "a|b"},
        {"question mark", "a?b"},
        {"star", "a*b"},
        {"forward slash", "../canary/KEEP.DLL"},
        {"slash inside", "SUB/KEEP.DLL"},
        {"scratch folder", "__QZUPD_\\N00000.TMP"},
        {"scratch folder itself", "__qzupd_"},
        {"empty", ""},
        {"double separator", "SUB\\\\KEEP.DLL"},
        {"trailing separator", "SUB\\"},
        {"250 bytes", std::string(250, 'n')},
        {"251 bytes", std::string(251, 'n')},
        {"cut to 249", std::string(300, 'n')},
    };
    return n;
}

// A package of one hostile entry of the given kind before an ordinary Add entry.
Upgrade HostileUpgrade(const std::string& name, int kind, const PkgBytes& canary)
{
    Upgrade u;
    PkgBytes evil = BytesOf("written by a hostile package");
    PkgEntry e = kind == PkgAdd ? AddEntry(name, evil, 0, 0)
        : kind == PkgPatch      ? PatchEntry(name, canary, evil, 0, 0)
                                : DeleteEntry(name, canary, 0, 0);
    u.plan.entries.push_back(e);
    u.Add("OK.DLL", BytesOf("ordinary"), 0, 0);
    return u;
}

TEST(HostileNames, RefusedBeforeAnythingIsWritten)
{
    PkgBytes canary = PseudoRandomBytes(900, 5000);   // the sandbox's canary\KEEP.DLL
    int cases = 0;
    Upgrade probe = HostileUpgrade("x", PkgAdd, canary);
    Sandbox names(probe);
    for (const auto& n : HostileNames(names)) {
        for (int kind : {PkgAdd, PkgPatch, PkgDelete}) {
            Upgrade u = HostileUpgrade(n.second, kind, canary);
            Sandbox box(u);
            ASSERT_EQ(canary, ReadFileBytes(box.root / "canary/KEEP.DLL"));
            // The same aim, rewritten for this sandbox's own folder.
            if (n.second.find(Backslashes(names.root.path())) == 0 ||
                n.second.find(names.root.path()) != std::string::npos) {
                std::string aimed = n.second;
                aimed.replace(aimed.find(Backslashes(names.root.path())), Backslashes(names.root.path()).size(),
                              Backslashes(box.root.path()));
                u = HostileUpgrade(aimed, kind, canary);
                box.WritePackage(WritePackage(u.plan));
            }
            std::string what = n.first + " as " + KindWord(kind);
            ScriptedUi ui = ScriptedUi::Yes();
            bool valid = true;
            int result = box.Apply(FaultPlan{}, ui, &valid);
            EXPECT_TRUE(FaultSeen().changed.empty()) << what << ": " << FaultSeen().changed.front();
            EXPECT_FALSE(valid) << what;
            EXPECT_EQ(0, result) << what;
            EXPECT_EQ("", box.Unchanged()) << what;
            EXPECT_FALSE(box.ScratchExists()) << what;
            EXPECT_EQ(canary, ReadFileBytes(box.root / "canary/KEEP.DLL")) << what;
            cases++;
        }
    }
    printf("%d hostile entries refused\n", cases);
}

// Names of legal form whose full path reaches the 260-byte limit: 259 characters apply, longer
// ones are refused or fail without writing anything.
TEST(HostileNames, FullPathAtTheLimit)
{
    PkgBytes older = BytesOf("old version"), newer = BytesOf("new version of the file");
    for (int length : {259, 260, 261}) {
        for (int kind : {PkgAdd, PkgPatch, PkgDelete}) {
            // The sandbox follows the upgrade it was given, which is filled once the target's
            // length is known: target + "SUB\" + a name filling up to the wanted length.
            Upgrade u;
            Sandbox real(u);
            std::string name = "SUB\\" + std::string(length - real.target.size() - 4, 'L');
            ASSERT_EQ((size_t)length, real.target.size() + name.size());
            if (kind == PkgAdd) u.Add(name, newer, 0, 1);
            if (kind == PkgPatch) u.Patch(name, older, newer, 0, 1);
            if (kind == PkgDelete) u.Delete(name, older, 0, 1);
            real.Reset();
            std::string what = std::string(KindWord(kind)) + " at " + std::to_string(length) + " characters";
            ScriptedUi ui = ScriptedUi::No();
            int result = real.Apply(FaultPlan{}, ui);
            EXPECT_EQ("", ChangesInside(FaultSeen().changed, real.target)) << what;
            if (length == 259) {
                EXPECT_EQ(1, result) << what;
                EXPECT_EQ("", real.Upgraded()) << what;
            } else {
                EXPECT_EQ(0, result) << what;
                EXPECT_EQ("", real.Unchanged()) << what;
            }
        }
    }
}

// The longest name the table keeps is legal in itself; below this target it makes a path too
// long to use, which fails without writing anything.
TEST(HostileNames, LongestNameIsReadButNotForcedIntoPlace)
{
    for (int kind : {PkgAdd, PkgPatch, PkgDelete}) {
        Upgrade u;
        std::string name(249, 'n');
        if (kind == PkgAdd) u.Add(name, BytesOf("new"), 0, 1);
        if (kind == PkgPatch) u.Patch("SHORT.DLL", BytesOf("old"), BytesOf("new"), 0, 1);
        if (kind == PkgDelete) u.Delete("SHORT.DLL", BytesOf("old"), 0, 1);
        if (kind != PkgAdd) u.plan.entries[0].name = name;
        Sandbox box(u);
        ScriptedUi ui = ScriptedUi::No();
        bool valid = false;
        int result = box.Apply(FaultPlan{}, ui, &valid);
        EXPECT_EQ("", ChangesInside(FaultSeen().changed, box.target)) << KindWord(kind);
        EXPECT_TRUE(valid) << KindWord(kind);
        EXPECT_EQ(0, result) << KindWord(kind);
        EXPECT_EQ("", box.Unchanged()) << KindWord(kind);
    }
}

}   // namespace
