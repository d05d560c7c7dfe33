// End to end on the simulators: the hub focuser in text and line mode, and
// every catalogue kind as a client uses it.
#include <gtest/gtest.h>

#include <cmath>

#include "focuser/focuser_factory.h"
#include "focuser/j_focus_control.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "focuser_test_support.h"
#include "platform/named_event.h"
#include "shell/focuser_catalogue.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/robofocus_simulator.h"
#include "sim/sim_devices.h"

namespace kv::test {
namespace {

// The parameter is line mode.
class FocuserOnSimulatedHub : public ::testing::TestWithParam<bool> {
protected:
    bool LineMode() const { return GetParam(); }

    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        hub = kvsim::HubFor("hub");
        // Line-mode nudges run at the fast speed: moderate, so a stretched pulse stays in the margin.
        hub->SetParameters({.fastSpeed = LineMode() ? 600.0 : 1000.0, .slowSpeed = 50.0,
                            .startLagMs = LineMode() ? 3.0 : 4.0, .coastCounts = LineMode() ? 1.0 : 2.0});
        focuser = std::make_unique<TJFocusControl>(dialogs);
        focuser->SetPortResolver([](int) { return std::string("sim:hub"); });
        focuser->SetJMIFlag(true), focuser->SetUseRTS_DTR(LineMode());
        // A stop delayed on a busy machine must still fall short; text-mode nudges
        // at the slow speed need longer pulses; the pause lets a pulse's counts in.
        focuser->SetStopFactor(LineMode() ? 10 : 25);
        focuser->SetNudgeTime(LineMode() ? 0.005 : 0.025), focuser->SetCloseNudgeTime(LineMode() ? 0.004 : 0.025);
        focuser->SetNudgeSleep(0.06), focuser->SetNudgePriority(ThreadPriority::TimeCritical);
        ASSERT_TRUE(focuser->OpenPort());
    }
    void TearDown() override {
        focuser.reset();
        kvsim::ResetSimulatedDevices();
    }

    // The count agrees with the encoder once the motor stands. Nudging alone
    // ends at the target or one (maybe stretched) pulse beyond, never short; a
    // coarse move ends near the target from either side.
    void ExpectEndedAtTarget(std::int32_t start, std::int64_t hubStart, std::int32_t steps) {
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
        ASSERT_TRUE(hub->WaitUntilStopped(kLong));
        ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() - start == hub->EncoderCount() - hubStart; }, 2s))
            << "focuser " << focuser->CTSCount() - start << " hub " << hub->EncoderCount() - hubStart;
        const std::int32_t end = focuser->CTSCount(), target = start + steps;
        if (std::abs(steps) < focuser->StopFactor() + 2) {
            const std::int32_t beyond = steps >= 0 ? end - target : target - end;
            EXPECT_TRUE(beyond >= 0 && beyond <= 8) << "ended at " << end - start;  // never short
        } else {
            EXPECT_LE(std::abs(end - target), 12) << "ended at " << end - start;
        }
    }

    RecordingDialogs dialogs;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::unique_ptr<TJFocusControl> focuser;
    std::shared_ptr<NamedEvent> done = OpenNamedEvent(kGeneralDelayEvent);
};

// A cancel or a newer move (procedures and callbacks may start one at any
// time) stops the motor, sets Idle, releases the waiters, and silences every
// thread of the old move.
TEST_P(FocuserOnSimulatedHub, EndingAMoveEarlyStopsTheMotorAndEveryThread) {
    const auto expectEndedAndQuiet = [&] {
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        ASSERT_TRUE(Eventually([&] { return focuser->GetIdle(); }, 5s)) << "Idle stuck at false";
        ASSERT_TRUE(hub->WaitUntilStopped(5s)) << "the motor runs on";
        std::this_thread::sleep_for(100ms);
        hub->ClearRecord();
        const std::int32_t settled = focuser->CTSCount();
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(hub->Commands().empty() && focuser->GetIdle() && focuser->CTSCount() == settled);
        for (const auto& entry : hub->Record()) EXPECT_NE(entry.kind, kvsim::HubRecordEntry::Kind::Lines);
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
    EXPECT_TRUE(dialogs.Texts().empty() && dialogs.Deferred().empty());
}

// Pulses last NudgeTime beyond two counts and CloseNudgeTime within; the
// pause after a close pulse grows by NudgeTime / CloseNudgeTime. Medians, so
// one late wake-up does not decide.
TEST_P(FocuserOnSimulatedHub, NudgePulsesAndPausesFollowTheTimingSettings) {
    hub->SetParameters({.fastSpeed = 20.0, .slowSpeed = 20.0});  // a pulse moves well under one count
    focuser->SetStopFactor(10), focuser->SetNudgeTime(0.020), focuser->SetCloseNudgeTime(0.005);
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
    const auto within = [](double v, double low, double high) {
        return ::testing::AssertionResult(v >= low && v < high) << v << " outside " << low << ".." << high;
    };
    EXPECT_TRUE(within(farPulse, 20.0 - 0.5, 20.0 + kLate));
    EXPECT_TRUE(within(farPause, 25.0 - 0.5, 100.0 - 0.5));
    const auto [closePulse, closePause] = pulses(1);
    EXPECT_TRUE(within(closePulse, 5.0 - 0.5, 5.0 + kLate));
    EXPECT_GE(closePause, 100.0 - 0.5);
}

// The read-out pause holds the motor; a move cancelled meanwhile never starts it.
TEST_P(FocuserOnSimulatedHub, ReadOutInterlockStopsTheMotorAndTheMoveResumes) {
    const std::int32_t start = focuser->CTSCount();
    const std::int64_t hubStart = hub->EncoderCount();
    focuser->MoveBy(1500);
    ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() >= start + 200; }));
    focuser->SetInterruptsOff(true);
    ASSERT_TRUE(hub->WaitUntilStopped(2s));
    const std::int32_t held = focuser->CTSCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(std::abs(focuser->CTSCount() - held) <= 2 && !focuser->GetIdle()) << focuser->CTSCount() - held;
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

// With ReverseDir matching the wiring moves reach their target; against it,
// the motor turns away from the target and is stopped with a message instead
// of running to the end stop.
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
    EXPECT_TRUE(dialogs.Texts().empty() && dialogs.Deferred().empty());
    EXPECT_GT(hub->KeepAlives(), 0u);

    focuser->SetReverseDir(false);
    for (const std::int32_t steps : {300, -8}) {
        SCOPED_TRACE("mismatched MoveBy " + std::to_string(steps));
        const std::int32_t start = focuser->CTSCount();
        focuser->MoveBy(steps);
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle() && hub->WaitUntilStopped(5s));
        // Not before the allowance for a coasting earlier run is used up.
        const std::int32_t ran = std::abs(focuser->CTSCount() - start), allowance = kWrongWayCounts + focuser->StopFactor();
        EXPECT_TRUE(ran > allowance && ran < allowance + 60) << ran;
    }
    EXPECT_EQ(dialogs.Deferred(), (std::vector<std::string>(2, kWrongWayText)));
}

// Told without waiting for an answer: a message box would hold the counting
// thread that closing the port joins.
TEST_P(FocuserOnSimulatedHub, DeviceThatDisappearsMidMoveEndsTheMoveAndTellsTheUserLater) {
    const std::int32_t start = focuser->CTSCount();
    focuser->MoveBy(3000);
    ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() >= start + 50; }));
    hub->SetVanished(true);
    EXPECT_TRUE(hub->WaitUntilStopped(2s)) << "an unplugged hub drives nothing";
    ASSERT_TRUE(Eventually([&] { return !dialogs.Texts().empty() || !dialogs.Deferred().empty(); }));
    // The lost port is what the user hears, not a stall of the motor that no
    // longer counts, however long it is left.
    std::this_thread::sleep_for(std::chrono::milliseconds(focuser->StallLimitMs() + 500));
    focuser->ClosePort();
    EXPECT_TRUE(dialogs.Texts().empty());
    ASSERT_EQ(dialogs.Deferred().size(), 1u) << dialogs.Deferred().back();
    EXPECT_NE(dialogs.Deferred().front().find("sim:hub"), std::string::npos) << dialogs.Deferred().front();
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle() && !focuser->PortOpen() && !focuser->OpenPort());
    hub->SetVanished(false);
    EXPECT_TRUE(focuser->OpenPort()) << "reopens once the hub is back";
}

INSTANTIATE_TEST_SUITE_P(Modes, FocuserOnSimulatedHub, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                             return std::string(mode.param ? "LineMode" : "TextMode");
                         });

Settings CatalogueSettings(const std::string& model) {
    Settings s;
    ApplyCatalogueModel(std::string(KV_SOURCE_DIR) + "/data/" + kCatalogueFileName, model, s);
    return s;
}

// The controller the main window creates for the model, with the catalogue's values applied.
std::unique_ptr<TFocusControl> FromCatalogue(const std::string& model, IDialogs& dialogs) {
    const Settings s = CatalogueSettings(model);
    std::unique_ptr<TFocusControl> f = CreateFocusControl(FocuserKindFromName(model), dialogs);
    if (!f) return nullptr;
    f->SetNudgeTime(s.nudgeTime), f->SetCloseNudgeTime(s.closeNudgeTime), f->SetNudgeSleep(s.nudgeDelay);
    f->SetStopFactor(s.stopFactor), f->SetBackLash(s.backLashValue), f->SetReverseDir(s.reverseDirection);
    f->SetDualSense(s.hiResPositioning), f->SetSBIGInterlock(s.sbigInterlock);
    f->SetCodesPerRev(s.codesPerRev), f->SetTravelPerRev(s.travelPerRev);
    return f;
}

// Every simulated kind, set up from the shipped catalogue entry named by the
// parameter, on the hardware that entry describes.
class Conformance : public ::testing::TestWithParam<const char*> {
protected:
    FocuserKind kind() const { return FocuserKindFromName(GetParam()); }

    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::Observatory::Instance().SetTruePosition(2000);
        focuser = FromCatalogue(GetParam(), dialogs);
        ASSERT_TRUE(focuser);
        // The simulators are found by the name's prefix.
        std::string name = "hub-conformance";
        if (kind() == FocuserKind::JMI) {
            // Built from the entry itself, so a setting the controller missed shows.
            const Settings entry = CatalogueSettings(GetParam());
            kvsim::ResetSimulatedDevices();
            hub = kvsim::HubFor(name);
            hub->SetParameters({.fastSpeed = 1000.0, .slowSpeed = 50.0, .startLagMs = 4.0, .coastCounts = 2.0,
                                .dualSense = entry.hiResPositioning, .reversed = entry.reverseDirection});
            // Pulse counting has no ends of its own: a range is set for the test.
            tolerance = 12, low = -300, high = 300;
        } else if (kind() == FocuserKind::RoboFocus) {
            name = "robofocus-conformance";
            auto d = kvsim::RoboFocusFor(name);
            d->SetMicrosPerStep(50), d->SetTravelLimit(3000);
            device = d;
        } else {
            name = "optec-conformance";
            device = kvsim::OptecFor(name);
            device->SetMicrosPerStep(20);
        }
        if (device) device->SetFault(kvsim::ProtocolFault::None);
        focuser->SetPortResolver([name](int) { return "sim:" + name; });
        focuser->SetQuorvelEnable(false);
        ASSERT_TRUE(focuser->OpenPort());
        std::this_thread::sleep_for(700ms);  // the opening queries and their replies
        if (auto* rf = dynamic_cast<TRFFocusControl*>(focuser.get())) {
            ASSERT_TRUE(Eventually([&] { return rf->MaxTravel() == 3000; }));
            // Without ReverseDir the count runs against the focuser's position.
            const int sense = rf->ReverseDir() ? 1 : -1;
            std::tie(low, high) = std::minmax({sense * (1 - rf->StartCount()), sense * (rf->MaxTravel() - rf->StartCount())});
        }
        if (auto* o = dynamic_cast<TOFocusControl*>(focuser.get())) {
            low = -o->StartCount();
            high = static_cast<std::int32_t>(kvsim::OptecDevice::kTravel) - o->StartCount();
        }
    }
    // Moves and waits for the move's end; the position must then be inside the
    // travel, and within tolerance of a target that `lands`.
    void MoveToAndWait(std::int32_t target, bool lands = true) {
        focuser->MoveTo(target);
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled) << "to " << target;
        ASSERT_TRUE(Eventually([&] { return focuser->GetIdle(); })) << "to " << target;
        const std::int32_t at = focuser->CTSCount();
        EXPECT_TRUE(kind() == FocuserKind::JMI || (at >= low && at <= high)) << "at " << at;
        EXPECT_TRUE(!lands || std::abs(at - target) <= tolerance) << "at " << at << " for " << target;
    }

    RecordingDialogs dialogs;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::shared_ptr<kvsim::ProtocolDevice> device;
    std::unique_ptr<TFocusControl> focuser;
    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
    std::int32_t tolerance = 0, low = 0, high = 0;
};

// Moves land within tolerance and end gracefully at the ends; a halt during a
// move leaves it idle, reads never block, and the next move works normally.
TEST_P(Conformance, MovesLandWithinToleranceEndGracefullyAtTheEndsAndHalt) {
    EXPECT_TRUE(focuser->GetIdle()) << "not moving at the start";
    EXPECT_EQ(focuser->JMIFlag(), kind() == FocuserKind::JMI);
    for (const std::int32_t target : {(high - low) / 10, 0, low + (high - low) / 2, low, high}) {
        MoveToAndWait(target);
    }
    if (kind() != FocuserKind::JMI) {
        MoveToAndWait(low - 100, false);  // below the travel: stops at the end, or is refused
        MoveToAndWait(high + 100, false);
    }
    MoveToAndWait(0);

    SCOPED_TRACE("halted on the way");
    const std::int32_t target = kind() == FocuserKind::JMI ? 250 : high;
    focuser->MoveTo(target);
    // Reads from another thread keep answering while the move runs.
    std::atomic<int> reads{0};
    std::jthread reader([&](std::stop_token stop) {
        for (; !stop.stop_requested(); reads.fetch_add(1)) {
            (void)focuser->CTSCount();
            (void)focuser->GetIdle();
        }
    });
    ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() > 5; }));
    EXPECT_TRUE(Eventually([&] { return reads.load() > 1000; }));
    const std::uint64_t halts = focuser->HaltCount();
    focuser->StopMove();
    focuser->CancelMovement();
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_GT(focuser->HaltCount(), halts) << "a waiter must be able to tell the halt from an arrival";
    reader = {};  // stops and joins
    EXPECT_TRUE(!device || Eventually([&] { return !device->Moving(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(focuser->GetIdle() && focuser->CTSCount() < target) << focuser->CTSCount();
    MoveToAndWait(0);
    const std::size_t said = dialogs.Deferred().size();
    focuser->ClosePort();
    EXPECT_EQ(dialogs.Deferred().size(), said) << "a port closed on purpose is not a device lost";
}

// A motor running while the count gets nowhere (a mismatched encoder rule, a
// silent device) is stopped within the stall limit, with a message.
TEST_P(Conformance, AMoveWhoseCountStandsStillIsStoppedAndTheUserTold) {
    if (hub) {
        kvsim::HubParameters p = hub->Parameters();
        p.dualSense = false;
        hub->SetParameters(p);
        focuser->SetDualSense(true);  // each pulse counts +1 then -1
    } else {
        device->SetFault(kvsim::ProtocolFault::SilenceMidMove);
    }
    const std::uint64_t halts = focuser->HaltCount();
    const std::uint64_t ticket = focuser->MoveTicket();
    general->Reset();
    focuser->MoveTo(kind() == FocuserKind::JMI ? 250 : high);
    EXPECT_EQ(focuser->MoveTicket(), ticket + 1);
    ASSERT_EQ(general->Wait(std::chrono::milliseconds(focuser->StallLimitMs() + 3000)), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle() && focuser->HaltCount() > halts);
    EXPECT_TRUE(!hub || hub->WaitUntilStopped(2s));
    ASSERT_EQ(dialogs.Deferred().size(), 1u) << "at " << focuser->CTSCount() << " hub " << (hub ? hub->EncoderCount() : 0);
    EXPECT_NE(dialogs.Deferred().front().find("stayed at position"), std::string::npos) << dialogs.Deferred().front();
    if (device) device->SetFault(kvsim::ProtocolFault::None);
}

// What the catalogue cannot name creates nothing; a hand-written priority beyond the list is Normal.
TEST(FocuserFactory, UnknownKindCreatesNothingAndAnUnlistedPriorityIsNormal) {
    RecordingDialogs dialogs;
    EXPECT_TRUE(CreateFocusControl(FocuserKind::Unknown, dialogs) == nullptr && ControlsForKind(FocuserKind::Unknown) == nullptr);
    EXPECT_EQ(std::pair(NudgePriorityFromIndex(2), NudgePriorityFromIndex(3)), std::pair(ThreadPriority::TimeCritical, ThreadPriority::Normal));
}

// Every hub model whose hardware differs (plain, high-resolution encoder,
// reversed wiring), and one of each kind that keeps its own position.
INSTANTIATE_TEST_SUITE_P(Catalogue, Conformance,
                         ::testing::Values("Default", "JMI NGF-S", "JMI MotoFocus", "RoboFocus", "Optec TCF-S"),
                         [](const ::testing::TestParamInfo<const char*>& model) {
                             std::string name = model.param;
                             std::erase_if(name, [](unsigned char c) { return !std::isalnum(c); });
                             return name;
                         });

}  // namespace
}  // namespace kv::test
