// Faults beneath the apply: the Nth call of every kind fails, the disk fills, a file is held open.
#include <gtest/gtest.h>
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
    ScriptedUi ui;
    Counts c;
    {
        FaultScope scope(FaultPlan{});
        c.result = box.Apply(ui);
        c.log = FaultSeen();
    }
    return c;
}

// After a faulty run the installation is intact and the result tells the truth; a second run
// without faults then finishes the upgrade.
void CheckAfterFault(Sandbox& box, int result, const std::string& what)
{
    if (result) {
        EXPECT_EQ("", box.Upgraded()) << what << ": reported applied";
    } else {
        EXPECT_EQ("", box.Intact()) << what;
    }
    // The rerun meets files already upgraded or deleted; it is told to go on.
    ScriptedUi ui;
    ui.answer = 1;
    EXPECT_EQ(1, box.Apply(ui)) << what << ": the rerun did not finish the upgrade";
    EXPECT_EQ("", box.Upgraded()) << what << ": after the rerun";
}

class FaultApply : public ::testing::TestWithParam<int> {
protected:
    Upgrade MakeUpgrade() const { return GetParam() == 3 ? ThreeFileUpgrade() : FiftyFileUpgrade(); }
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
            ScriptedUi ui;
            ui.answer = 0;
            int result;
            {
                FaultScope scope(plan);
                result = box.Apply(ui);
                injected += FaultSeen().injected;
                ASSERT_EQ("", ChangesInside(FaultSeen().changed, box.target));
            }
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
    for (int kind = 0; kind < FaultKinds; kind++) printf(" %s %llu", FaultKindName(kind), (unsigned long long)clean.log.calls[kind]);
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
        ScriptedUi ui;
        ui.answer = 0;
        int result;
        {
            FaultScope scope(plan);
            result = box.Apply(ui);
        }
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
        ScriptedUi ui;
        ui.answer = 0;
        int result;
        {
            FaultScope scope(plan);
            result = box.Apply(ui);
        }
        std::string what = "held open: " + f.first;
        EXPECT_EQ("", box.Intact()) << what;
        // The held file keeps its old version; everything else may have gone ahead.
        if (result) {
            EXPECT_EQ("", box.UpgradedExcept({f.first})) << what;
        }
        EXPECT_EQ(f.second.older, ReadFileBytes(box.root / ("target/" + f.first))) << what;
        CheckAfterFault(box, result, what);
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, FaultApply, ::testing::Values(3, 50),
                         [](const ::testing::TestParamInfo<int>& p) { return p.param == 3 ? "ThreeFiles" : "FiftyFiles"; });

}  // namespace
