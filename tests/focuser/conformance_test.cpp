// Every simulated focuser kind, set up from the shipped catalogue as the main
// window sets it up, used as a client uses it: idle at the start, moves there
// and back, to and past both ends, halt, and reads that answer during a move.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <thread>

#include "focuser/focuser_factory.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "focuser_test_support.h"
#include "platform/named_event.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/robofocus_simulator.h"
#include "sim/sim_devices.h"
#include "shell/focuser_catalogue.h"

namespace kv::test {
namespace {

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
    f->SetNudgeTime(s.nudgeTime);
    f->SetCloseNudgeTime(s.closeNudgeTime);
    f->SetNudgeSleep(s.nudgeDelay);
    f->SetStopFactor(s.stopFactor);
    f->SetBackLash(s.backLashValue);
    f->SetReverseDir(s.reverseDirection);
    f->SetDualSense(s.hiResPositioning);
    f->SetSBIGInterlock(s.sbigInterlock);
    f->SetCodesPerRev(s.codesPerRev);
    f->SetTravelPerRev(s.travelPerRev);
    return f;
}

// The parameter is the catalogue model; the simulated device is the hardware
// that entry describes (a high-resolution encoder, a motor wired the other way).
class Conformance : public ::testing::TestWithParam<const char*> {
protected:
    FocuserKind kind() const { return FocuserKindFromName(GetParam()); }

    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::Observatory::Instance().SetTruePosition(2000);
        focuser = FromCatalogue(GetParam(), dialogs);
        ASSERT_TRUE(focuser);
        // The simulators are found by the name's prefix.
        const std::string name = kind() == FocuserKind::RoboFocus ? "robofocus-conformance"
                                 : kind() == FocuserKind::Optec   ? "optec-conformance"
                                                                  : "hub-conformance";
        switch (kind()) {
        case FocuserKind::JMI: {
            // Built from the entry itself, so a setting the controller missed shows.
            const Settings entry = CatalogueSettings(GetParam());
            kvsim::ResetSimulatedDevices();
            hub = kvsim::HubFor(name);
            hub->SetParameters({.fastSpeed = 1000.0, .slowSpeed = 50.0, .startLagMs = 4.0, .coastCounts = 2.0,
                                .dualSense = entry.hiResPositioning, .reversed = entry.reverseDirection});
            tolerance = 12;
            // Pulse counting has no ends of its own: a range is set for the test.
            low = -300;
            high = 300;
            break;
        }
        case FocuserKind::RoboFocus: {
            auto d = kvsim::RoboFocusFor(name);
            d->SetMicrosPerStep(50);
            d->SetTravelLimit(3000);
            device = d;
            break;
        }
        case FocuserKind::Optec:
            device = kvsim::OptecFor(name);
            device->SetMicrosPerStep(20);
            break;
        case FocuserKind::Indi:
        case FocuserKind::Unknown: break;
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
            low = std::min(sense * (1 - rf->StartCount()), sense * (rf->MaxTravel() - rf->StartCount()));
            high = std::max(sense * (1 - rf->StartCount()), sense * (rf->MaxTravel() - rf->StartCount()));
        }
        if (auto* o = dynamic_cast<TOFocusControl*>(focuser.get())) {
            low = -o->StartCount();
            high = static_cast<std::int32_t>(kvsim::OptecDevice::kTravel) - o->StartCount();
        }
    }
    // Moves and waits for the move's end; the position must then be inside the travel.
    void MoveToAndWait(std::int32_t target) {
        focuser->MoveTo(target);
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled) << "to " << target;
        ASSERT_TRUE(Eventually([&] { return focuser->GetIdle(); })) << "to " << target;
        if (kind() != FocuserKind::JMI) {
            EXPECT_GE(focuser->CTSCount(), low);
            EXPECT_LE(focuser->CTSCount(), high);
        }
    }
    void ExpectNear(std::int32_t target) {
        EXPECT_LE(std::abs(focuser->CTSCount() - target), tolerance) << "at " << focuser->CTSCount();
    }

    RecordingDialogs dialogs;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::shared_ptr<kvsim::ProtocolDevice> device;
    std::unique_ptr<TFocusControl> focuser;
    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
    std::int32_t tolerance = 0;
    std::int32_t low = 0;
    std::int32_t high = 0;
};

TEST_P(Conformance, MovesLandWithinToleranceAndEndGracefullyAtTheEnds) {
    EXPECT_TRUE(focuser->GetIdle()) << "not moving at the start";
    EXPECT_EQ(focuser->JMIFlag(), kind() == FocuserKind::JMI);
    for (const std::int32_t target : {(high - low) / 10, 0, low + (high - low) / 2, low, high}) {
        MoveToAndWait(target);
        ExpectNear(target);
    }
    if (kind() != FocuserKind::JMI) {
        MoveToAndWait(low - 100);  // below the travel: stops at the end, or is refused
        MoveToAndWait(high + 100);
        MoveToAndWait(0);
        ExpectNear(0);
    }
}

TEST_P(Conformance, HaltDuringAMoveLeavesItIdleAndReadsNeverBlock) {
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
    reader.request_stop();
    reader.join();
    EXPECT_TRUE(!device || Eventually([&] { return !device->Moving(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_LT(focuser->CTSCount(), target);
    // A new move after the halt works normally.
    MoveToAndWait(0);
    ExpectNear(0);
}

// A motor that runs while the count gets nowhere (an encoder the counting rule
// does not match, a device gone silent) is stopped within the stall limit and
// the user told, instead of running on to the end stop.
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
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_GT(focuser->HaltCount(), halts);
    if (hub) {
        EXPECT_TRUE(hub->WaitUntilStopped(2s));
    }
    ASSERT_EQ(dialogs.Deferred().size(), 1u) << "at " << focuser->CTSCount() << " hub " << (hub ? hub->EncoderCount() : 0);
    EXPECT_NE(dialogs.Deferred().front().find("stayed at position"), std::string::npos) << dialogs.Deferred().front();
    if (device) device->SetFault(kvsim::ProtocolFault::None);
}

// What the catalogue cannot name creates nothing; a hand-written priority beyond the list is Normal.
TEST(FocuserFactory, UnknownKindCreatesNothingAndAnUnlistedPriorityIsNormal) {
    RecordingDialogs dialogs;
    EXPECT_EQ(CreateFocusControl(FocuserKind::Unknown, dialogs), nullptr);
    EXPECT_EQ(ControlsForKind(FocuserKind::Unknown), nullptr);
    EXPECT_EQ(NudgePriorityFromIndex(2), ThreadPriority::TimeCritical);
    EXPECT_EQ(NudgePriorityFromIndex(3), ThreadPriority::Normal);
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
