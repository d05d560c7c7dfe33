// End to end: TJFocusControl on the simulated hub and motor, in text mode
// (LX-200 commands) and line mode (RTS/DTR). The motor runs faster than a real
// one so the suite stays quick.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "focuser/j_focus_control.h"
#include "focuser_test_support.h"
#include "sim/hub_simulator.h"
#include "sim/sim_devices.h"

namespace kv::test {
namespace {

// A fresh simulated hub and a focuser for it, both gone after the test;
// the parameter is line mode.
class FocuserOnSimulatedHub : public ::testing::TestWithParam<bool> {
protected:
    bool LineMode() const { return GetParam(); }

    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        hub = kvsim::HubFor("hub");
        // In line mode the nudges run at the fast speed: moderate, so a pulse
        // stretched on a busy machine stays within the margin.
        hub->SetParameters({.fastSpeed = LineMode() ? 600.0 : 1000.0, .slowSpeed = 50.0,
                            .startLagMs = LineMode() ? 3.0 : 4.0, .coastCounts = LineMode() ? 1.0 : 2.0});
        focuser = std::make_unique<TJFocusControl>(dialogs);
        focuser->SetPortResolver([](int) { return std::string("sim:hub"); });
        focuser->SetJMIFlag(true);
        focuser->SetUseRTS_DTR(LineMode());
        // At 1000 counts/s a stop delayed on a busy machine must still fall short.
        focuser->SetStopFactor(LineMode() ? 10 : 25);
        // Text mode nudges at the slow speed: longer pulses for a count or two each.
        focuser->SetNudgeTime(LineMode() ? 0.005 : 0.025);
        focuser->SetCloseNudgeTime(LineMode() ? 0.004 : 0.025);
        // Long enough for the hub to report a pulse's counts before the next is decided.
        focuser->SetNudgeSleep(0.06);
        focuser->SetNudgePriority(ThreadPriority::TimeCritical);
        ASSERT_TRUE(focuser->OpenPort());
    }
    void TearDown() override {
        focuser.reset();
        kvsim::ResetSimulatedDevices();
    }

    // The move ends, and once the motor stands the count agrees with what the
    // encoder turned. Nudging alone never stops short and never reverses: it
    // ends at the target or one (possibly stretched) pulse beyond. A coarse
    // move ends near the target from either side.
    void ExpectEndedAtTarget(std::int32_t start, std::int64_t hubStart, std::int32_t steps) {
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
        ASSERT_TRUE(hub->WaitUntilStopped(kLong));
        ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() - start == hub->EncoderCount() - hubStart; }, 2s))
            << "focuser " << focuser->CTSCount() - start << " hub " << hub->EncoderCount() - hubStart;
        const std::int32_t end = focuser->CTSCount(), target = start + steps;
        if (std::abs(steps) < focuser->StopFactor() + 2) {
            const std::int32_t beyond = steps >= 0 ? end - target : target - end;
            EXPECT_GE(beyond, 0) << "stopped short at " << end - start;
            EXPECT_LE(beyond, 8) << "ended at " << end - start;
        } else {
            EXPECT_LE(std::abs(end - target), 12) << "ended at " << end - start;
        }
    }

    RecordingDialogs dialogs;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::unique_ptr<TJFocusControl> focuser;
    std::shared_ptr<NamedEvent> done = OpenNamedEvent(kGeneralDelayEvent);
};

// A move ends early by a cancel or by a newer move (which the main window
// only starts while Idle, but procedures and callbacks may start at any time).
// Either way the motor stops, Idle turns true, the waiters are released, and
// no thread of the old move sends anything afterwards.
TEST_P(FocuserOnSimulatedHub, EndingAMoveEarlyStopsTheMotorAndEveryThread) {
    const auto expectEndedAndQuiet = [&] {
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        ASSERT_TRUE(Eventually([&] { return focuser->GetIdle(); }, 5s)) << "Idle stuck at false";
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
    };
    for (const Case& c : {Case{"cancel during the coarse run", 3000, 100, std::nullopt},
                          Case{"MoveBy(0) during the coarse run", 2000, 30, 0},
                          Case{"a short move during the coarse run", -2000, 30, 3},
                          Case{"cancel while nudging", 12, 2, std::nullopt},
                          Case{"a new move while nudging", -12, 2, 2}}) {
        SCOPED_TRACE(c.what);
        const bool nudging = std::abs(c.steps) < 100;
        focuser->SetNudgeSleep(nudging ? 0.2 : 0.06);
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(c.steps);
        EXPECT_TRUE(Eventually([&] { return std::abs(focuser->CTSCount() - start) >= c.counted; }));
        const std::int32_t at = focuser->CTSCount();
        if (c.then) {
            focuser->MoveBy(*c.then);
        } else {
            focuser->CancelMovement();
            EXPECT_TRUE(focuser->GetIdle());
        }
        expectEndedAndQuiet();
        // From where the first move was ended (plus the newer move).
        EXPECT_LT(std::abs(focuser->CTSCount() - (at + c.then.value_or(0))), nudging ? 12 : 100);
    }
    {
        SCOPED_TRACE("a new move from a callback on the old move's thread");
        std::atomic<bool> fired{false};
        focuser->SetOnIdleChange([&](TFocusControl& f, bool idle) {
            if (!idle && !fired.exchange(true)) f.MoveBy(-5);
        });
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(500);
        ASSERT_TRUE(Eventually([&] { return fired.load(); }));
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
    hub->SetParameters({.fastSpeed = 20.0, .slowSpeed = 20.0});  // a pulse moves well under one count
    focuser->SetStopFactor(10);
    focuser->SetNudgeTime(0.020);
    focuser->SetCloseNudgeTime(0.005);
    focuser->SetNudgeSleep(0.025);  // 100 ms after a close pulse
    const auto median = [](std::vector<double> v, std::size_t first) {
        v.resize(std::min(v.size(), first));
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    // The median pulse and pause of the first five pulses of MoveBy(steps), on the hub's time.
    const auto pulses = [&](std::int32_t steps) {
        hub->ClearRecord();
        focuser->MoveBy(steps);
        std::vector<double> lengths, pauses;
        EXPECT_TRUE(Eventually([&] {
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
        return std::pair{median(lengths, 5), median(pauses, 4)};
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

// The read-out pause stops a running motor until it lifts; a move cancelled
// while the pause holds it never starts the motor at all.
TEST_P(FocuserOnSimulatedHub, ReadOutInterlockStopsTheMotorAndTheMoveResumes) {
    const std::int32_t start = focuser->CTSCount();
    const std::int64_t hubStart = hub->EncoderCount();
    focuser->MoveBy(1500);
    ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() >= start + 200; }));
    focuser->SetInterruptsOff(true);
    ASSERT_TRUE(hub->WaitUntilStopped(2s));
    const std::int32_t held = focuser->CTSCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(std::abs(focuser->CTSCount() - held), 2);
    EXPECT_FALSE(focuser->GetIdle());
    focuser->SetInterruptsOff(false);
    ExpectEndedAtTarget(start, hubStart, 1500);

    focuser->SetInterruptsOff(true);
    hub->ClearRecord();
    focuser->MoveBy(200);
    std::this_thread::sleep_for(100ms);
    focuser->CancelMovement();
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    focuser->SetInterruptsOff(false);
    std::this_thread::sleep_for(200ms);
    for (const auto& e : hub->Record()) EXPECT_FALSE(e.rts || e.bytes == kFocusIn || e.bytes == kFocusOut);
}

// Moves end at their target, with the count agreeing with the encoder, as
// long as ReverseDir matches the wiring. Set against the wiring, every command
// turns the motor away from the target: the move is stopped and the user
// told, instead of running to the end stop.
TEST_P(FocuserOnSimulatedHub, ReverseDirMatchingTheWiringReachesTheTargetAndAMismatchStops) {
    for (const bool reversed : {false, true}) {
        kvsim::HubParameters p = hub->Parameters();
        p.reversed = reversed;
        hub->SetParameters(p);
        focuser->SetReverseDir(reversed);
        for (const std::int32_t steps : reversed ? std::vector<std::int32_t>{200, -40, 5}
                                                 : std::vector<std::int32_t>{0, 1, -5, 10, -40, 200, -2000}) {
            SCOPED_TRACE((reversed ? "reversed MoveBy " : "MoveBy ") + std::to_string(steps));
            const std::int32_t start = focuser->CTSCount();
            const std::int64_t hubStart = hub->EncoderCount();
            hub->ClearRecord();
            focuser->MoveBy(steps);
            ExpectEndedAtTarget(start, hubStart, steps);
            EXPECT_TRUE(steps != 0 || hub->Commands().empty()) << "a null move sends nothing";
        }
    }
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_TRUE(dialogs.Deferred().empty());
    EXPECT_GT(hub->KeepAlives(), 0u);

    focuser->SetReverseDir(false);
    for (const std::int32_t steps : {300, -8}) {
        SCOPED_TRACE("mismatched MoveBy " + std::to_string(steps));
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(steps);
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
        ASSERT_TRUE(hub->WaitUntilStopped(5s));
        // Not before the allowance for a coasting earlier run is used up.
        EXPECT_GT(std::abs(focuser->CTSCount() - start), kWrongWayCounts + focuser->StopFactor());
        EXPECT_LT(std::abs(focuser->CTSCount() - start), kWrongWayCounts + focuser->StopFactor() + 60);
    }
    EXPECT_EQ(dialogs.Deferred(), (std::vector<std::string>(2, kWrongWayText)));
}

// The counting thread tells the user without waiting for an answer: a
// message box would hold it while the GUI thread, closing the port, joins it.
TEST_P(FocuserOnSimulatedHub, DeviceThatDisappearsMidMoveEndsTheMoveAndTellsTheUserLater) {
    const std::int32_t start = focuser->CTSCount();
    focuser->MoveBy(3000);
    ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() >= start + 50; }));
    hub->SetVanished(true);
    EXPECT_TRUE(hub->WaitUntilStopped(2s)) << "an unplugged hub drives nothing";
    ASSERT_TRUE(Eventually([&] { return !dialogs.Texts().empty() || !dialogs.Deferred().empty(); }));
    focuser->ClosePort();
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

}  // namespace
}  // namespace kv::test
