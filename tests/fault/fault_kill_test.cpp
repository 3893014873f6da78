// Real kills: the console tool killed with SIGKILL at random moments of an apply (build and
// commit) and of a package build; every kill leaves a whole installation or no package but a
// whole one, and a last run finishes the work.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <dirent.h>
#include <string.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <random>
#include <filesystem>
#include <thread>
#include "fingerprint.h"
#include "sandbox.h"

extern char** environ;

namespace {

// Sanitized tools run several times slower: fewer kills keep the suite within CI time there,
// and the plain build makes up the full count, rebuilding four times as much so that even a
// fast run leaves room for kills inside its work.
const uint32_t kScale = kSanitized ? 1 : 4;
const int kApplyKills = kSanitized ? 40 : 160;
const int kBuildKills = kSanitized ? 20 : 80;
static_assert(kApplyKills + kBuildKills >= 200 || kSanitized, "the plain build kills at least 200 times");

// 32 files of 48 to 141 KiB patched, 8 added in new folders, 308 deleted: about 4 MB to
// rebuild (four times that in the plain build).
Upgrade LargeUpgrade()
{
    Upgrade u;
    char name[64];
    for (int i = 0; i < 32; i++) {
        snprintf(name, sizeof name, i % 2 ? "BIN\\LIB%02d.DLL" : "DATA\\SET%02d.DAT", i);
        PkgBytes old = PseudoRandomBytes(700 + i, (49152 + (uint32_t)i * 3072) * kScale);
        PkgBytes newer = old;
        PkgBytes fresh = PseudoRandomBytes(800 + i, 3000);
        newer.insert(newer.begin() + (long)(old.size() / 3), fresh.begin(), fresh.end());
        newer.erase(newer.end() - 500, newer.end());
        u.Patch(name, old, newer, 0, 1);
    }
    for (int i = 0; i < 8; i++) {
        snprintf(name, sizeof name, "NEW\\PART%d\\ADD%02d.BIN", i % 3, i);
        u.Add(name, PseudoRandomBytes(900 + i, 65536 * kScale), 0, 1);
    }
    for (int i = 0; i < 8; i++) {
        snprintf(name, sizeof name, "OLD\\GONE%02d.TXT", i);
        u.Delete(name, PseudoRandomBytes(950 + i, 2000), 0, 1);
    }
    // Many small deletions make the commit, and its undo, a stretch that kills can hit.
    for (int i = 0; i < 300; i++) {
        snprintf(name, sizeof name, "OLD\\MANY\\F%03d.TXT", i);
        u.Delete(name, PseudoRandomBytes(2000 + i, 100), 0, 1);
    }
    return u;
}

namespace fs = std::filesystem;

// Starts the console tool with argv (argv[0] is ignored), output thrown away; returns its id.
pid_t Start(std::vector<std::string> args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(UPG_TOOL));
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, UPG_TOOL, &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    return rc == 0 ? pid : -1;
}

// Starts `upg apply` on the sandbox. With --no, any question would end the run unapplied: a
// run after kills must finish without asking anything.
pid_t StartApply(const Sandbox& box, const char* answer = "--yes")
{
    return Start({"apply", box.packagePath, "--target", box.target, answer, "--quiet"});
}

int Wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

int RunToEnd(const Sandbox& box)
{
    pid_t pid = StartApply(box, "--no");
    return pid < 0 ? -1 : ExitCode(Wait(pid));
}

// Some listed files new (patched, or deleted) and some old: the kill came in the middle of the
// commit.
bool PartUpgraded(const Sandbox& box)
{
    int olds = 0, news = 0;
    for (const auto& f : box.upgrade.files) {
        if (!f.second.hasOld) continue;
        std::string path = box.target + f.first;
        for (char& c : path)
            if (c == '\\') c = '/';
        bool present = PathExists(path);
        PkgBytes now = present ? ReadFileBytes(path) : PkgBytes();
        olds += present && now == f.second.older;
        news += f.second.hasNew ? present && now == f.second.newer : !present;
    }
    return olds > 0 && news > 0;
}

// Files in the scratch folder whose names end in ext (".TMP", ".OLD"); -1 when there is none.
int ScratchCount(const std::string& scratch, const char* ext)
{
    DIR* d = opendir(scratch.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        size_t len = strlen(e->d_name);
        n += len > 4 && strcmp(e->d_name + len - 4, ext) == 0;
    }
    closedir(d);
    return n;
}

enum Aim { AimBuild, AimCommit, AimUndo };

// Returns once the work aimed at is under way: the scratch folder exists (build); under a
// journal, a verified temporary file has left it, moved into place (commit), or a backup has
// left it, put back (undo); or the folder is gone again; or when the time runs out (a run that
// ended before its work was seen, or a rerun with nothing left to do). Files that a run clears
// from the scratch folder before its build do not count: only the journal's presence tells
// the commit and the undo.
void WaitForWork(const Sandbox& box, double seconds, Aim aim)
{
    std::string scratch = box.target + std::string(kScratchName);
    const char* ext = aim == AimUndo ? ".OLD" : ".TMP";
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int most = 0;
    bool journal = false;
    while (std::chrono::steady_clock::now() < until) {
        int n = ScratchCount(scratch, ext);
        if (n < 0) {
            // The folder went with the clean-up after the commit (a build that begins clears
            // and makes it anew).
            if (journal) return;
            continue;
        }
        if (aim == AimBuild) return;
        if (!box.JournalKept()) {
            most = 0;
            continue;
        }
        journal = true;
        if (n < most) return;
        most = std::max(most, n);
    }
}

TEST(Kill, RandomMomentsOfBuildAndCommit)
{
    Upgrade u = LargeUpgrade();
    Sandbox box(u);
    // The length of an uninterrupted run: the median of five.
    std::vector<double> lengths;
    for (int i = 0; i < 5; i++) {
        box.Reset();
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(0, RunToEnd(box));
        lengths.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ASSERT_EQ("", box.Upgraded());
        ASSERT_FALSE(box.ScratchExists());
    }
    std::sort(lengths.begin(), lengths.end());
    double full = lengths[2];

    // Kills come in chains on the same installation, so that reruns are interrupted too. Every
    // third chain goes on, after its first kill, with another package of the same release:
    // its runs first undo the commit the kill interrupted, and those are aimed at the undo.
    Upgrade renamed = u;
    renamed.plan.title = "The same release, another package";
    const PkgBytes first = WritePackage(u.plan), second = WritePackage(renamed.plan);
    const int kKills = kApplyKills, kChain = 4;
    std::mt19937 random(20240517);
    std::uniform_real_distribution<double> moment(0.0, 1.0);
    int kills = 0, finishedFirst = 0, partial = 0, inFlight = 0, inCommit = 0, inUndo = 0, chains = 0, journals = 0;
    // One run, killed as aimed; what it left is checked at once.
    auto killOnce = [&](bool undoing, Aim aim) {
        box.WritePackage(undoing ? second : first);
        int backups = ScratchCount(box.target + kScratchName, ".OLD");
        pid_t pid = StartApply(box);
        ASSERT_GT(pid, 0);
        WaitForWork(box, full * 3 + 0.05, aim);
        if (aim == AimBuild) std::this_thread::sleep_for(std::chrono::duration<double>(full * 0.5 * moment(random)));
        kill(pid, SIGKILL);
        int status = Wait(pid);
        kills++;
        if (!WIFSIGNALED(status)) finishedFirst++;
        // The machine's load changes how long a run takes: aim earlier after a run that
        // finished first, a little later after one that was caught.
        if (aim == AimBuild) full *= WIFSIGNALED(status) ? 1.03 : 0.8;
        // Cut-off files only ever carry a working name; a .TMP file is a whole new version, an
        // .OLD file a whole old one.
        ASSERT_EQ("", box.Intact()) << "after kill " << kills;
        // Without a journal to finish, the installation is the old release or the new one.
        if (!box.JournalKept()) {
            ASSERT_TRUE(box.Unchanged(true).empty() || box.UpgradedExcept({}, true).empty()) << "after kill " << kills;
        }
        partial += box.WorkingFiles();
        if (!WIFSIGNALED(status)) return;
        inFlight += box.ScratchExists();
        inCommit += PartUpgraded(box);
        journals += box.JournalKept();
        int left = ScratchCount(box.target + kScratchName, ".OLD");
        inUndo += undoing && box.JournalKept() && left >= 0 && left < backups;
    };
    // A loaded machine makes more runs end before their kill: more chains then, up to three
    // times the count, until enough kills landed inside the work.
    while (kills < kKills || (inFlight <= kKills / 3 && kills < 3 * kKills)) {
        box.Reset();
        if (chains++ % 3 == 2) {
            // A commit of the first package interrupted with backups taken (a few tries at most),
            // then runs of the second package, killed while they undo it.
            for (int tries = 0; tries < 8; tries++) {
                box.Reset();
                killOnce(false, AimCommit);
                if (HasFatalFailure()) return;
                if (box.JournalKept() && ScratchCount(box.target + kScratchName, ".OLD") > 0) break;
            }
            for (int c = 1; c < kChain; c++) {
                bool backups = box.JournalKept() && ScratchCount(box.target + kScratchName, ".OLD") > 0;
                killOnce(true, backups ? AimUndo : kills % 2 == 0 ? AimCommit : AimBuild);
                if (HasFatalFailure()) return;
            }
        } else {
            // Kills aim by what the run shows, not by the clock alone, so that a loaded machine
            // does not make them land late: every other kill at the commit, which begins once a
            // verified file has left the scratch folder under a journal, the others at a random
            // moment after the build has begun.
            for (int c = 0; c < kChain; c++) {
                killOnce(false, kills % 2 == 0 ? AimCommit : AimBuild);
                if (HasFatalFailure()) return;
            }
        }
        // The run that nobody stops finishes the upgrade, whatever the kills left behind, and
        // asks nothing on the way.
        ASSERT_EQ(0, RunToEnd(box)) << "after kill " << kills;
        ASSERT_EQ("", box.Upgraded()) << "after kill " << kills;
        ASSERT_FALSE(box.ScratchExists()) << "after kill " << kills;
    }
    printf("%d kills (%d runs ended before their kill, %d killed with the scratch folder in use, %d with a "
           "journal kept, %d of them with old and new files mixed, %d in the undo of another package's commit), "
           "%d working files seen; a full run took %.0f ms\n",
           kills, finishedFirst, inFlight, journals, inCommit, inUndo, partial, lengths[2] * 1000);
    // Most kills must land inside the work, or the test proves little.
    EXPECT_GT(inFlight, kKills / 3);
    // The commit and the undo are short stretches: only the full count of kills is sure to land
    // in them.
    if (!kSanitized) {
        EXPECT_GT(inCommit, 0);
        EXPECT_GT(inUndo, 0);
    }
}

// A release tree of the upgrade, old or new, stamped with the package date so that a package
// built from two of them matches the sandbox's installation.
void WriteRelease(const Upgrade& u, const std::string& folder, bool newer)
{
    for (const auto& f : u.files) {
        if (!(newer ? f.second.hasNew : f.second.hasOld)) continue;
        const PkgBytes& bytes = newer ? f.second.newer : f.second.older;
        std::string path = folder + f.first;
        for (char& c : path)
            if (c == '\\') c = '/';
        WriteFileBytes(path, bytes);
        FileFingerprint print = {kPkgDate, (uint32_t)bytes.size(), PkgChecksum(bytes)};
        VerifyAndStamp(path.c_str(), &print);
    }
}

// What a package build left in its output folder besides its work files (the temporary
// package and the parts folder): empty when the package is absent or equal to whole.
std::string BuildLeftovers(const std::string& out, const PkgBytes& whole, int* workFiles)
{
    std::string why;
    for (const auto& f : ReadTree(out)) {
        if (f.first == "OUT.upg") {
            if (f.second != whole)
                why += "OUT.upg is not the whole package (" + std::to_string(f.second.size()) + " bytes)\n";
        } else if (f.first == "OUT.upg.tmp" || f.first.compare(0, 14, "OUT.upg.parts/") == 0) {
            (*workFiles)++;
        } else {
            why += "stray file " + f.first + "\n";
        }
    }
    return why;
}

TEST(Kill, RandomMomentsOfPackageBuild)
{
    Upgrade u = LargeUpgrade();
    TempDir dir;
    const std::string olds = dir / "old", news = dir / "new", out = dir / "out", pkg = out + "/OUT.upg";
    WriteRelease(u, olds + "/", false);
    WriteRelease(u, news + "/", true);
    fs::create_directories(out);
    const Tree releases = ReadTree(dir.path(), "out");
    auto startBuild = [&] { return Start({"build", olds, news, "-o", pkg, "--jobs", "1", "--quiet"}); };

    // The whole package, the length of an uninterrupted build (median of three), and proof
    // that the package upgrades the installation.
    std::vector<double> lengths;
    PkgBytes whole;
    for (int i = 0; i < 3; i++) {
        auto start = std::chrono::steady_clock::now();
        pid_t pid = startBuild();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(0, ExitCode(Wait(pid)));
        lengths.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        PkgBytes built = ReadFileBytes(pkg);
        ASSERT_FALSE(built.empty());
        if (i) {
            ASSERT_EQ(whole, built) << "the build is not repeatable";
        }
        whole = built;
        ASSERT_EQ((Tree{{"OUT.upg", whole}}), ReadTree(out));
    }
    std::sort(lengths.begin(), lengths.end());
    double full = lengths[1];
    {
        Sandbox box(u);
        box.WritePackage(whole);
        ASSERT_EQ(0, RunToEnd(box));
        ASSERT_EQ("", box.Upgraded());
    }

    const int kChain = 4;
    std::mt19937 random(20240611);
    std::uniform_real_distribution<double> moment(0.0, 1.0);
    int kills = 0, finishedFirst = 0, midway = 0, workFiles = 0;
    while (kills < kBuildKills || (midway <= kBuildKills / 3 && kills < 3 * kBuildKills)) {
        std::error_code ec;
        fs::remove_all(out, ec);
        fs::create_directories(out);
        for (int c = 0; c < kChain; c++) {
            pid_t pid = startBuild();
            ASSERT_GT(pid, 0);
            std::this_thread::sleep_for(std::chrono::duration<double>(full * 1.05 * moment(random)));
            kill(pid, SIGKILL);
            int status = Wait(pid);
            kills++;
            if (!WIFSIGNALED(status)) {
                finishedFirst++;
                full *= 0.8;
            } else {
                full *= 1.03;
            }
            int work = 0;
            ASSERT_EQ("", BuildLeftovers(out, whole, &work)) << "after build kill " << kills;
            ASSERT_EQ(releases, ReadTree(dir.path(), "out")) << "after build kill " << kills;
            workFiles += work;
            if (WIFSIGNALED(status) && work) midway++;
        }
        // An uninterrupted build clears what the kills left and writes the whole package.
        pid_t pid = startBuild();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(0, ExitCode(Wait(pid))) << "after build kill " << kills;
        ASSERT_EQ((Tree{{"OUT.upg", whole}}), ReadTree(out)) << "after build kill " << kills;
    }
    printf("%d build kills (%d builds ended before their kill, %d killed with work files present, %d work files "
           "seen); a full build took %.0f ms\n",
           kills, finishedFirst, midway, workFiles, lengths[1] * 1000);
    EXPECT_GT(midway, kBuildKills / 3);
}

}   // namespace
