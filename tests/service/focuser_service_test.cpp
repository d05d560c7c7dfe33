// The focuser service on the simulated observatory: every kind through the
// real drivers, the state file across restarts, the motor watch's endings and
// temperature compensation over a cooling night.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/posix_serial_port.h"
#include "service/focuser_service.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/robofocus_simulator.h"
#include "sim/sim_devices.h"
#include "support/eventually.h"
#include "support/pty.h"
#include "support/temp_files.h"

namespace kv::test {
namespace {

using namespace std::chrono_literals;

const std::string kCatalogue = std::string(KV_SOURCE_DIR) + "/data/Focusers.ini";

// What the listener heard, in order.
struct Heard {
    std::mutex mutex;
    std::vector<std::int32_t> positions;
    std::vector<MoveRecord> ends;
    std::vector<std::string> alerts;
    std::vector<std::string> compensation;
    ServiceListener Listener() {
        return {.positionChanged = [this](std::int32_t p) { std::lock_guard l(mutex); positions.push_back(p); },
                .moveEnded = [this](const MoveRecord& r) { std::lock_guard l(mutex); ends.push_back(r); },
                .temperatureChanged = {},
                .compensationLog = [this](const std::string& s) { std::lock_guard l(mutex); compensation.push_back(s); },
                .alert = [this](const std::string& s) { std::lock_guard l(mutex); alerts.push_back(s); }};
    }
    template <class T>
    T Copy(const T& what) {
        std::lock_guard l(mutex);
        return what;
    }
};

struct KindCase {
    const char* name;
    ServiceKind kind;
    const char* model;
    bool hiRes;
};

class ServiceKinds : public ::testing::TestWithParam<KindCase> {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        kvsim::Observatory::Instance().SetTruePosition(3000);
        kvsim::Observatory::Instance().SetBacklash(0);
        const KindCase& c = GetParam();
        config.kind = c.kind;
        config.model = c.model;
        config.cataloguePath = kCatalogue;
        config.statePath = (dir.Path() / "focuser.state").string();
        if (c.kind == ServiceKind::Hub) {
            hub = kvsim::HubFor("hub-service");
            hub->SetParameters({.fastSpeed = 1000.0, .slowSpeed = 100.0, .dualSense = c.hiRes});
            config.device = "sim:hub-service";
        } else if (c.kind == ServiceKind::RoboFocus) {
            auto d = kvsim::RoboFocusFor("robofocus-service");
            d->SetMicrosPerStep(300), d->SetTravelLimit(6000);
            device = d;
            config.device = "sim:robofocus-service";
        } else {
            device = kvsim::OptecFor("optec-service");
            device->SetMicrosPerStep(20);
            config.device = "sim:optec-service";
        }
        Open();
    }
    void Open() {
        service = std::make_unique<FocuserService>();
        service->SetListener(heard.Listener());
        const OpenResult opened = service->Open(config);
        ASSERT_TRUE(opened.ok) << opened.message;
        if (device) {
            // A RoboFocus opens once it has told its travel: limits set at once are checked against it.
            EXPECT_TRUE(config.kind != ServiceKind::RoboFocus || service->DeviceRange()->max == 6000);
            ASSERT_TRUE(Eventually([&] { return service->DeviceRange()->max > 1000 && service->Position() > 0; }));
        }
        if (const auto range = service->DeviceRange()) {
            ASSERT_TRUE(service->SetLimits(*range));
        } else {
            ASSERT_TRUE(service->SetLimits({-20000, 20000}));
        }
    }
    // Moves and waits; the record of how it ended.
    MoveRecord MoveAndWait(std::int32_t target) {
        const Answer a = service->MoveTo(target);
        EXPECT_TRUE(a) << a.message;
        const auto record = service->WaitIdle(40000);
        EXPECT_FALSE(service->Moving());
        return record.value_or(MoveRecord{});
    }
    std::int32_t Tolerance() const { return hub ? kServiceLandingSteps : 0; }

    TempDir dir;
    ServiceConfig config;
    Heard heard;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::shared_ptr<kvsim::ProtocolDevice> device;
    std::unique_ptr<FocuserService> service;
};

// Absolute and relative moves land, a refused request changes nothing, a halt
// ends a move with its reason, and the backlash approach ends every move
// travelling upward.
TEST_P(ServiceKinds, MovesLandRefusalsChangeNothingHaltAndBacklashBehave) {
    const std::int32_t start = service->Position();
    const std::int32_t low = service->GetLimits().min;
    const std::int32_t high = service->GetLimits().max;
    const std::int32_t a = std::clamp(start + 400, low, high - 500);
    MoveRecord r = MoveAndWait(a);
    EXPECT_EQ(r.end, MoveEnd::Arrived) << r.reason;
    EXPECT_LE(std::abs(service->Position() - a), Tolerance()) << service->Position();
    EXPECT_EQ(r.from, start);
    EXPECT_EQ(r.target, a);

    const std::int32_t before = service->Position();
    ASSERT_TRUE(service->MoveBy(-150));
    r = service->WaitIdle(40000).value();
    EXPECT_EQ(r.end, MoveEnd::Arrived) << r.reason;
    EXPECT_LE(std::abs(service->Position() - (before - 150)), Tolerance());

    // Outside the limits, and a second move while one runs: refused, nothing moves.
    for (const std::int32_t bad : {low - 1, high + 1}) {
        const Answer refused = service->MoveTo(bad);
        EXPECT_EQ(refused.result, MoveResult::OutOfRange) << bad;
        EXPECT_NE(refused.message.find(std::to_string(low) + " to " + std::to_string(high)), std::string::npos)
            << refused.message;
    }
    EXPECT_EQ(service->MoveBy(std::int64_t{1} << 40).result, MoveResult::OutOfRange);
    // The limits themselves are inside them.
    ASSERT_TRUE(service->SetLimits({service->Position(), service->Position()}));
    EXPECT_TRUE(service->MoveTo(service->Position()));
    ASSERT_TRUE(service->SetLimits({low, high}));
    EXPECT_FALSE(service->Moving());
    EXPECT_EQ(service->SetLimits({10, 5}).result, MoveResult::OutOfRange);
    if (const auto range = service->DeviceRange()) {
        EXPECT_EQ(service->SetLimits({range->min, range->max + 1}).result, MoveResult::OutOfRange);
    }

    const std::int32_t far = service->Position() > (low + high) / 2 ? low + 100 : high - 100;
    ASSERT_TRUE(service->MoveTo(far));
    // A focuser that keeps its position tells it only when it stops.
    std::this_thread::sleep_for(300ms);
    const Answer second = service->MoveTo(far - 10);
    EXPECT_EQ(second.result, MoveResult::Busy);
    EXPECT_EQ(service->Target(), far) << "a refused move leaves the running one's target";
    service->Halt();
    r = service->WaitIdle(20000).value();
    EXPECT_EQ(r.end, MoveEnd::Halted);
    EXPECT_EQ(r.target, far);
    EXPECT_NE(r.reason.find("Halted"), std::string::npos) << r.reason;
    const std::int32_t stopped = service->Position();
    EXPECT_GT(std::abs(stopped - far), 20) << "halted well before the target";

    // Replacing a running move ends it as replaced and the new one arrives.
    const std::int32_t next = std::clamp(stopped + 300, low, high);
    ASSERT_TRUE(service->MoveTo(far));
    ASSERT_TRUE(service->MoveTo(next, WhenBusy::Replace));
    r = service->WaitIdle(40000).value();
    EXPECT_EQ(r.end, MoveEnd::Arrived) << r.reason;
    EXPECT_EQ(r.target, next);
    EXPECT_TRUE(Eventually([&] {
        const auto ends = heard.Copy(heard.ends);
        return std::any_of(ends.begin(), ends.end(), [](const MoveRecord& e) { return e.end == MoveEnd::Replaced; });
    }));

    // Backlash from below: a downward move runs past the target and comes back up.
    ASSERT_TRUE(service->SetBacklash({.enabled = true, .steps = 60, .fromBelow = true}));
    EXPECT_EQ(service->SetBacklash({.enabled = true, .steps = -1}).result, MoveResult::OutOfRange);
    EXPECT_EQ(service->GetBacklash().steps, 60) << "a refused setting keeps the old one";
    const std::int32_t down = service->Position() - 200;
    { std::lock_guard l(heard.mutex); heard.positions.clear(); }
    r = MoveAndWait(down);
    EXPECT_EQ(r.end, MoveEnd::Arrived) << r.reason;
    const auto seen = heard.Copy(heard.positions);
    ASSERT_FALSE(seen.empty());
    EXPECT_LT(*std::min_element(seen.begin(), seen.end()), down - 30) << "went past the target first";
    EXPECT_LE(std::abs(service->Position() - down), Tolerance());
    // An upward move goes straight there.
    { std::lock_guard l(heard.mutex); heard.positions.clear(); }
    r = MoveAndWait(down + 100);
    const auto up = heard.Copy(heard.positions);
    EXPECT_GE(*std::min_element(up.begin(), up.end()), down - Tolerance());

    // Reverse belongs to the pulse-counted motor only.
    EXPECT_EQ(service->ReverseAvailable(), hub != nullptr);
    EXPECT_EQ(static_cast<bool>(service->SetReverse(true)), hub != nullptr);
    EXPECT_EQ(service->Controller()->ReverseDir(), hub != nullptr);
    service->SetReverse(false);

    // An Optec that never takes serial mode is not open, whatever its port did.
    if (config.kind == ServiceKind::Optec) {
        service->Close();
        const auto optec = std::static_pointer_cast<kvsim::OptecDevice>(device);
        optec->SetIgnoredModeRequests(-1);
        EXPECT_FALSE(service->Open(config).ok);
        optec->SetIgnoredModeRequests(0);  // the simulated device outlives this test
    }
}

// The position and whether it can be trusted survive a restart: a clean
// close keeps it, a move the program never saw end makes it uncertain, sync
// makes it certain again. Focusers that keep their own position report it.
TEST_P(ServiceKinds, PositionAndUncertaintySurviveARestart) {
    // Told which file, and to sync.
    const auto told = [&] {
        const auto alerts = heard.Copy(heard.alerts);
        return !alerts.empty() && alerts.back().find(config.statePath) != std::string::npos &&
               alerts.back().find("sync it") != std::string::npos;
    };
    // A hub never counted here stands wherever it was switched on.
    EXPECT_EQ(service->PositionUncertain(), hub != nullptr);
    if (hub) {
        EXPECT_TRUE(told());
        ASSERT_TRUE(service->Sync(service->Position()));
    }
    const std::int32_t target = service->Position() + 250;
    const MoveRecord moved = MoveAndWait(target);
    EXPECT_EQ(moved.end, MoveEnd::Arrived) << moved.reason;
    const std::int32_t at = service->Position();
    service->Close();
    EXPECT_FALSE(service->IsOpen());
    EXPECT_EQ(std::tuple(service->MoveTo(0).result, service->Sync(0).result), std::tuple(MoveResult::NotOpen, MoveResult::NotOpen));
    Open();
    EXPECT_EQ(service->Position(), at);
    EXPECT_FALSE(service->PositionUncertain());
    if (!hub) {
        EXPECT_EQ(service->Sync(5).result, MoveResult::Unsupported);
        return;
    }
    // The program died during a move: the file still says the move had not ended.
    service->Close();
    PositionStore store(config.statePath);
    PositionState state = store.Load().value();
    EXPECT_EQ(state, (PositionState{at, true, config.device, config.model}));
    state.clean = false;
    ASSERT_TRUE(store.Save(state).ok);
    Open();
    EXPECT_TRUE(service->PositionUncertain());
    EXPECT_EQ(service->Position(), at);
    ASSERT_TRUE(service->Sync(1234));
    EXPECT_EQ(service->Position(), 1234);
    EXPECT_FALSE(service->PositionUncertain());
    EXPECT_EQ(service->Sync(99999).result, MoveResult::OutOfRange);
    service->Close();
    EXPECT_EQ(store.Load()->position, 1234);
    EXPECT_TRUE(store.Load()->clean);

    // The program died mid-move, and another model on the same file: the
    // count was not made by this focuser.
    for (const bool clean : {false, true}) {
        ASSERT_TRUE(store.Save({1234, clean, config.device, config.model}).ok);
        if (clean) config.model = config.model == std::string("Default") ? "JMI NGF-S" : "Default";
        Open();
        EXPECT_TRUE(service->PositionUncertain()) << clean;
        EXPECT_TRUE(told()) << clean;
        service->Close();
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServiceKinds,
                         ::testing::Values(KindCase{"HubCounting", ServiceKind::Hub, "Default", false},
                                           KindCase{"HubHighResolution", ServiceKind::Hub, "JMI NGF-S", true},
                                           KindCase{"RoboFocus", ServiceKind::RoboFocus, "RoboFocus", false},
                                           KindCase{"Optec", ServiceKind::Optec, "Optec TCF-S", false}),
                         [](const auto& param) { return std::string(param.param.name); });

class HubService : public ::testing::Test {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        hub = kvsim::HubFor("hub-watch");
        hub->SetParameters({.fastSpeed = 1000.0, .slowSpeed = 100.0});
        config.device = "sim:hub-watch";
        config.model = "Default";
        config.cataloguePath = kCatalogue;
        config.statePath = (dir.Path() / "hub.state").string();
        service.SetListener(heard.Listener());
    }
    TempDir dir;
    Heard heard;
    ServiceConfig config;
    std::shared_ptr<kvsim::HubSimulator> hub;
    FocuserService service;
};

// The motor watch's endings: an encoder that does not count stalls the move,
// an unplugged hub loses it (and the position becomes uncertain), and a bad
// device or model fails the open with what to do.
TEST_F(HubService, StallAndLostPortEndMovesWithTheirReasons) {
    // A high-resolution model on a hub whose encoder is not: every pulse counts +1 then -1.
    config.model = "JMI NGF-S";
    config.prepareDevice = [this](const std::string& device, bool hiRes) {
        EXPECT_EQ(device, "sim:hub-watch");
        EXPECT_TRUE(hiRes);
    };
    ASSERT_TRUE(service.Open(config).ok);
    ASSERT_TRUE(service.SetLimits({-5000, 5000}));
    ASSERT_TRUE(service.Sync(1000));  // the engine's count now runs from another zero than the position
    ASSERT_TRUE(service.MoveTo(750));
    MoveRecord r = service.WaitIdle(30000).value();
    EXPECT_EQ(r.end, MoveEnd::Stalled);
    EXPECT_NE(r.reason.find("stayed at position " + std::to_string(r.position) + " "), std::string::npos) << r.reason;
    EXPECT_NE(r.reason.find("Check that the motor turns"), std::string::npos) << r.reason;
    EXPECT_TRUE(Eventually([&] { return !heard.Copy(heard.alerts).empty(); })) << "the engine's message reaches the listener";
    service.Close();

    config.model = "Default";
    config.prepareDevice = {};
    config.temperaturePeriodMs = 100;
    ASSERT_TRUE(service.Open(config).ok);
    ASSERT_TRUE(service.SetLimits({-5000, 5000}));
    ASSERT_TRUE(service.MoveTo(-3000));
    hub->ClearRecord();
    ASSERT_TRUE(Eventually([&] { return service.Position() < -50; }));
    EXPECT_FALSE(PositionStore(config.statePath).Load()->clean) << "a running move is on disk as uncertain";
    // The temperature unit is left alone while the motor runs, however often it is read otherwise.
    std::this_thread::sleep_for(500ms);
    const auto sent = hub->Record();
    EXPECT_TRUE(std::none_of(sent.begin(), sent.end(), [](const auto& e) { return e.bytes.find("KTR") != std::string::npos; }));
    hub->SetVanished(true);
    r = service.WaitIdle(30000).value();
    EXPECT_EQ(r.end, MoveEnd::Lost);
    EXPECT_NE(r.reason.find("sync the position"), std::string::npos) << r.reason;
    EXPECT_TRUE(service.PositionUncertain());
    service.Close();
    EXPECT_FALSE(PositionStore(config.statePath).Load()->clean) << "the uncertainty outlives the program";
    hub->SetVanished(false);

    for (const auto& [device, model, says] :
         {std::tuple{"/dev/kessivane-no-such-port", "Default", "/dev/kessivane-no-such-port"},
          std::tuple{"sim:hub-watch", "No Such Focuser", "No Such Focuser"}}) {
        config.device = device, config.model = model;
        const OpenResult failed = service.Open(config);
        EXPECT_FALSE(failed.ok);
        EXPECT_NE(failed.message.find(says), std::string::npos) << failed.message;
        EXPECT_FALSE(service.IsOpen());
    }
}

// A motor that runs on after the halt (its pulses keep coming, one every
// 5 ms, whatever the lines say), on a pseudo-terminal, which has no lines.
class RunawayLines : public PosixSerialPort::ModemIo {
    bool Get(int, int& bits) override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch()).count();
        return (bits = (ms / 5) % 2 != 0 ? TIOCM_CTS : 0, true);
    }
    bool Set(int, int, bool) override { return true; }
    bool CtsCount(int, std::uint64_t&) override { return false; }
};

// Close refuses the moves asked while it waits for the halt (none may race
// it), and a halt that never finishes leaves the position uncertain instead
// of recording a clean halt.
TEST_F(HubService, CloseRefusesMovesFromItsStartAndAnUnfinishedHaltLeavesThePositionUncertain) {
    Pty line;
    kvsim::RegisterSimulatedDevice("runaway", [path = line.Path()](const std::string&) {
        return std::make_unique<PosixSerialPort>(path, std::make_shared<RunawayLines>());
    });
    config.device = "sim:runaway";
    ASSERT_TRUE(service.Open(config).ok);
    ASSERT_TRUE(service.MoveTo(5000));
    std::atomic<bool> closed{false};
    std::thread closing([&] { service.Close(), closed = true; });
    EXPECT_TRUE(Eventually([&] { return !service.MoveTo(100, WhenBusy::Replace); }));
    EXPECT_FALSE(closed);
    closing.join();
    EXPECT_EQ(service.LastMove()->end, MoveEnd::TimedOut) << service.LastMove()->reason;
    EXPECT_FALSE(PositionStore(config.statePath).Load()->clean);
}

// A machine too busy to run the counting thread: the motor turns while no
// count is read. The motor watch does not take that for a stall, and a move
// (arrived or halted) ends only once the motor is at rest, where it stands.
TEST_F(HubService, ACountingThreadHeldBackNeitherStallsNorEndsAMoveEarly) {
    ASSERT_TRUE(service.Open(config).ok);
    ASSERT_TRUE(service.SetLimits({-5000, 5000}));
    for (const bool halt : {false, true}) {
        const std::int32_t start = service.Position();
        const std::int32_t target = halt ? 0 : -3000;
        ASSERT_TRUE(service.MoveTo(target));
        ASSERT_TRUE(Eventually([&] { return std::abs(service.Position() - start) > 50; }));
        hub->HoldReader(true);
        if (halt) service.Halt();
        std::this_thread::sleep_for(1500ms);
        hub->HoldReader(false);
        const MoveRecord r = service.WaitIdle(30000).value();
        EXPECT_EQ(r.end, halt ? MoveEnd::Halted : MoveEnd::Arrived) << r.reason;
        ASSERT_TRUE(hub->WaitUntilStopped(5s));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(r.position, service.Position()) << "ended at rest";
        if (!halt) {
            EXPECT_LE(std::abs(r.position - target), kServiceLandingSteps);
        }
    }
}

// The compensation rule: minimum correction, the ignore limit, and targets
// reckoned from the base so that landing errors do not add up.
TEST(CompensationStep, MinimumIgnoreAndTargetsFromTheBase) {
    CompensationConfig c;
    c.enabled = true, c.coefficient = 12.0, c.minSteps = 5, c.ignoreEnabled = true, c.ignoreSteps = 100;
    struct Row {
        std::optional<double> baseTemp;
        double now;
        std::int32_t position;
        std::optional<std::int32_t> target;
        bool ignored;
        CompensationBase after;
    } rows[] = {
        {std::nullopt, 10.0, 40, std::nullopt, false, {10.0, 40}},  // no base yet: answers for now
        {10.0, 9.7, 1000, std::nullopt, false, {10.0, 1000}},      // 3.6 counts: below the minimum, kept
        {10.0, 9.5, 1000, 1006, false, {10.0, 1000}},             // -6 counts: sense -1 moves out
        {10.0, 9.6, 1000, 1005, false, {10.0, 1000}},             // 4.8 rounds to 5
        {10.0, 9.5, 1008, std::nullopt, false, {10.0, 1000}},     // the last landing ran on: 2 to go, wait
        {10.0, 8.5, 1008, 1018, false, {10.0, 1000}},             // ... and the target comes from the base
        {10.0, 1.0, 1000, std::nullopt, true, {1.0, 1000}},       // 108 counts: not believed, afresh
        {10.0, 10.0 - 100 / 12.0, 1000, 1100, false, {10.0, 1000}},  // exactly the limit is believed
    };
    for (const Row& row : rows) {
        const CompensationBase base{row.baseTemp, 1000};
        const auto d = CompensationStep(c, base, row.now, row.position, -1);
        EXPECT_EQ(d.target, row.target) << row.now << " at " << row.position;
        EXPECT_EQ(d.ignored, row.ignored) << row.now;
        EXPECT_EQ(d.newBase.temp, row.after.temp) << row.now;
        EXPECT_EQ(d.newBase.position, row.baseTemp ? row.after.position : row.position) << row.now;
    }
    EXPECT_EQ(CompensationLogLine(-2.345, -7, "Service"), "Temp Comp: T: -2.35 C, Steps: -7, Service");
}

// A night cooling 10 degrees in an hour: scheduled corrections keep the
// focuser within 2 steps of what the coefficient predicts, never move during
// a client's move or while a client holds compensation, and re-base on the
// position the client chose.
TEST_F(HubService, CompensationFollowsACoolingNightAndNeverFightsAClient) {
    auto& night = kvsim::Observatory::Instance();
    night.StartNight({.startTemperatureC = 10.0, .temperatureRateCPerHour = -10.0, .stepsPerDegree = -12.0});
    night.SetNightSeconds(0.0);
    config.temperaturePeriodMs = 100;
    ASSERT_TRUE(service.Open(config).ok);
    ASSERT_TRUE(service.SetLimits({-5000, 5000}));
    ASSERT_TRUE(Eventually([&] { return service.Temperature().has_value(); }));
    EXPECT_NEAR(*service.Temperature(), 10.0, 0.2);

    CompensationConfig c;
    c.enabled = true, c.periodMs = 1000, c.clientHoldMs = 3000;
    EXPECT_EQ(service.SetCompensation(c).result, MoveResult::Unsupported) << "no coefficient";
    c.coefficient = 12.0;  // counts per degree, as the window learns it
    ASSERT_TRUE(service.SetCompensation(c));
    const std::int32_t start = service.Position();
    const double t0 = *service.Temperature();
    auto predicted = [&] { return start - 12.0 * (*service.Temperature() - t0); };
    // A simulated minute at a time; the watch reads and corrects on its own.
    for (int minute = 1; minute <= 60; ++minute) {
        night.SetNightSeconds(minute * 60.0);
        ASSERT_TRUE(Eventually([&] {
            return !service.Moving() && service.Temperature() &&
                   std::abs(*service.Temperature() - (10.0 - minute / 6.0)) < 0.15 &&
                   std::abs(service.Position() - predicted()) <= 2.0;
        }, 15s)) << "minute " << minute << " at " << service.Position() << " predicted " << predicted() << " T "
                  << service.Temperature().value_or(-99);
        if (minute == 30) {
            // A client's move mid-ramp: nothing corrects while it runs or during the hold.
            const std::int32_t mine = service.Position() + 400;
            const std::size_t corrections = heard.Copy(heard.compensation).size();
            ASSERT_TRUE(service.MoveTo(mine));
            night.SetNightSeconds(31 * 60.0);
            const MoveRecord r = service.WaitIdle(30000).value();
            EXPECT_FALSE(r.compensation);
            EXPECT_EQ(r.end, MoveEnd::Arrived) << r.reason;
            std::this_thread::sleep_for(300ms);
            const std::int32_t chosen = service.Position();
            std::this_thread::sleep_for(1200ms);
            EXPECT_EQ(heard.Copy(heard.compensation).size(), corrections) << "held after the client's move";
            EXPECT_EQ(service.Position(), chosen) << "the client's position stands";
            // From here the prediction starts at the client's position and temperature.
            ASSERT_TRUE(Eventually([&] { return heard.Copy(heard.compensation).size() > corrections; }, 15s));
            break;
        }
    }
    // A client's move is never refused for a correction that runs: it takes its place.
    night.SetNightSeconds(45 * 60.0);
    ASSERT_TRUE(Eventually([&] { return service.Moving(); }, 15s));
    const Answer mine = service.MoveBy(-30);
    EXPECT_TRUE(mine) << mine.message;
    EXPECT_FALSE(service.WaitIdle(30000)->compensation);
    std::this_thread::sleep_for(300ms);
    // Held by a client's auto focus: no correction however far it cools.
    service.HoldCompensation(true);
    const std::int32_t held = service.Position();
    night.SetNightSeconds(50 * 60.0);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(service.Position(), held);
    EXPECT_FALSE(service.CompensateNow().has_value());
    service.HoldCompensation(false);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(service.Position(), held) << "released: the client's focus answers for now";
    const auto log = heard.Copy(heard.compensation);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().rfind("Temp Comp: T: ", 0), 0u) << log.front();
    night.SetNightSeconds(std::nullopt);
}

// The state file's text is the same in any locale and refuses what it did not write.
TEST(PositionStore, TextRoundTripsAndDamageIsRefused) {
    const PositionState s{-123456, false, "/dev/ttyUSB0", "JMI\nNGF-S"};
    const std::string text = FormatPositionState(s);
    EXPECT_EQ(text, "position=-123456\nclean=0\ndevice=/dev/ttyUSB0\nmodel=JMI NGF-S\n");
    EXPECT_EQ(ParsePositionState(text), (PositionState{-123456, false, "/dev/ttyUSB0", "JMI NGF-S"}));
    for (const char* bad : {"", "clean=1\n", "position=1\n", "position=1\nclean=2\n", "position=99999999999\nclean=1\n",
                            "position= 5\nclean=1\n", "position=1000000001\nclean=1\n", "position=-1000000001\nclean=1\n"}) {
        EXPECT_FALSE(ParsePositionState(bad).has_value()) << bad;
    }
    EXPECT_EQ(ParsePositionState("position=-1000000000\nclean=1\n")->position, -1000000000) << "the service's whole range";
    EXPECT_EQ(ParsePositionState("position=1000000000\nclean=1\n")->position, 1000000000);

    // One file for the device, whichever face opens it; an unset or relative
    // XDG_STATE_HOME falls back to the home's.
    for (const auto& [device, xdg, home, path] :
         {std::tuple<const char*, const char*, const char*, std::string>{"sim:hub", "/x/state", "/home/u",
                                                                          "/x/state/kessivane/focuser-sim_hub.state"},
          {"/dev/serial/by-id/usb-FTDI  x:1", nullptr, "/home/u",
           "/home/u/.local/state/kessivane/focuser-dev_serial_by-id_usb-FTDI_x_1.state"},
          {"sim:hub", "rel", "/home/u", "/home/u/.local/state/kessivane/focuser-sim_hub.state"},
          {"sim:hub", nullptr, nullptr, ""}}) {
        EXPECT_EQ(FocuserStatePath(device, xdg, home), path) << device;
    }
    for (const char* odd : {"", "/", "..", "../.."}) {
        const std::string part = SanitisedDevice(odd);
        EXPECT_TRUE(!part.empty() && part.find('/') == std::string::npos && part.find_first_not_of('.') != std::string::npos)
            << odd << " -> " << part;
    }
    TempDir dir;
    const PositionStore store((dir.Path() / "deep" / "er" / "f.state").string());
    EXPECT_FALSE(store.Load().has_value());
    ASSERT_TRUE(store.Save(s).ok) << "makes its folder";
    std::string error;
    const std::optional<PositionState> loaded = store.Load(&error);
    EXPECT_EQ(std::pair(loaded->position, error), std::pair(-123456, std::string()));
    const PositionStore blocked((dir.Path() / "deep" / "er" / "f.state" / "x").string());
    const StoreResult failed = blocked.Save(s);
    EXPECT_FALSE(failed.ok);
    EXPECT_NE(failed.error.find("f.state"), std::string::npos) << failed.error;
}

}  // namespace
}  // namespace kv::test
