// Pulse counting and the movement threads against a scripted device: edge
// counting rules, the coarse-run stop point, the frame interlock, the long
// time-outs (on a fast clock) and threads ending with the object.
#include <gtest/gtest.h>

#include "focuser/j_focus_control.h"
#include "focuser_test_support.h"

namespace kv::test {
namespace {

TEST(CtsCounting, RisingEdgesCountByDsrAndFallingEdgesOnlyInDualSense) {
    using Seen = std::vector<std::pair<std::int32_t, bool>>;  // count and DSR, per reported edge
    ScriptedFocuser s;
    std::mutex mutex;
    Seen seen;
    s.focuser.SetOnCTSChange([&](TFocusControl&, std::int32_t count, bool dsr) {
        std::lock_guard lock(mutex);
        seen.emplace_back(count, dsr);
    });
    ASSERT_TRUE(s.Open());
    // Plays CTS edges as (cts, dsr) and returns what was reported for them.
    const auto play = [&](const std::vector<std::pair<bool, bool>>& edges) {
        std::unique_lock lock(mutex);
        seen.clear();
        lock.unlock();
        for (const auto& [cts, dsr] : edges) s.Device().Edge(cts, dsr);
        EXPECT_TRUE(Eventually([&] {
            std::lock_guard guard(mutex);
            return seen.size() >= edges.size();
        }));
        lock.lock();
        return seen;
    };
    // A rise counts up with DSR low and down with it high; a fall is only reported.
    EXPECT_EQ(play({{true, false}, {false, false}, {true, true}, {false, true}}),
              (Seen{{1, false}, {1, false}, {0, true}, {0, true}}));
    // Quadrature counts falls too: "in" rises with DSR low and falls with it high; then "out".
    s.focuser.SetDualSense(true);
    EXPECT_EQ(play({{true, false}, {false, true}, {true, false}, {false, true}, {true, true}, {false, false}}),
              (Seen{{1, false}, {2, false}, {3, false}, {4, false}, {3, true}, {2, true}}));
    EXPECT_EQ(s.focuser.CTSCount(), 2);
    s.focuser.ResetPosition();
    EXPECT_EQ(s.focuser.CTSCount(), 0);
}

TEST(CoarseRun, StopsStopFactorCountsShortOfTheTargetThenNudgesToIt) {
    ScriptedFocuser s;
    s.script->msPerCount = 3;
    s.focuser.SetJMIFlag(true);
    s.focuser.SetUseRTS_DTR(true);
    s.focuser.SetStopFactor(10);
    s.focuser.SetNudgeTime(0.004);
    s.focuser.SetCloseNudgeTime(0.004);
    s.focuser.SetNudgeSleep(0.01);
    ASSERT_TRUE(s.Open());
    auto done = OpenNamedEvent(kGeneralDelayEvent);

    s.focuser.MoveBy(60);
    EXPECT_FALSE(s.focuser.GetIdle()) << "busy from the moment the move is started";
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(s.focuser.GetIdle());
    std::lock_guard lock(s.script->mutex);
    ASSERT_FALSE(s.script->stopCounts.empty());
    // The watcher polls every millisecond; the motor turns one count per 3 ms.
    EXPECT_GE(s.script->stopCounts.front(), 50);
    EXPECT_LE(s.script->stopCounts.front(), 51);
    // Nudging never stops short and passes the target by at most one pulse.
    EXPECT_GE(s.focuser.CTSCount(), 60);
    EXPECT_LE(s.focuser.CTSCount(), 63);
    EXPECT_EQ(s.focuser.CTSCount(), s.script->motorCount);
    EXPECT_EQ(s.script->events.back(), "DTR0") << "the end of the move leaves both lines low";
}

// Counts played by hand: the stop goes out on the very count StopFactor short
// of the target, not one before or after, in either direction.
TEST(CoarseRun, StopsOnTheCountStopFactorShortOfTheTarget) {
    ScriptedFocuser s;
    s.focuser.SetStopFactor(10);
    ASSERT_TRUE(s.Open());
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    for (const int sign : {1, -1}) {
        SCOPED_TRACE(sign);
        s.focuser.ResetPosition();
        s.focuser.MoveBy(sign * 30);
        ASSERT_TRUE(Eventually([&] { return !s.script->Events().empty(); }));  // the motor started
        s.script->Clear();
        const auto play = [&](int counts) {
            for (int i = 0; i < counts; ++i) {
                s.Device().Edge(true, sign < 0);
                s.Device().Edge(false, sign < 0);
            }
        };
        play(19);
        ASSERT_TRUE(Eventually([&] { return s.focuser.CTSCount() == sign * 19; }));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(std::ranges::count(s.script->Events(), "W::FQ#"), 0);
        play(1);
        EXPECT_TRUE(Eventually([&] { return std::ranges::count(s.script->Events(), "W::FQ#") > 0; }));
        s.focuser.CancelMovement();
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    }
}

// No focus frame ends and no counts arrive: the coarse-run starter gives up
// waiting for the frame and starts the motor; the time spent waiting for the
// frame is no stall, but a motor that then turns no count is stopped within
// the stall limit, long before the nudger's own two-minute wait, and the move
// ends. Both messages are told without waiting for an answer.
TEST(CoarseRun, AFrameWaitThatTimesOutIsToldAndAMotorThatNeverCountsIsStopped) {
    ScaledClock clock(2000);  // two minutes pass in 60 ms
    ScriptedFocuser s(clock);
    s.focuser.SetJMIFlag(true);
    s.focuser.SetSBIGInterlock(true);
    s.focuser.SetCameraControl([] { return false; });  // a focus frame is always being taken
    s.focuser.SetNudgeSleep(0.01);
    ASSERT_TRUE(s.Open());
    OpenNamedEvent(kFocuserWaitEvent)->Reset();
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    const std::uint64_t halts = s.focuser.HaltCount();
    s.focuser.MoveBy(300);
    EXPECT_EQ(done->Wait(kLong), WaitResult::Signalled);
    ASSERT_TRUE(Eventually([&] { return s.dialogs.Deferred().size() == 2; }));
    EXPECT_EQ(s.dialogs.Deferred().front(), "Time out during focuser movement");
    EXPECT_NE(s.dialogs.Deferred().back().find("stayed at position 0"), std::string::npos);
    EXPECT_TRUE(s.dialogs.Texts().empty());
    EXPECT_GE(std::ranges::count(s.script->Events(), "W::F-#"), 1) << "the coarse run was started";
    EXPECT_TRUE(s.focuser.GetIdle());
    EXPECT_GT(s.focuser.HaltCount(), halts);
}

TEST(Interlock, CloseNudgesWaitForTheFocusFrameAndAnEndedFrameShowsNothing) {
    // Pulses are timed on the clock too: slow enough that one still turns the motor.
    ScaledClock clock(20);
    ScriptedFocuser s(clock);
    s.script->msPerCount = 2;
    s.focuser.SetUseRTS_DTR(true);
    s.focuser.SetSBIGInterlock(true);
    s.focuser.SetCloseNudgeTime(0.1);
    s.focuser.SetNudgeTime(2.0);  // would run the motor some fifty counts
    s.focuser.SetNudgeSleep(0.2);
    s.focuser.SetCameraControl([] { return false; });
    ASSERT_TRUE(s.Open());
    auto frameEnded = OpenNamedEvent(kFocuserWaitEvent);
    auto done = OpenNamedEvent(kGeneralDelayEvent);

    frameEnded->Reset();
    s.focuser.MoveBy(2);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.dialogs.Deferred(), Strings{"Time out during interlocked nudging"});
    EXPECT_LE(s.focuser.CTSCount(), 20) << "two counts away the pulse is the close one";

    frameEnded->Set();
    s.focuser.MoveBy(2);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.dialogs.Deferred().size(), 1u);
}

TEST(Lifecycle, DestroyingAFocuserMidMoveEndsEveryThreadAndReleasesWaiters) {
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    auto s = std::make_unique<ScriptedFocuser>();
    s->focuser.SetJMIFlag(true);
    s->focuser.SetQuorvelEnable(true);
    ASSERT_TRUE(s->Open());
    s->focuser.MoveBy(-400);
    std::this_thread::sleep_for(50ms);
    s.reset();  // must return: every thread stopped and joined
    EXPECT_EQ(done->Wait(0ms), WaitResult::Signalled) << "a waiter for the move is released";
}

}  // namespace
}  // namespace kv::test
