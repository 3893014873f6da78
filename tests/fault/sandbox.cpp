// The throw-away installation and the invariants that no damaged package, fault or cancel may break.
#include "sandbox.h"
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include "apply.h"
#include "fingerprint.h"
#include "job.h"
#include "uitext.h"

namespace fs = std::filesystem;

void Upgrade::Add(const std::string& name, const PkgBytes& newer, int soft, int hard, const DiffStyle& style)
{
    plan.entries.push_back(AddEntry(name, newer, soft, hard, style));
    FileVersions& v = files[name];
    v.hasNew = true;
    v.newer = newer;
}

void Upgrade::Patch(const std::string& name, const PkgBytes& older, const PkgBytes& newer, int soft, int hard,
                    const DiffStyle& style)
{
    plan.entries.push_back(PatchEntry(name, older, newer, soft, hard, style));
    FileVersions& v = files[name];
    v.hasOld = v.hasNew = true;
    v.older = older;
    v.newer = newer;
}

void Upgrade::Delete(const std::string& name, const PkgBytes& older, int soft, int hard)
{
    plan.entries.push_back(DeleteEntry(name, older, soft, hard));
    FileVersions& v = files[name];
    v.hasOld = true;
    v.older = older;
}

namespace {

PkgBytes Edited(const PkgBytes& old, uint32_t seed)
{
    PkgBytes b = old;
    PkgBytes fresh = PseudoRandomBytes(seed, 40 + seed % 300);
    size_t at = b.empty() ? 0 : (seed * 7919) % b.size();
    b.insert(b.begin() + (long)at, fresh.begin(), fresh.end());
    if (b.size() > 600) b.erase(b.begin() + 100, b.begin() + 100 + (long)(seed % 200));
    return b;
}

std::string Slashes(std::string name)
{
    for (char& c : name)
        if (c == '\\') c = '/';
    return name;
}

std::string Describe(const std::string& what, const std::string& name) { return what + ": " + name + "\n"; }

}   // namespace

Upgrade ThreeFileUpgrade()
{
    Upgrade u;
    PkgBytes app = PseudoRandomBytes(11, 20000);
    // Hard findings ask, so that a scripted No stops the apply on any file that went wrong.
    u.Add("NEW.DLL", PseudoRandomBytes(12, 3000), 0, 1);
    u.Patch("APP.EXE", app, Edited(app, 13), 0, 1);
    u.Delete("OLD.TXT", PseudoRandomBytes(14, 900), 0, 1);
    u.untouched["README.TXT"] = PseudoRandomBytes(15, 400);
    return u;
}

Upgrade FiftyFileUpgrade()
{
    Upgrade u;
    char name[64];
    for (int i = 0; i < 20; i++) {
        snprintf(name, sizeof name, i < 10 ? "BIN\\APP%02d.DLL" : "LIB\\SUB\\M%02d.DAT", i);
        PkgBytes old = PseudoRandomBytes(100 + i, 200 + (i * 397) % 2500);
        DiffStyle style;
        style.nearCopies = i % 2;
        style.width = (PkgWidth)(i % 3);
        style.noops = i % 5 == 0;
        u.Patch(name, old, Edited(old, 200 + i), i % 3 == 0 ? 1 : 0, 1, style);
    }
    for (int i = 0; i < 15; i++) {
        snprintf(name, sizeof name, i < 8 ? "NEWDIR\\DEEP\\N%02d.BIN" : "ADDED%02d.TXT", i);
        // Sizes on the chunk and checksum-block edges, and one empty file.
        static const uint32_t sizes[] = {0, 1, 255, 256, 257, 511, 512, 513, 1000, 1500, 2048, 100, 700, 3, 900};
        u.Add(name, PseudoRandomBytes(300 + i, sizes[i]), i % 2, 1);
    }
    for (int i = 0; i < 15; i++) {
        snprintf(name, sizeof name, i < 5 ? "OLD\\D%02d.TXT" : "BIN\\GONE%02d.DLL", i);
        u.Delete(name, PseudoRandomBytes(400 + i, 50 + i * 31), i % 3 == 0 ? 1 : 0, 1);
    }
    for (int i = 0; i < 5; i++) {
        snprintf(name, sizeof name, "BIN/KEEP%02d.DLL", i);
        u.untouched[name] = PseudoRandomBytes(500 + i, 300);
    }
    return u;
}

Tree ReadTree(const std::string& folder, const std::string& skip)
{
    Tree t;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string rel = fs::relative(it->path(), folder, ec).generic_string();
        if (it->is_directory(ec)) {
            if (rel == skip) {
                it.disable_recursion_pending();
                continue;
            }
            t[rel + "/"] = PkgBytes();
        } else {
            t[rel] = ReadFileBytes(it->path().string());
        }
    }
    return t;
}

Sandbox::Sandbox(const Upgrade& u) : upgrade(u)
{
    target = root / "target/";
    packagePath = root / "pkg.upg";
    WriteFileBytes(root / "canary/KEEP.DLL", PseudoRandomBytes(900, 5000));
    WriteFileBytes(root / "canary/SUB/NOTE.TXT", BytesOf("must not change"));
    fs::create_directories(root / "cwd");
    Reset();
    outsideBefore.clear();
    outsideBefore = ReadTree(root.path(), "target");
    outsideBefore.erase("pkg.upg");
}

void Sandbox::Reset()
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(target, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(target, ec);
    fs::create_directories(target);
    for (const auto& f : upgrade.files) {
        if (!f.second.hasOld) continue;
        std::string path = target + Slashes(f.first);
        WriteFileBytes(path, f.second.older);
        // The old release carries the date the package expects, so no question is asked.
        FileFingerprint print = {kPkgDate, (uint32_t)f.second.older.size(), PkgChecksum(f.second.older)};
        VerifyAndStamp(path.c_str(), &print);
    }
    for (const auto& f : upgrade.untouched) WriteFileBytes(target + Slashes(f.first), f.second);
    WritePackage(::WritePackage(upgrade.plan));
}

void Sandbox::WritePackage(const PkgBytes& package) { WriteFileBytes(packagePath, package); }

int Sandbox::Apply(ScriptedUi& ui, bool* valid)
{
    // A name that escapes as a relative path would land in the working folder: watch it.
    std::error_code ec;
    fs::path before = fs::current_path(ec);
    fs::current_path(root / "cwd", ec);
    int result;
    {
        UpgradeJob job(packagePath.c_str(), target.c_str());
        ApplySession host(&job, &ui);
        host.wording.reset(new UiTextTable(nullptr, kDefaultUiResource));
        if (valid) *valid = job.IsValid() != 0;
        ApplyOutcome outcome = ApplyUpgrade(&host);
        result = outcome == ApplyApplied || outcome == ApplyUpToDate;
    }
    fs::current_path(before, ec);
    return result;
}

int Sandbox::WorkingFiles() const
{
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(target + kScratchName, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        n += it->path().extension() == ".PRT";
    return n;
}

int Sandbox::Apply(const FaultPlan& plan, ScriptedUi& ui, bool* valid)
{
    FaultScope scope(plan);
    return Apply(ui, valid);
}

bool Sandbox::JournalKept() const
{
    std::error_code ec;
    return fs::exists(target + kScratchName + "/COMMIT.JNL", ec);
}

bool Sandbox::ScratchExists() const
{
    std::error_code ec;
    return fs::exists(target + kScratchName, ec);
}

std::string Sandbox::Outside() const
{
    Tree now = ReadTree(root.path(), "target");
    // The package is the test's own input, rewritten between runs.
    now.erase("pkg.upg");
    if (now == outsideBefore) return "";
    std::string why;
    for (const auto& f : now)
        if (!outsideBefore.count(f.first) || outsideBefore.at(f.first) != f.second)
            why += Describe("changed outside the target", f.first);
    for (const auto& f : outsideBefore)
        if (!now.count(f.first)) why += Describe("removed outside the target", f.first);
    return why;
}

std::string Sandbox::Intact() const
{
    Tree actual = ReadTree(target);
    std::string why;
    std::map<std::string, size_t> positions;
    for (size_t i = 0; i < upgrade.plan.entries.size(); i++) positions[upgrade.plan.entries[i].name] = i;
    for (const auto& f : upgrade.files) {
        std::string rel = Slashes(f.first);
        auto it = actual.find(rel);
        if (it == actual.end()) {
            // Under a journal, a file the commit has moved to its backup and not yet replaced.
            char backup[32];
            snprintf(backup, sizeof backup, "%s/N%05u.OLD", kScratchName, (unsigned)positions[f.first]);
            bool backedUp = JournalKept() && actual.count(backup);
            if (f.second.hasOld && f.second.hasNew && !backedUp) why += Describe("missing", rel);
            continue;
        }
        bool isOld = f.second.hasOld && it->second == f.second.older;
        bool isNew = f.second.hasNew && it->second == f.second.newer;
        if (!isOld && !isNew) why += Describe("neither old nor new", rel);
        actual.erase(it);
    }
    for (const auto& f : upgrade.untouched) {
        auto it = actual.find(Slashes(f.first));
        if (it == actual.end() || it->second != f.second) why += Describe("untouched file changed", f.first);
        if (it != actual.end()) actual.erase(it);
    }
    // Files waiting in the scratch folder: under a .TMP name only a whole new version that
    // carries its new fingerprint, date-time included; under a .PRT name, the file being
    // written when a run was killed, at most the beginning of one; under an .OLD name the old
    // version the commit moved aside, and under a .DEL name one whose commit finished but which
    // could not be removed; and the journal.
    std::vector<const PkgEntry*> byPosition;
    for (const PkgEntry& e : upgrade.plan.entries) byPosition.push_back(&e);
    const std::string scratch = std::string(kScratchName) + "/";
    for (const auto& f : actual) {
        if (f.first.back() == '/') continue;   // folders made on the way are no files
        if (f.first == scratch + "COMMIT.JNL") continue;
        unsigned position = 0;
        char ext[4] = {};
        bool named = f.first.compare(0, scratch.size(), scratch) == 0 &&
            f.first.size() == scratch.size() + strlen("N00000.TMP") &&
            sscanf(f.first.c_str() + scratch.size(), "N%5u.%3[A-Z]", &position, ext) == 2 &&
            position < byPosition.size() &&
            (!strcmp(ext, "TMP") || !strcmp(ext, "PRT") || !strcmp(ext, "OLD") || !strcmp(ext, "DEL"));
        if (!named) {
            why += Describe("unexpected file", f.first);
            continue;
        }
        const PkgEntry& e = *byPosition[position];
        auto known = upgrade.files.find(e.name);
        const PkgBytes* newer = known != upgrade.files.end() && known->second.hasNew ? &known->second.newer : nullptr;
        if (!strcmp(ext, "OLD") || !strcmp(ext, "DEL")) {
            bool old = known != upgrade.files.end() && known->second.hasOld && f.second == known->second.older;
            if (!old) why += Describe("backup that is not the old version", f.first);
            continue;
        }
        if (!strcmp(ext, "PRT")) {
            bool beginning = newer
                ? f.second.size() <= newer->size() && std::equal(f.second.begin(), f.second.end(), newer->begin())
                : f.second.size() <= e.newPrint.size;
            if (!beginning) why += Describe("working file that is no beginning of the new version", f.first);
            continue;
        }
        FileFingerprint now;
        memset(&now, 0, sizeof now);
        ComputeFingerprint((target + f.first).c_str(), &now);
        PkgPrint p = PrintOf(f.second);
        bool whole = newer ? f.second == *newer : p.size == e.newPrint.size && p.checksum == e.newPrint.checksum;
        if (!whole || now.dateTime != e.newPrint.dateTime)
            why += Describe("unverified file in the scratch folder", f.first);
    }
    return why + Outside();
}

std::string Sandbox::UpgradedExcept(const std::set<std::string>& spared, bool cleanupLeft) const
{
    std::string why = Intact();
    Tree actual = ReadTree(target);
    for (const auto& f : upgrade.files) {
        if (spared.count(f.first)) continue;
        auto it = actual.find(Slashes(f.first));
        bool present = it != actual.end();
        if (present != f.second.hasNew || (present && it->second != f.second.newer))
            why += Describe("not upgraded", f.first);
    }
    // Its removal is not checked: an empty scratch folder may stay, a file in it may not.
    for (const auto& f : actual) {
        if (cleanupLeft) break;
        if (f.first.compare(0, strlen(kScratchName) + 1, std::string(kScratchName) + "/") == 0 && f.first.back() != '/')
            why += Describe("left in the scratch folder", f.first);
    }
    return why;
}

std::string Sandbox::Upgraded() const { return UpgradedExcept({}); }

std::string Sandbox::Unchanged(bool cleanupLeft) const
{
    std::string why = Intact();
    Tree actual = ReadTree(target);
    for (const auto& f : upgrade.files) {
        auto it = actual.find(Slashes(f.first));
        bool present = it != actual.end();
        if (present != f.second.hasOld || (present && it->second != f.second.older))
            why += Describe("changed", f.first);
    }
    for (const auto& f : actual)
        if (!cleanupLeft && f.first.compare(0, strlen(kScratchName) + 1, std::string(kScratchName) + "/") == 0 &&
            f.first.back() != '/')
            why += Describe("left in the scratch folder", f.first);
    return why;
}

std::string ChangesInside(const std::vector<std::string>& changed, const std::string& folder)
{
    std::string why;
    std::string base = Slashes(folder);
    for (const std::string& c : changed) {
        std::string p = Slashes(c);
        if (p.compare(0, base.size(), base) != 0 || ("/" + p + "/").find("/../") != std::string::npos)
            why += Describe("changed outside the target", c);
    }
    return why;
}
