// One conformance pass over every simulated focuser kind, through its driver
// set up from the shipped catalogue as the main window sets it up, in the way
// a client of the focuser interface uses it: idle at the start,
// there-and-back moves, moves to and past both ends, halt, and position reads
// that keep answering while a move runs.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cmath>
#include <thread>

#include "focuser/j_focus_control.h"
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

// The catalogue's values as the main window applies them to a new controller.
std::unique_ptr<TFocusControl> FromCatalogue(const std::string& model, IDialogs& dialogs) {
    const Settings s = CatalogueSettings(model);
    std::unique_ptr<TFocusControl> f;
    switch (FocuserKindFromName(model)) {
    case FocuserKind::JMI:
        f = std::make_unique<TJFocusControl>(dialogs);
        f->SetJMIFlag(true);
        break;
    case FocuserKind::RoboFocus: f = std::make_unique<TRFFocusControl>(dialogs); break;
    case FocuserKind::Optec: f = std::make_unique<TOFocusControl>(dialogs); break;
    case FocuserKind::Unknown: return nullptr;
    }
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

enum class Kind { Hub, RoboFocus, Optec };

Kind KindOf(const std::string& model) {
    switch (FocuserKindFromName(model)) {
    case FocuserKind::RoboFocus: return Kind::RoboFocus;
    case FocuserKind::Optec: return Kind::Optec;
    default: return Kind::Hub;
    }
}

// The parameter is the catalogue model; the simulated device is the hardware
// that entry describes (a high-resolution encoder, a motor wired the other way).
class Conformance : public ::testing::TestWithParam<const char*> {
protected:
    Kind kind() const { return KindOf(GetParam()); }

    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::Observatory::Instance().SetTruePosition(2000);
        focuser = FromCatalogue(GetParam(), dialogs);
        ASSERT_TRUE(focuser);
        switch (kind()) {
        case Kind::Hub: {
            const Settings entry = CatalogueSettings(GetParam());
            kvsim::ResetSimulatedDevices();
            hub = kvsim::HubFor("hub-conformance");
            kvsim::HubParameters p;
            p.fastSpeed = 1000.0;
            p.slowSpeed = 50.0;
            p.startLagMs = 4.0;
            p.coastCounts = 2.0;
            p.dualSense = entry.hiResPositioning;
            p.reversed = entry.reverseDirection;
            hub->SetParameters(p);
            focuser->SetPortResolver([](int) { return std::string("sim:hub-conformance"); });
            tolerance = 12;
            // Pulse counting has no ends of its own: a range is set for the test.
            low = -300;
            high = 300;
            break;
        }
        case Kind::RoboFocus: {
            auto d = kvsim::RoboFocusFor("robofocus-conformance");
            d->SetMicrosPerStep(50);
            d->SetTravelLimit(3000);
            d->SetFault(kvsim::ProtocolFault::None);
            device = d;
            focuser->SetPortResolver([](int) { return std::string("sim:robofocus-conformance"); });
            break;
        }
        case Kind::Optec: {
            auto d = kvsim::OptecFor("optec-conformance");
            d->SetMicrosPerStep(20);
            d->SetFault(kvsim::ProtocolFault::None);
            device = d;
            focuser->SetPortResolver([](int) { return std::string("sim:optec-conformance"); });
            break;
        }
        }
        focuser->SetQuorvelEnable(false);
        ASSERT_TRUE(focuser->OpenPort());
        std::this_thread::sleep_for(700ms);  // the opening queries and their replies
        if (auto* rf = dynamic_cast<TRFFocusControl*>(focuser.get())) {
            ASSERT_TRUE(WaitUntil([&] { return rf->MaxTravel() == 3000; }));
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
    void TearDown() override {
        focuser.reset();
        hub.reset();
    }

    // Moves and waits for the move's end; the position must then be inside the travel.
    void MoveToAndWait(std::int32_t target) {
        focuser->MoveTo(target);
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled) << "to " << target;
        ASSERT_TRUE(WaitUntil([&] { return focuser->GetIdle(); })) << "to " << target;
        if (kind() != Kind::Hub) {
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
    for (const std::int32_t target : {(high - low) / 10, 0, low + (high - low) / 2, low, high}) {
        MoveToAndWait(target);
        ExpectNear(target);
    }
    if (kind() != Kind::Hub) {
        MoveToAndWait(low - 100);  // below the travel: stops at the end, or is refused
        MoveToAndWait(high + 100);
        MoveToAndWait(0);
        ExpectNear(0);
    }
}

TEST_P(Conformance, HaltDuringAMoveLeavesItIdleAndReadsNeverBlock) {
    const std::int32_t target = kind() == Kind::Hub ? 250 : high;
    focuser->MoveTo(target);
    // Reads from another thread keep answering while the move runs.
    std::atomic<int> reads{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            (void)focuser->CTSCount();
            (void)focuser->GetIdle();
            reads.fetch_add(1);
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return focuser->CTSCount() > 5; }));
    EXPECT_TRUE(WaitUntil([&] { return reads.load() > 1000; }));
    focuser->StopMove();
    focuser->CancelMovement();
    EXPECT_TRUE(focuser->GetIdle());
    stop.store(true);
    reader.join();
    if (device) {
        EXPECT_TRUE(WaitUntil([&] { return !device->Moving(); }));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_LT(focuser->CTSCount(), target);
    // A new move after the halt works normally.
    MoveToAndWait(0);
    ExpectNear(0);
}

// Every hub model whose hardware differs (plain, high-resolution encoder,
// reversed wiring), and one of each kind that keeps its own position.
INSTANTIATE_TEST_SUITE_P(Catalogue, Conformance,
                         ::testing::Values("Default", "JMI NGF-S", "JMI MotoFocus", "RoboFocus", "Optec TCF-S"),
                         [](const ::testing::TestParamInfo<const char*>& model) {
                             std::string name;
                             for (const char* c = model.param; *c != '\0'; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             }
                             return name;
                         });

}  // namespace
}  // namespace kv::test
