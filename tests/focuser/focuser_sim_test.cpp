// End to end: TJFocusControl on the simulated hub and motor, in text mode
// (LX-200 commands) and line mode (RTS/DTR). The motor runs faster than a
// real one so the suite stays quick; the tolerances are what one nudge pulse
// can carry past the target.
#include <gtest/gtest.h>

#include <cmath>

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
    // Text commands wait 20 ms for the line to settle before they go out,
    // so in text mode the motor runs on for that long after the stop point.
    f.SetStopFactor(lineMode ? 10 : 25);
    f.SetNudgeTime(0.005);
    f.SetCloseNudgeTime(lineMode ? 0.004 : 0.005);
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

    RecordingDialogs dialogs;
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
    EXPECT_GT(hub->KeepAlives(), 0u);
}

TEST_P(FocuserOnSimulatedHub, CancelEndsTheCoarseRunAndTheNudgingAtOnce) {
    const auto cancelWhen = [&](std::int32_t steps, const std::function<bool()>& moment) {
        focuser->MoveBy(steps);
        ASSERT_TRUE(WaitUntil(moment));
        focuser->CancelMovement();
        EXPECT_TRUE(focuser->GetIdle());
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        ASSERT_TRUE(hub->WaitUntilStopped(kLong));
        // Every thread of the move has ended: nothing more reaches the hub.
        std::this_thread::sleep_for(100ms);
        hub->ClearRecord();
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(hub->Commands().empty());
        for (const auto& entry : hub->Record()) EXPECT_NE(entry.kind, kvsim::HubRecordEntry::Kind::Lines);
    };
    {
        SCOPED_TRACE("coarse run");
        const std::int32_t start = focuser->CTSCount();
        cancelWhen(3000, [&] { return focuser->CTSCount() >= start + 100; });
        EXPECT_LT(focuser->CTSCount(), start + 2900);
    }
    {
        SCOPED_TRACE("nudging");
        focuser->SetNudgeSleep(0.2);
        const std::int32_t start = focuser->CTSCount();
        cancelWhen(12, [&] { return focuser->CTSCount() >= start + 2; });
        EXPECT_LT(focuser->CTSCount(), start + 12);
    }
    EXPECT_TRUE(dialogs.Texts().empty());
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

TEST_P(FocuserOnSimulatedHub, DeviceThatDisappearsMidMoveEndsTheMoveAndTellsTheUser) {
    const std::int32_t start = focuser->CTSCount();
    focuser->MoveBy(3000);
    ASSERT_TRUE(WaitUntil([&] { return focuser->CTSCount() >= start + 50; }));
    hub->SetVanished(true);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    ASSERT_TRUE(WaitUntil([&] { return !dialogs.Texts().empty(); }));
    EXPECT_NE(dialogs.Texts().front().find("sim:hub"), std::string::npos) << dialogs.Texts().front();
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

using FocuserOnSimulatedHubDualSense = OnSimulatedHub<::testing::Test>;

TEST_F(FocuserOnSimulatedHubDualSense, HighResolutionCountsEveryEdge) {
    kvsim::HubParameters p;
    p.fastSpeed = kLineModeSpeed;
    p.startLagMs = 3.0;
    p.coastCounts = 1.0;
    p.dualSense = true;
    hub->SetParameters(p);
    ConfigureForSimulatedHub(*focuser, true);
    focuser->SetDualSense(true);
    ASSERT_TRUE(focuser->OpenPort());
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    for (const std::int32_t steps : {300, -300}) {
        const std::int32_t start = focuser->CTSCount();
        const std::int64_t hubStart = hub->EncoderCount();
        focuser->MoveBy(steps);
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        ASSERT_TRUE(hub->WaitUntilStopped(kLong));
        ASSERT_TRUE(WaitUntil([&] { return focuser->CTSCount() - start == hub->EncoderCount() - hubStart; }, 2s));
        ExpectEndedAtTarget(start, steps, focuser->CTSCount(), focuser->StopFactor());
    }
}

// ---------------------------------------------------------------- the hub's temperature unit

class HubQueriesOnSimulatedHub : public OnSimulatedHub<::testing::Test> {
protected:
    void SetUp() override {
        OnSimulatedHub::SetUp();
        focuser->SetOnAvailChange([this](TFocusControl&, bool avail) { availChanges.push_back(avail); });
        ASSERT_TRUE(focuser->OpenPort());
    }
    std::vector<bool> availChanges;
};

TEST_F(HubQueriesOnSimulatedHub, AnsweringHubGivesFirmwareOffsetAndTemperature) {
    EXPECT_EQ(focuser->GetTCFirmwareVersion(), "10.2.03");
    EXPECT_TRUE(focuser->GetTCAvail());
    EXPECT_EQ(availChanges, std::vector<bool>{true});
    EXPECT_EQ(focuser->SetTCCal(240), HubResult::Ok);
    EXPECT_EQ(hub->Offset(), 240);
    EXPECT_EQ(focuser->GetTCCal(), 240);
    const double expected = kvsim::Observatory::Instance().TemperatureC() + 5.0;
    EXPECT_NEAR(focuser->GetTemperature(), expected, 0.2);
    EXPECT_NEAR(focuser->TCAvg(), expected, 0.2);
}

// The exact replies for the other edge cases are scripted in focus_control_test.
TEST_F(HubQueriesOnSimulatedHub, GarbledRepliesAreNoAnswer) {
    hub->SetFault(kvsim::HubFault::Garbage);
    EXPECT_FALSE(focuser->GetTCAvail());
    EXPECT_EQ(focuser->GetTCFirmwareVersion(), "??");
    EXPECT_TRUE(availChanges.empty());
}

TEST_F(HubQueriesOnSimulatedHub, HubThatNeverAnswersStillMovesTheFocuser) {
    hub->SetFault(kvsim::HubFault::NeverAnswer);
    EXPECT_FALSE(focuser->GetTCAvail());
    EXPECT_DOUBLE_EQ(focuser->GetTemperature(), kNoTemperature);

    kvsim::HubParameters p;
    p.fastSpeed = kLineModeSpeed;
    hub->SetParameters(p);
    ConfigureForSimulatedHub(*focuser, true);
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    focuser->MoveBy(60);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    ExpectEndedAtTarget(0, 60, focuser->CTSCount(), focuser->StopFactor());
}

}  // namespace
}  // namespace kv::test
