// Faults beneath the apply: the Nth call of every kind fails, the disk fills, a file is held open.
#include <gtest/gtest.h>
#include "files.h"
#include "faultos.h"
#include "sandbox.h"

namespace {

struct Counts {
    FaultLog log;
    int result = 0;
};

// A clean run under the recording table: how many calls of each kind an apply makes.
Counts CleanRun(Sandbox& box)
{
    box.Reset();
    ScriptedUi ui = ScriptedUi::Yes();
    Counts c;
    c.result = box.Apply(FaultPlan{}, ui);
    c.log = FaultSeen();
    return c;
}

// After a faulty run the installation is the whole new release, or the whole old one, or a
// journal is kept and every file is its old or new version; a second run without faults then
// finishes the upgrade without asking anything.
void CheckAfterFault(Sandbox& box, int result, const std::string& what)
{
    if (result) {
        EXPECT_EQ("", box.UpgradedExcept({}, true)) << what << ": reported applied";
    } else if (!box.JournalKept()) {
        EXPECT_EQ("", box.Unchanged(true)) << what << ": neither kept a journal nor left the old release";
    } else {
        EXPECT_EQ("", box.Intact()) << what;
    }
    ScriptedUi ui = ScriptedUi::No();
    EXPECT_EQ(1, box.Apply(ui)) << what << ": the rerun did not finish the upgrade"
                                << (ui.infos.empty() ? "" : ": " + ui.infos[0]);
    EXPECT_EQ(0, ui.Count("ask")) << what << ": the rerun asked";
    EXPECT_EQ("", box.Upgraded()) << what << ": after the rerun";
}

// The three-file package with every policy Abort: a rerun that met files the first run had
// already deleted or replaced as findings could never finish.
Upgrade AbortingUpgrade()
{
    Upgrade u = ThreeFileUpgrade();
    for (PkgEntry& e : u.plan.entries) e.flags = (uint8_t)((e.flags & 3) | 2 << 2 | 2 << 4);
    return u;
}

class FaultApply : public ::testing::TestWithParam<int> {
protected:
    Upgrade MakeUpgrade() const
    {
        return GetParam() == 3 ? ThreeFileUpgrade() : GetParam() == 4 ? AbortingUpgrade() : FiftyFileUpgrade();
    }
};

TEST_P(FaultApply, CleanRunChangesOnlyTheTarget)
{
    Upgrade u = MakeUpgrade();
    Sandbox box(u);
    Counts c = CleanRun(box);
    EXPECT_EQ(1, c.result);
    EXPECT_EQ("", box.Upgraded());
    EXPECT_FALSE(box.ScratchExists());
    EXPECT_EQ("", ChangesInside(c.log.changed, box.target));
    EXPECT_GT(c.log.calls[FaultWrite], 0u);
}

TEST_P(FaultApply, EveryNthCallOfEveryKindFails)
{
    Upgrade u = MakeUpgrade();
    Sandbox box(u);
    Counts clean = CleanRun(box);
    uint64_t injected = 0, runs = 0, applied = 0;
    for (int kind = 0; kind < FaultKinds; kind++) {
        for (uint64_t n = 1; n <= clean.log.calls[kind]; n++) {
            box.Reset();
            FaultPlan plan;
            plan.failAt[kind] = n;
            ScriptedUi ui = ScriptedUi::No();
            int result = box.Apply(plan, ui);
            injected += FaultSeen().injected;
            ASSERT_EQ("", ChangesInside(FaultSeen().changed, box.target));
            runs++;
            applied += result;
            std::string what = std::string(FaultKindName(kind)) + " call " + std::to_string(n) + " failed";
            CheckAfterFault(box, result, what);
            if (HasFailure()) return;
        }
    }
    // Most faults must be noticed: a run that shrugs all of them off would not be testing much.
    EXPECT_GT(injected, 0u);
    EXPECT_LT(applied, runs);
    printf("%llu runs, %llu faults injected, %llu still applied; calls of a clean run:", (unsigned long long)runs,
           (unsigned long long)injected, (unsigned long long)applied);
    for (int kind = 0; kind < FaultKinds; kind++)
        printf(" %s %llu", FaultKindName(kind), (unsigned long long)clean.log.calls[kind]);
    printf("\n");
}

TEST_P(FaultApply, DiskFullFromEveryWrite)
{
    Upgrade u = MakeUpgrade();
    Sandbox box(u);
    Counts clean = CleanRun(box);
    for (uint64_t k = 1; k <= clean.log.calls[FaultWrite]; k++) {
        box.Reset();
        FaultPlan plan;
        plan.diskFullFrom = k;
        ScriptedUi ui = ScriptedUi::No();
        int result = box.Apply(plan, ui);
        // A full disk can only stop the build: the commit renames and deletes.
        EXPECT_EQ(0, result) << "disk full from write " << k;
        EXPECT_EQ("", box.Unchanged()) << "disk full from write " << k;
        CheckAfterFault(box, result, "disk full from write " + std::to_string(k));
        if (HasFailure()) return;
    }
}

TEST_P(FaultApply, AFileHeldOpenIsNeverLostOrHalfReplaced)
{
    Upgrade u = MakeUpgrade();
    Sandbox box(u);
    for (const auto& f : u.files) {
        if (!f.second.hasOld) continue;
        std::string path = box.target + f.first;
        box.Reset();
        FaultPlan plan;
        plan.lockedPath = path;
        ScriptedUi ui = ScriptedUi::No();
        int result = box.Apply(plan, ui);
        std::string what = "held open: " + f.first;
        // All or nothing: a file in the way keeps the whole old release.
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ("", box.Unchanged()) << what;
        CheckAfterFault(box, result, what);
        if (HasFailure()) return;
    }
}

// Every change the apply makes can be the last, as when the process is killed there: from the
// Nth on every change fails and does nothing. After each, the installation is the whole old or
// new release, or a journal is kept, and a run without faults finishes without a question.
TEST_P(FaultApply, KilledAtEveryChange)
{
    Upgrade u = MakeUpgrade();
    Sandbox box(u);
    Counts clean = CleanRun(box);
    uint64_t changes = clean.log.changes, runs = 0, journals = 0;
    for (uint64_t n = 1; n <= changes; n += kSanitized ? 3 : 1) {
        box.Reset();
        FaultPlan plan;
        plan.freezeFrom = n;
        ScriptedUi ui = ScriptedUi::No();
        int result = box.Apply(plan, ui);
        runs++;
        journals += box.JournalKept();
        CheckAfterFault(box, result, "killed at change " + std::to_string(n) + " of " + std::to_string(changes));
        if (HasFailure()) return;
    }
    printf("%llu kills, %llu of them left a journal to finish\n", (unsigned long long)runs,
           (unsigned long long)journals);
    EXPECT_GT(journals, 0u);
}

// A commit killed half-way, then another package of the same release applied over it: that
// run undoes the first commit before its own, and it is killed at every change too, inside
// the undo as well. A last run of the second package finishes without a question.
TEST_P(FaultApply, KilledInsideTheUndoOfAnotherPackage)
{
    Upgrade u = MakeUpgrade();
    Upgrade other = u;
    other.plan.title = "The same release, another package";
    const PkgBytes first = WritePackage(u.plan), second = WritePackage(other.plan);
    Sandbox box(u);
    Counts clean = CleanRun(box);
    // The kills of the first package that leave a journal, found from the end of the run,
    // where the commit is: the middle one is half-way.
    std::vector<uint64_t> kept;
    for (uint64_t n = clean.log.changes; n >= 1; n--) {
        box.Reset();
        FaultPlan plan;
        plan.freezeFrom = n;
        ScriptedUi ui = ScriptedUi::Yes();
        box.Apply(plan, ui);
        if (box.JournalKept())
            kept.push_back(n);
        else if (!kept.empty())
            break;
    }
    ASSERT_FALSE(kept.empty());
    const uint64_t halfWay = kept[kept.size() / 2];
    auto interrupted = [&] {
        box.Reset();
        FaultPlan plan;
        plan.freezeFrom = halfWay;
        ScriptedUi ui = ScriptedUi::Yes();
        box.Apply(plan, ui);
        box.WritePackage(second);
    };
    interrupted();
    ASSERT_TRUE(box.JournalKept());
    uint64_t changes;
    {
        ScriptedUi ui = ScriptedUi::Yes();
        ASSERT_EQ(1, box.Apply(FaultPlan{}, ui));
        changes = FaultSeen().changes;
    }
    uint64_t undoKills = 0;
    for (uint64_t n = 1; n <= changes; n += GetParam() != 50 ? 1 : kSanitized ? 9 : 3) {
        interrupted();
        size_t backupsBefore = ReadTree(box.target + kScratchName).size();
        FaultPlan plan;
        plan.freezeFrom = n;
        ScriptedUi ui = ScriptedUi::No();
        int result = box.Apply(plan, ui);
        // Killed while the backups of the first commit were being put back.
        if (box.JournalKept() && ReadTree(box.target + kScratchName).size() < backupsBefore) undoKills++;
        CheckAfterFault(box, result,
                        "second package killed at change " + std::to_string(n) + " of " + std::to_string(changes));
        if (HasFailure()) return;
    }
    printf("first package killed at change %llu of %llu; %llu kills of the second inside the undo\n",
           (unsigned long long)halfWay, (unsigned long long)clean.log.changes, (unsigned long long)undoKills);
    EXPECT_GT(undoKills, 0u);
    (void)first;
}

// Another program in the way, for a moment or for good: a scanner that holds a renamed file
// briefly, a program that holds or runs an installed file, a backup that stays locked.
TEST(InUse, BriefSharingViolationsInTheCommitAreWaitedOut)
{
    Upgrade u = ThreeFileUpgrade();
    Sandbox box(u);
    // The build renames each of its two new files once; the commit's renames follow.
    FaultPlan plan;
    plan.busyMoveFrom = 3;
    plan.busyMoves = 2;
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(1, box.Apply(plan, ui));
    EXPECT_EQ(2u, FaultSeen().injected);
    EXPECT_GT(FaultSeen().pausedMs, 0u);
    EXPECT_LT(FaultSeen().pausedMs, (uint64_t)kBusyRetryMs);
    EXPECT_EQ("", box.Upgraded());
    EXPECT_EQ(0, ui.Count("ask"));

    // Held for longer than the retries last: the commit gives up within its bound and undoes.
    box.Reset();
    plan.busyMoves = 1000000;
    ScriptedUi held = ScriptedUi::No();
    EXPECT_EQ(0, box.Apply(plan, held));
    EXPECT_GE(FaultSeen().pausedMs, (uint64_t)kBusyRetryMs);
    EXPECT_LT(FaultSeen().pausedMs, 20ull * kBusyRetryMs);
    EXPECT_EQ("", box.Unchanged());
    ASSERT_FALSE(held.infos.empty());
    EXPECT_NE(std::string::npos, held.infos.back().find("APP.EXE"));
}

TEST(InUse, AFileHeldByAnotherProgramIsNamedBeforeAnythingChanges)
{
    Upgrade u = ThreeFileUpgrade();
    Sandbox box(u);
    FaultPlan plan;
    plan.inUsePath = box.target + "APP.EXE";
    plan.inUseHolder = "Editor";
    plan.inUseProbes = 2;
    ScriptedUi ui = ScriptedUi::Yes();
    ui.retryTimes = 1;
    EXPECT_EQ(0, box.Apply(plan, ui));
    EXPECT_TRUE(FaultSeen().changed.empty()) << FaultSeen().changed[0];
    EXPECT_EQ("", box.Unchanged());
    EXPECT_EQ(2, ui.retries);
    ASSERT_EQ(2u, ui.infos.size());
    EXPECT_NE(std::string::npos, ui.infos[1].find("\nAPP.EXE (Editor)")) << ui.infos[1];
    EXPECT_EQ(std::string::npos, ui.infos[1].find("OLD.TXT")) << ui.infos[1];
    EXPECT_EQ(0, ui.Count("ask"));

    // Closed before the second look: Retry applies.
    box.Reset();
    plan.inUseProbes = 1;
    ScriptedUi retry = ScriptedUi::Yes();
    retry.retryTimes = 1;
    EXPECT_EQ(1, box.Apply(plan, retry));
    EXPECT_EQ(1, retry.retries);
    EXPECT_EQ("", box.Upgraded());
}

TEST(InUse, ATargetTheUserMayNotChangeIsToldBeforeAnythingChanges)
{
    Upgrade u = ThreeFileUpgrade();
    Sandbox box(u);
    FaultPlan plan;
    plan.foldersWritable = 0;
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(0, box.Apply(plan, ui));
    EXPECT_TRUE(FaultSeen().changed.empty());
    EXPECT_EQ(0u, FaultSeen().probes);
    ASSERT_EQ(1u, ui.infos.size());
    EXPECT_NE(std::string::npos, ui.infos[0].find("Your user account may not change")) << ui.infos[0];
    EXPECT_EQ("", box.Unchanged());
}

// A backup that cannot be removed after a finished commit (its program still runs) never
// blocks: it waits under a finished name, and the next run of any package removes it first.
TEST(InUse, ABackupThatCannotBeRemovedIsRemovedByTheNextRun)
{
    Upgrade u = ThreeFileUpgrade();
    Upgrade other = u;
    other.plan.title = "Another package";
    Sandbox box(u);
    const std::string scratch = box.target + kScratchName;
    FaultPlan plan;
    plan.undeletablePath = scratch + "\\N00001.OLD";
    ScriptedUi ui = ScriptedUi::Yes();
    EXPECT_EQ(1, box.Apply(plan, ui));
    EXPECT_TRUE(ui.infos.empty());
    EXPECT_EQ("", box.UpgradedExcept({}, true));
    Tree left = ReadTree(scratch);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ("N00001.DEL", left.begin()->first);
    EXPECT_FALSE(box.JournalKept());

    box.WritePackage(WritePackage(other.plan));
    ScriptedUi next = ScriptedUi::Yes();
    EXPECT_EQ(1, box.Apply(next));
    ASSERT_EQ(1u, next.infos.size());
    EXPECT_NE(std::string::npos, next.infos[0].find("already up to date")) << next.infos[0];
    EXPECT_FALSE(box.ScratchExists());
    EXPECT_EQ("", box.Upgraded());
}

INSTANTIATE_TEST_SUITE_P(Packages, FaultApply, ::testing::Values(3, 4, 50), [](const ::testing::TestParamInfo<int>& p) {
    return p.param == 3 ? "ThreeFiles" : p.param == 4 ? "ThreeFilesAbortEverywhere" : "FiftyFiles";
});

}   // namespace
