// Real kills: the console tool killed with SIGKILL at random moments of the build and the
// commit; every kill leaves a whole installation and a last run finishes the upgrade.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include "sandbox.h"

extern char** environ;

namespace {

// 32 files of 48 to 141 KiB patched, 8 added in new folders, 8 deleted: about 4 MB to rebuild.
Upgrade LargeUpgrade()
{
    Upgrade u;
    char name[64];
    for (int i = 0; i < 32; i++) {
        snprintf(name, sizeof name, i % 2 ? "BIN\\LIB%02d.DLL" : "DATA\\SET%02d.DAT", i);
        PkgBytes old = PseudoRandomBytes(700 + i, 49152 + (uint32_t)i * 3072);
        PkgBytes newer = old;
        PkgBytes fresh = PseudoRandomBytes(800 + i, 3000);
        newer.insert(newer.begin() + (long)(old.size() / 3), fresh.begin(), fresh.end());
        newer.erase(newer.end() - 500, newer.end());
        u.Patch(name, old, newer, 0, 1);
    }
    for (int i = 0; i < 8; i++) {
        snprintf(name, sizeof name, "NEW\\PART%d\\ADD%02d.BIN", i % 3, i);
        u.Add(name, PseudoRandomBytes(900 + i, 65536), 0, 1);
    }
    for (int i = 0; i < 8; i++) {
        snprintf(name, sizeof name, "OLD\\GONE%02d.TXT", i);
        u.Delete(name, PseudoRandomBytes(950 + i, 2000), 0, 1);
    }
    return u;
}

// Starts `upg apply` on the sandbox; returns its process id.
pid_t StartApply(const Sandbox& box)
{
    std::string pkg = box.packagePath, target = box.target;
    const char* argv[] = {UPG_TOOL, "apply", pkg.c_str(), "--target", target.c_str(), "--yes", "--quiet", nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, UPG_TOOL, &quiet, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    return rc == 0 ? pid : -1;
}

int Wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

int RunToEnd(const Sandbox& box)
{
    pid_t pid = StartApply(box);
    if (pid < 0) return -1;
    int status = Wait(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Intact's findings without the one a kill may leave: a temporary file cut off mid-build.
std::string IntactAfterKill(const Sandbox& box, int* partial)
{
    std::string all = box.Intact(), kept;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        std::string line = all.substr(at, end - at + 1);
        if (line.compare(0, 35, "unverified file in the scratch fold") == 0) (*partial)++;
        else kept += line;
        at = end + 1;
    }
    return kept;
}

// Some listed files new and some old: the kill came in the middle of the commit.
bool PartUpgraded(const Sandbox& box)
{
    int olds = 0, news = 0;
    for (const auto& f : box.upgrade.files) {
        if (!f.second.hasOld || !f.second.hasNew) continue;
        std::string path = box.target + f.first;
        for (char& c : path)
            if (c == '\\') c = '/';
        PkgBytes now = ReadFileBytes(path);
        olds += now == f.second.older;
        news += now == f.second.newer;
    }
    return olds > 0 && news > 0;
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

    // Kills come in chains on the same installation, so that reruns are interrupted too.
    const int kKills = 240, kChain = 4;
    std::mt19937 random(20240517);
    std::uniform_real_distribution<double> moment(0.0, 1.0);
    int kills = 0, finishedFirst = 0, partial = 0, inFlight = 0, inCommit = 0;
    while (kills < kKills) {
        box.Reset();
        for (int c = 0; c < kChain; c++) {
            pid_t pid = StartApply(box);
            ASSERT_GT(pid, 0);
            // Every other kill aims at the last stretch, where the commit runs.
            double draw = moment(random);
            double at = full * (kills % 2 ? draw : 0.7 + 0.35 * draw);
            std::this_thread::sleep_for(std::chrono::duration<double>(at));
            kill(pid, SIGKILL);
            int status = Wait(pid);
            kills++;
            // The machine's load changes how long a run takes: aim earlier after a run that
            // finished first, a little later after one that was caught.
            if (!WIFSIGNALED(status)) {
                finishedFirst++;
                full *= 0.8;
            } else {
                full *= 1.03;
            }
            std::string why = IntactAfterKill(box, &partial);
            ASSERT_EQ("", why) << "after kill " << kills;
            if (WIFSIGNALED(status) && box.ScratchExists()) inFlight++;
            if (WIFSIGNALED(status) && PartUpgraded(box)) inCommit++;
        }
        // The run that nobody stops finishes the upgrade, whatever the kills left behind.
        ASSERT_EQ(0, RunToEnd(box)) << "after kill " << kills;
        ASSERT_EQ("", box.Upgraded()) << "after kill " << kills;
        ASSERT_FALSE(box.ScratchExists()) << "after kill " << kills;
    }
    printf("%d kills (%d runs ended before their kill, %d killed with the scratch folder in use, %d of "
           "them in the commit), %d cut-off temporary files seen; a full run took %.0f ms\n",
           kills, finishedFirst, inFlight, inCommit, partial, lengths[2] * 1000);
    // Most kills must land inside the work, or the test proves little.
    EXPECT_GT(inFlight, kKills / 3);
    EXPECT_GT(inCommit, 0);
}

}  // namespace
