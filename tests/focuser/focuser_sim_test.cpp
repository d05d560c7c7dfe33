// End to end: TJFocusControl on the simulated hub and motor, in text mode
// (LX-200 commands) and line mode (RTS/DTR). The motor runs faster than a
// real one so the suite stays quick; the tolerances are what one nudge pulse
// can carry past the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <optional>

#include "focuser/j_focus_control.h"
#include "focuser_test_support.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/sim_devices.h"

namespace kv::test {
namespace {

// One nudge pulse with the settings below moves the motor a count or two; a
// busy machine can stretch a pulse by several milliseconds, hence the margin.
constexpr std::int64_t kTolerance = 8;
// After a coarse run the nudges may have to come back from a late stop.
constexpr std::int64_t kCoarseTolerance = 12;

// Nudging alone never stops short and never reverses: it ends at the target
// or one pulse beyond it. A coarse move ends near the target from either side.
void ExpectEndedAtTarget(std::int64_t start, std::int32_t steps, std::int64_t end, int stopFactor) {
    const std::int64_t target = start + steps;
    if (std::abs(steps) < stopFactor + 2) {
        const std::int64_t beyond = steps >= 0 ? end - target : target - end;
        EXPECT_GE(beyond, 0) << "stopped short at " << end - start;
        EXPECT_LE(beyond, kTolerance) << "ended at " << end - start;
    } else {
        EXPECT_LE(std::llabs(end - target), kCoarseTolerance) << "ended at " << end - start;
    }
}
// In line mode the nudges run at the hub's fast speed: keep it moderate so a
// stretched pulse stays within the margin.
constexpr double kLineModeSpeed = 600.0;

// Nudge settings that suit the simulated hub's motor speeds in either mode.
void ConfigureForSimulatedHub(TJFocusControl& f, bool lineMode) {
    f.SetPortResolver([](int) { return std::string("sim:hub"); });
    f.SetJMIFlag(true);
    f.SetUseRTS_DTR(lineMode);
    // The text-mode motor runs at 1000 counts/s: a stop delayed on a busy
    // machine must still fall short of the target.
    f.SetStopFactor(lineMode ? 10 : 25);
    // Text mode nudges at the slow speed: longer pulses for a count or two each.
    f.SetNudgeTime(lineMode ? 0.005 : 0.025);
    f.SetCloseNudgeTime(lineMode ? 0.004 : 0.025);
    // Long enough for the simulated hub to report a pulse's counts even on
    // a busy machine, before the nudger decides on the next pulse.
    f.SetNudgeSleep(0.06);
    f.SetNudgePriority(ThreadPriority::TimeCritical);
}

// A fresh simulated hub and a focuser for it, both gone after the test.
template <class Base>
class OnSimulatedHub : public Base {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        hub = kvsim::HubFor("hub");
        focuser = std::make_unique<TJFocusControl>(dialogs);
        focuser->SetPortResolver([](int) { return std::string("sim:hub"); });
    }
    void TearDown() override {
        focuser.reset();
        hub.reset();
        kvsim::ResetSimulatedDevices();
    }

    GatedDialogs dialogs;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::unique_ptr<TJFocusControl> focuser;
};

class FocuserOnSimulatedHub : public OnSimulatedHub<::testing::TestWithParam<bool>> {
protected:
    bool LineMode() const { return GetParam(); }

    void SetUp() override {
        OnSimulatedHub::SetUp();
        kvsim::HubParameters p;
        p.fastSpeed = LineMode() ? kLineModeSpeed : 1000.0;
        p.slowSpeed = 50.0;
        p.startLagMs = LineMode() ? 3.0 : 4.0;
        p.coastCounts = LineMode() ? 1.0 : 2.0;
        hub->SetParameters(p);
        ConfigureForSimulatedHub(*focuser, LineMode());
        ASSERT_TRUE(focuser->OpenPort());
    }

    // After the move has ended and the motor stands, the count agrees with
    // what the encoder really turned.
    void ExpectCountMatchesTheMotor(std::int32_t focuserStart, std::int64_t hubStart) {
        ASSERT_TRUE(hub->WaitUntilStopped(kLong));
        ASSERT_TRUE(WaitUntil([&] { return focuser->CTSCount() - focuserStart == hub->EncoderCount() - hubStart; },
                              2s))
            << "focuser " << focuser->CTSCount() - focuserStart << " hub " << hub->EncoderCount() - hubStart;
    }

    std::shared_ptr<NamedEvent> done = OpenNamedEvent(kGeneralDelayEvent);
};

TEST_P(FocuserOnSimulatedHub, EveryMoveEndsAtItsTarget) {
    for (const std::int32_t steps : {0, 1, -1, 5, -5, 10, -10, 40, -40, 200, -200, 2000, -2000}) {
        SCOPED_TRACE("MoveBy " + std::to_string(steps));
        const std::int32_t start = focuser->CTSCount();
        const std::int64_t hubStart = hub->EncoderCount();
        hub->ClearRecord();
        focuser->MoveBy(steps);
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
        ExpectCountMatchesTheMotor(start, hubStart);
        ExpectEndedAtTarget(start, steps, focuser->CTSCount(), focuser->StopFactor());
        if (steps == 0) {
            EXPECT_TRUE(hub->Commands().empty());
            EXPECT_EQ(hub->EncoderCount(), hubStart);
        }
    }
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_TRUE(dialogs.Deferred().empty());
    EXPECT_GT(hub->KeepAlives(), 0u);
}

// A move ends early by a cancel or by a newer move (which the main window
// only starts while Idle, but procedures and callbacks may start at any time).
// Either way the motor stops, Idle turns true, the waiters are released, and
// no thread of the old move sends anything afterwards.
TEST_P(FocuserOnSimulatedHub, EndingAMoveEarlyStopsTheMotorAndEveryThread) {
    const auto expectEndedAndQuiet = [&] {
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        ASSERT_TRUE(WaitUntil([&] { return focuser->GetIdle(); }, 5s)) << "Idle stuck at false";
        ASSERT_TRUE(hub->WaitUntilStopped(5s)) << "the motor runs on";
        std::this_thread::sleep_for(100ms);
        hub->ClearRecord();
        const std::int32_t settled = focuser->CTSCount();
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(hub->Commands().empty());
        for (const auto& entry : hub->Record()) EXPECT_NE(entry.kind, kvsim::HubRecordEntry::Kind::Lines);
        EXPECT_EQ(focuser->CTSCount(), settled);
        EXPECT_TRUE(focuser->GetIdle());
    };
    struct Case {
        const char* what;
        std::int32_t steps, counted;   // the first move, ended once it has counted this far
        std::optional<std::int32_t> then;  // the newer move; none: CancelMovement
        std::int32_t tolerance;            // of the end, from where the first move was ended (+ then)
    };
    for (const Case& c : {Case{"cancel during the coarse run", 3000, 100, std::nullopt, 100},
                          Case{"MoveBy(0) during the coarse run", 2000, 30, 0, 100},
                          Case{"a short move during the coarse run", -2000, 30, 3, 100},
                          Case{"cancel while nudging", 12, 2, std::nullopt, 12},
                          Case{"a new move while nudging", -12, 2, 2, 12}}) {
        SCOPED_TRACE(c.what);
        focuser->SetNudgeSleep(std::abs(c.steps) < 100 ? 0.2 : 0.06);
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(c.steps);
        EXPECT_TRUE(WaitUntil([&] { return std::abs(focuser->CTSCount() - start) >= c.counted; }));
        const std::int32_t at = focuser->CTSCount();
        if (c.then) {
            focuser->MoveBy(*c.then);
        } else {
            focuser->CancelMovement();
            EXPECT_TRUE(focuser->GetIdle());
        }
        expectEndedAndQuiet();
        EXPECT_LT(std::abs(focuser->CTSCount() - (at + c.then.value_or(0))), c.tolerance);
    }
    {
        SCOPED_TRACE("a new move from a callback on the old move's thread");
        std::atomic<bool> fired{false};
        focuser->SetOnIdleChange([&](TFocusControl& f, bool idle) {
            if (!idle && !fired.exchange(true)) f.MoveBy(-5);
        });
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(500);
        ASSERT_TRUE(WaitUntil([&] { return fired.load(); }));
        expectEndedAndQuiet();
        EXPECT_LT(std::abs(focuser->CTSCount() - (start - 5)), 60);
        focuser->SetOnIdleChange({});
    }
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_TRUE(dialogs.Deferred().empty());
}

// Nudge pulses last NudgeTime while more than two counts away and
// CloseNudgeTime closer in; the pause after a close pulse is stretched by
// NudgeTime / CloseNudgeTime. Medians, so one late wake-up does not decide.
TEST_P(FocuserOnSimulatedHub, NudgePulsesAndPausesFollowTheTimingSettings) {
    kvsim::HubParameters p;
    p.fastSpeed = p.slowSpeed = 20.0;  // a pulse moves well under one count
    hub->SetParameters(p);
    focuser->SetStopFactor(10);
    focuser->SetNudgeTime(0.020);
    focuser->SetCloseNudgeTime(0.005);
    focuser->SetNudgeSleep(0.025);  // 100 ms after a close pulse
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    // The median pulse and pause of the first five pulses of MoveBy(steps), on the hub's time.
    const auto pulses = [&](std::int32_t steps) {
        hub->ClearRecord();
        focuser->MoveBy(steps);
        std::vector<double> lengths, pauses;
        EXPECT_TRUE(WaitUntil([&] {
            lengths.clear();
            pauses.clear();
            double on = -1.0, off = -1.0;
            for (const auto& e : hub->Record()) {
                const bool lines = e.kind == kvsim::HubRecordEntry::Kind::Lines;
                if (lines != LineMode()) continue;
                const bool start = lines ? e.rts : e.bytes == kFocusIn || e.bytes == kFocusOut;
                const bool stop = lines ? !e.rts : e.bytes == kFocusStop;
                if (start && on < 0) {
                    if (off >= 0) pauses.push_back(e.ms - off);
                    on = e.ms;
                } else if (stop && on >= 0) {
                    lengths.push_back(e.ms - on);
                    on = -1.0;
                    off = e.ms;
                }
            }
            return lengths.size() >= 5;
        }));
        focuser->CancelMovement();
        EXPECT_EQ(done->Wait(kLong), WaitResult::Signalled);
        lengths.resize(std::min<std::size_t>(lengths.size(), 5));
        pauses.resize(std::min<std::size_t>(pauses.size(), 4));
        return std::pair{median(lengths), median(pauses)};
    };
    constexpr double kLate = 12.0;  // a wake-up on a busy machine
    const auto [farPulse, farPause] = pulses(8);  // nudging only, never within two counts
    EXPECT_GE(farPulse, 20.0 - 0.5);
    EXPECT_LT(farPulse, 20.0 + kLate);
    EXPECT_GE(farPause, 25.0 - 0.5);
    EXPECT_LT(farPause, 100.0 - 0.5);
    const auto [closePulse, closePause] = pulses(1);
    EXPECT_GE(closePulse, 5.0 - 0.5);
    EXPECT_LT(closePulse, 5.0 + kLate);
    EXPECT_GE(closePause, 100.0 - 0.5);
}

TEST_P(FocuserOnSimulatedHub, ReadOutInterlockStopsTheMotorAndTheMoveResumes) {
    const std::int32_t start = focuser->CTSCount();
    const std::int64_t hubStart = hub->EncoderCount();
    focuser->MoveBy(1500);
    ASSERT_TRUE(WaitUntil([&] { return focuser->CTSCount() >= start + 200; }));
    focuser->SetInterruptsOff(true);
    ASSERT_TRUE(hub->WaitUntilStopped(2s));
    const std::int32_t held = focuser->CTSCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(std::abs(focuser->CTSCount() - held), 2);
    EXPECT_FALSE(focuser->GetIdle());
    focuser->SetInterruptsOff(false);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    ExpectCountMatchesTheMotor(start, hubStart);
    ExpectEndedAtTarget(start, 1500, focuser->CTSCount(), focuser->StopFactor());
}

// ReverseDir compensates for a focuser wired the other way round. Set
// against the wiring, every command turns the motor away from the target:
// the move is stopped and the user told, instead of running to the end stop.
TEST_P(FocuserOnSimulatedHub, ReverseDirMatchingTheWiringReachesTheTargetAndAMismatchStops) {
    kvsim::HubParameters p = hub->Parameters();
    p.reversed = true;
    hub->SetParameters(p);
    focuser->SetReverseDir(true);
    for (const std::int32_t steps : {200, -40, 5}) {
        SCOPED_TRACE("MoveBy " + std::to_string(steps));
        const std::int32_t start = focuser->CTSCount();
        const std::int64_t hubStart = hub->EncoderCount();
        focuser->MoveBy(steps);
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        ExpectCountMatchesTheMotor(start, hubStart);
        ExpectEndedAtTarget(start, steps, focuser->CTSCount(), focuser->StopFactor());
    }
    EXPECT_TRUE(dialogs.Deferred().empty());

    focuser->SetReverseDir(false);
    for (const std::int32_t steps : {300, -8}) {
        SCOPED_TRACE("mismatched MoveBy " + std::to_string(steps));
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(steps);
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
        ASSERT_TRUE(hub->WaitUntilStopped(5s));
        EXPECT_LT(std::abs(focuser->CTSCount() - start), kWrongWayCounts + focuser->StopFactor() + 60);
    }
    EXPECT_EQ(dialogs.Deferred(), (std::vector<std::string>(2, kWrongWayText)));
}

// The counting thread tells the user without waiting for an answer: the GUI
// thread may be closing the port, which joins that thread, at that moment.
TEST_P(FocuserOnSimulatedHub, DeviceThatDisappearsMidMoveEndsTheMoveAndTellsTheUserLater) {
    dialogs.SetOpen(false);  // a message box shown now would wait for the user
    const std::int32_t start = focuser->CTSCount();
    focuser->MoveBy(3000);
    ASSERT_TRUE(WaitUntil([&] { return focuser->CTSCount() >= start + 50; }));
    hub->SetVanished(true);
    ASSERT_TRUE(WaitUntil([&] { return dialogs.Showing() || !dialogs.Deferred().empty(); }));
    auto closing = std::async(std::launch::async, [&] { focuser->ClosePort(); });
    const bool closed = closing.wait_for(10s) == std::future_status::ready;
    dialogs.SetOpen(true);
    closing.wait();
    ASSERT_TRUE(closed) << "ClosePort deadlocked on the counting thread's message";
    EXPECT_TRUE(dialogs.Texts().empty());
    ASSERT_EQ(dialogs.Deferred().size(), 1u);
    EXPECT_NE(dialogs.Deferred().front().find("sim:hub"), std::string::npos) << dialogs.Deferred().front();
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_FALSE(focuser->PortOpen());
    // Reopening fails while it is gone, and works once it is back.
    EXPECT_FALSE(focuser->OpenPort());
    hub->SetVanished(false);
    EXPECT_TRUE(focuser->OpenPort());
}

INSTANTIATE_TEST_SUITE_P(Modes, FocuserOnSimulatedHub, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                             return std::string(mode.param ? "LineMode" : "TextMode");
                         });

// ---------------------------------------------------------------- the hub's temperature unit

using HubQueriesOnSimulatedHub = OnSimulatedHub<::testing::Test>;

TEST_F(HubQueriesOnSimulatedHub, AnsweringHubGivesFirmwareOffsetAndTemperature) {
    ASSERT_TRUE(focuser->OpenPort());
    EXPECT_EQ(focuser->GetTCFirmwareVersion(), "10.2.03");
    EXPECT_TRUE(focuser->GetTCAvail());
    EXPECT_EQ(focuser->SetTCCal(240), HubResult::Ok);
    EXPECT_EQ(hub->Offset(), 240);
    EXPECT_EQ(focuser->GetTCCal(), 240);
    const double expected = kvsim::Observatory::Instance().TemperatureC() + 5.0;
    EXPECT_NEAR(focuser->GetTemperature(), expected, 0.2);
    EXPECT_NEAR(focuser->TCAvg(), expected, 0.2);
}

}  // namespace
}  // namespace kv::test
