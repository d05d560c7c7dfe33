// Pulse counting and the movement threads against a scripted device: edge
// counting rules, the coarse-run stop point, the interlocks, the long
// time-outs (on a fast clock) and threads ending with the object. Cancel and
// the read-out pause are driven against the simulated hub instead.
#include <gtest/gtest.h>

#include "focuser/j_focus_control.h"
#include "focuser_test_support.h"

namespace kv::test {
namespace {

using Strings = std::vector<std::string>;

struct CountSeen {
    std::int32_t count;
    bool dsr;
    bool operator==(const CountSeen&) const = default;
};

std::int64_t Occurrences(const Strings& events, const std::string& what) {
    return std::count(events.begin(), events.end(), what);
}

TEST(CtsCounting, RisingEdgesCountByDsrAndFallingEdgesOnlyInDualSense) {
    ScriptedFocuser s;
    std::mutex mutex;
    std::vector<CountSeen> seen;
    s.focuser.SetOnCTSChange([&](TFocusControl&, std::int32_t count, bool dsr) {
        std::lock_guard lock(mutex);
        seen.push_back({count, dsr});
    });
    ASSERT_TRUE(s.Open());
    const auto seenNow = [&](bool clear = false) {
        std::lock_guard lock(mutex);
        auto out = seen;
        if (clear) seen.clear();
        return out;
    };
    seenNow(true);  // the reset on open
    s.Device().Edge(true, false);   // +1
    s.Device().Edge(false, false);  // not counted, still reported
    s.Device().Edge(true, true);    // -1, direction now "out"
    s.Device().Edge(false, true);
    ASSERT_TRUE(WaitUntil([&] { return seenNow().size() == 4; }));
    EXPECT_EQ(seenNow(), (std::vector<CountSeen>{{1, false}, {1, false}, {0, true}, {0, true}}));

    s.focuser.SetDualSense(true);
    seenNow(true);
    // Quadrature "in": rise with DSR low, fall with DSR high; then "out".
    s.Device().Edge(true, false);
    s.Device().Edge(false, true);
    s.Device().Edge(true, false);
    s.Device().Edge(false, true);
    s.Device().Edge(true, true);
    s.Device().Edge(false, false);
    ASSERT_TRUE(WaitUntil([&] { return seenNow().size() == 6; }));
    EXPECT_EQ(seenNow(),
              (std::vector<CountSeen>{{1, false}, {2, false}, {3, false}, {4, false}, {3, true}, {2, true}}));
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

// No focus frame ends and no counts arrive: the coarse-run starter gives up
// waiting for the frame and starts the motor, the nudger gives up waiting for
// the coarse run and nudges on. Both tell the user without waiting for an
// answer; the move ends only by a cancel.
TEST(CoarseRun, WaitsThatTimeOutAreToldLaterAndTheMoveGoesOnUntilCancelled) {
    ScaledClock clock(2000);  // two minutes pass in 60 ms
    ScriptedFocuser s(clock);
    s.focuser.SetJMIFlag(true);
    s.focuser.SetSBIGInterlock(true);
    s.focuser.SetCameraControl([] { return false; });  // a focus frame is always being taken
    s.focuser.SetNudgeSleep(0.01);
    ASSERT_TRUE(s.Open());
    OpenNamedEvent(kFocuserWaitEvent)->Reset();
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    s.focuser.MoveBy(300);
    ASSERT_TRUE(WaitUntil([&] { return s.dialogs.Deferred().size() == 2; }));
    EXPECT_EQ(s.dialogs.Deferred(), (Strings{"Time out during focuser movement", "Time out during nudging"}));
    EXPECT_TRUE(s.dialogs.Texts().empty());
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(s.script->Traffic(), "W::FS#") == 1; }));
    EXPECT_GE(Occurrences(s.script->Traffic(), "W::F-#"), 1) << "the coarse run was started";
    EXPECT_EQ(done->Wait(50ms), WaitResult::TimedOut) << "still nudging towards a target it cannot reach";
    s.focuser.CancelMovement();
    EXPECT_EQ(done->Wait(kLong), WaitResult::Signalled);
}

TEST(Interlock, CloseNudgesWaitForTheFocusFrameAndAnEndedFrameShowsNothing) {
    // Pulses are timed on the clock too: slow enough that one still turns the motor.
    ScaledClock clock(20);
    ScriptedFocuser s(clock);
    s.script->msPerCount = 2;
    s.focuser.SetUseRTS_DTR(true);
    s.focuser.SetSBIGInterlock(true);
    s.focuser.SetCloseNudgeTime(0.1);
    s.focuser.SetNudgeSleep(0.2);
    s.focuser.SetCameraControl([] { return false; });
    ASSERT_TRUE(s.Open());
    auto frameEnded = OpenNamedEvent(kFocuserWaitEvent);
    auto done = OpenNamedEvent(kGeneralDelayEvent);

    frameEnded->Reset();
    s.focuser.MoveBy(2);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.dialogs.Deferred(), Strings{"Time out during interlocked nudging"});

    frameEnded->Set();
    s.focuser.MoveBy(2);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.dialogs.Deferred().size(), 1u);
}

TEST(Interlock, MoveCancelledWhileReadOutHoldsItNeverStartsTheMotor) {
    ScriptedFocuser s;
    s.focuser.SetJMIFlag(true);
    ASSERT_TRUE(s.Open());
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    s.focuser.SetInterruptsOff(true);
    EXPECT_TRUE(s.focuser.Paused());
    s.focuser.MoveBy(200);
    std::this_thread::sleep_for(100ms);
    s.focuser.CancelMovement();
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    s.focuser.SetInterruptsOff(false);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Occurrences(s.script->Traffic(), "W::F-#"), 0);
}

TEST(Lifecycle, DestroyingAFocuserMidMoveEndsEveryThreadAndReleasesWaiters) {
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    RecordingDialogs* dialogs = nullptr;
    {
        auto s = std::make_unique<ScriptedFocuser>();
        dialogs = &s->dialogs;
        s->focuser.SetJMIFlag(true);
        s->focuser.SetQuorvelEnable(true);
        ASSERT_TRUE(s->Open());
        s->focuser.MoveBy(-400);
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(dialogs->Texts().empty());
        s.reset();  // must return: every thread stopped and joined
    }
    EXPECT_EQ(done->Wait(0ms), WaitResult::Signalled) << "a waiter for the move is released";
}

}  // namespace
}  // namespace kv::test
