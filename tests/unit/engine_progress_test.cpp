// Progress percentage, the pause's deadline and budget, and the cancel request and confirmation.
#include <gtest/gtest.h>
#include <vector>
#include "engine_fixture.h"
#include "progress.h"
#include "uitext.h"

namespace {

// A job over an empty package, with the scripted interface.
struct PollFixture {
    TempDir dir;
    ScriptedUi ui;
    TestJob* t;
    PollFixture()
    {
        PackageWriter w;
        w.WriteTo(dir / "p.upg");
        t = new TestJob(dir / "p.upg", dir.path(), &ui);
        ui.OpenProgress(nullptr, nullptr, &t->host.progress);
    }
    ~PollFixture() { delete t; }
    UpgradeJob* job() { return t->job; }
    ApplySession* host() { return &t->host; }
    ProgressState& state() { return t->host.progress; }
};

TEST(ProgressPercent, Rules)
{
    EXPECT_EQ(ProgressPercent(1, 1001), 1);
    EXPECT_EQ(ProgressPercent(1001, 1001), 92);   // divisor 11
    EXPECT_EQ(ProgressPercent(1, 100001), 1);
    EXPECT_EQ(ProgressPercent(100001, 100001), 100);
    EXPECT_EQ(ProgressPercent(1, 50), 2);   // below 100 the divisor is 1
    EXPECT_EQ(ProgressPercent(50, 50), 51);
    EXPECT_EQ(ProgressPercent(5000, 50), 100);   // capped
    EXPECT_EQ(ProgressPercent(0xFFFFFFFFu, 0xFFFFFFFFu), 100);
}

TEST(UpdateProgress, RedrawsOnlyOnChangeAndRunsOneToNinetyTwo)
{
    PollFixture f;
    f.ui.tickStep = 60;
    f.job()->progressTotal = 1001;
    for (uint32_t done = 1; done <= 1001; done++) {
        f.host()->progressDone = done;
        UpdateProgress(f.host());
    }
    ASSERT_EQ(f.ui.bars.size(), 92u);
    for (size_t i = 0; i < f.ui.bars.size(); i++) EXPECT_EQ(f.ui.bars[i], (int)i + 1);
    EXPECT_EQ(f.state().lastPercent, 92);
    // Every redraw is followed by one pause, here one poll long.
    EXPECT_EQ(f.ui.pumpCount, 92);
}

TEST(UpdateProgress, FirstUpdateShowsOneOrTwo)
{
    PollFixture f;
    f.ui.tickStep = 1000;
    f.job()->progressTotal = 100001;
    f.host()->progressDone = 1;
    UpdateProgress(f.host());
    f.host()->progressDone = 100001;
    UpdateProgress(f.host());
    EXPECT_EQ(f.ui.bars, (std::vector<int>{1, 100}));

    f.state().Reset();
    f.job()->progressTotal = 40;
    f.host()->progressDone = 1;
    UpdateProgress(f.host());
    EXPECT_EQ(f.ui.bars.back(), 2);
}

TEST(PumpPause, DeadlineBudgetWrapAndCancel)
{
    {
        PollFixture f;
        f.ui.tickStep = 10;
        PumpPause(f.host(), 100);
        EXPECT_EQ(f.ui.pumpCount, 9);   // ticks 10..90 below the deadline
        ASSERT_EQ(f.ui.waits.size(), 9u);
        EXPECT_EQ(f.ui.waits[0], 90u);   // each wait runs to the deadline
    }
    {
        PollFixture f;
        f.ui.sleeps = 1;   // a wait that sleeps: the clock ends the pause, not polls
        PumpPause(f.host(), 100);
        EXPECT_EQ(f.ui.pumpCount, 1);
        EXPECT_EQ(f.ui.waits, std::vector<uint32_t>{100u});
    }
    {
        PollFixture f;
        f.ui.logPumps = 0;
        f.ui.tickStep = 0;   // a clock that stands still: the budget ends it
        PumpPause(f.host(), 100);
        EXPECT_EQ(f.ui.pumpCount, 49998);
    }
    {
        PollFixture f;
        f.ui.now = 0xFFFFFFF0u;   // the deadline wraps past zero: no wait at all
        f.ui.tickStep = 1;
        PumpPause(f.host(), 100);
        EXPECT_EQ(f.ui.pumpCount, 0);
    }
    {
        PollFixture f;
        f.ui.tickStep = 0;
        f.ui.cancelAtPump = 3;
        f.ui.answers = {1};
        PumpPause(f.host(), 100);
        EXPECT_EQ(f.ui.pumpCount, 3);
        EXPECT_EQ(f.state().cancelConfirmed, 1);
    }
    {
        PollFixture f;
        f.ui.pause = 0;   // a terminal does not wait
        f.ui.tickStep = 10;
        PumpPause(f.host(), 100);
        EXPECT_EQ(f.ui.pumpCount, 0);
    }
}

TEST(PollCancel, RequestConfirmationAndTheStickyState)
{
    PollFixture f;
    EXPECT_EQ(PollCancel(f.host()), 0);
    EXPECT_TRUE(f.ui.questions.empty());

    f.ui.cancelAtPump = 2;
    f.ui.answers = {0};
    EXPECT_EQ(PollCancel(f.host()), 0);   // No: the request is dropped
    ASSERT_EQ(f.ui.questions.size(), 1u);
    EXPECT_EQ(f.ui.questions[0],
              "Upgrade\nDo you really want to cancel the upgrade? Your installation will stay as it was.");
    EXPECT_EQ(f.state().cancelRequested, 0);
    EXPECT_EQ(PollCancel(f.host()), 0);
    EXPECT_EQ(f.ui.questions.size(), 1u);

    f.ui.cancelAtPump = 4;
    f.ui.answers = {1};
    EXPECT_EQ(PollCancel(f.host()), 1);   // Yes: cancelled from now on
    EXPECT_EQ(f.state().cancelConfirmed, 1);
    int pumps = f.ui.pumpCount;
    f.ui.cancelEveryPump = 1;
    EXPECT_EQ(PollCancel(f.host()), 1);
    EXPECT_EQ(PollCancel(f.host()), 1);
    EXPECT_EQ(f.ui.pumpCount, pumps);   // no pumping, no further question
    EXPECT_EQ(f.ui.questions.size(), 2u);

    // A new view starts clean; a forced cancel needs no question.
    f.state().Reset();
    f.ui.cancelEveryPump = 0;
    EXPECT_EQ(PollCancel(f.host()), 0);
    f.state().MarkCancelled();
    EXPECT_EQ(PollCancel(f.host()), 1);
    EXPECT_EQ(f.ui.questions.size(), 2u);
}

TEST(ApplySession, TeardownReenablesTheOwnerAndClosesTheView)
{
    TempDir dir;
    PackageWriter w;
    w.WriteTo(dir / "p.upg");
    ScriptedUi ui;
    UpgradeJob job((dir / "p.upg").c_str(), dir.path().c_str());
    {
        ApplySession host(&job, &ui, nullptr, (void*)0x99);
        host.wording.reset(new UiTextTable(DefaultWordingPath().c_str()));
        host.view = ui.view;
        ui.ownerEnabled = 0;
    }
    EXPECT_EQ(ui.events, (std::vector<std::string>{"enable", "close"}));
    EXPECT_EQ(ui.ownerEnabled, 1);
}

}   // namespace
