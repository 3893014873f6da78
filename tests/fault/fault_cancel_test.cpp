// Cancel confirmed at every poll of the pre-check and the build: the installation stays as it was.
#include <gtest/gtest.h>
#include "sandbox.h"

namespace {

class CancelAt : public ::testing::TestWithParam<int> {};

TEST_P(CancelAt, EveryPollOfCheckAndBuildLeavesTheInstallation)
{
    Upgrade u = GetParam() == 3 ? ThreeFileUpgrade() : FiftyFileUpgrade();
    Sandbox box(u);
    ScriptedUi clean = ScriptedUi::Yes();
    ASSERT_EQ(1, box.Apply(clean));
    ASSERT_EQ("", box.Upgraded());
    // Every pump of a clean run comes from a poll of the first two passes: the commit has none.
    ASSERT_GT(clean.pumpCount, 2 * (int)u.plan.entries.size());
    for (int n = 1; n <= clean.pumpCount; n++) {
        box.Reset();
        ScriptedUi ui = ScriptedUi::Yes();
        ui.cancelAtPump = n;
        EXPECT_EQ(0, box.Apply(ui)) << "cancel at poll " << n;
        EXPECT_EQ(1, ui.Count("ask")) << "cancel at poll " << n;
        EXPECT_EQ("", box.Unchanged()) << "cancel at poll " << n;
        EXPECT_FALSE(box.ScratchExists()) << "cancel at poll " << n;
        // And a run that nobody cancels applies the whole upgrade without a question (a sample
        // of the polls in sanitized builds).
        if (kSanitized && n % 4 != 0) continue;
        ScriptedUi again = ScriptedUi::No();
        EXPECT_EQ(1, box.Apply(again)) << "rerun after the cancel at poll " << n;
        EXPECT_EQ(0, again.Count("ask")) << "rerun after the cancel at poll " << n;
        EXPECT_EQ("", box.Upgraded()) << "rerun after the cancel at poll " << n;
        if (HasFailure()) return;
    }
}

TEST_P(CancelAt, DeclinedCancelGoesOn)
{
    Upgrade u = GetParam() == 3 ? ThreeFileUpgrade() : FiftyFileUpgrade();
    Sandbox box(u);
    ScriptedUi clean = ScriptedUi::Yes();
    ASSERT_EQ(1, box.Apply(clean));
    for (int n : {1, clean.pumpCount / 2, clean.pumpCount}) {
        box.Reset();
        ScriptedUi ui = ScriptedUi::No();
        ui.cancelAtPump = n;
        EXPECT_EQ(1, box.Apply(ui)) << "declined at poll " << n;
        EXPECT_EQ(1, ui.Count("ask"));
        EXPECT_EQ("", box.Upgraded()) << "declined at poll " << n;
        EXPECT_FALSE(box.ScratchExists());
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, CancelAt, ::testing::Values(3, 50), [](const ::testing::TestParamInfo<int>& p) {
    return p.param == 3 ? "ThreeFiles" : "FiftyFiles";
});

}   // namespace
