// The simulated port and devices, and the drivers on them with the line
// misbehaving: no crash, no hang, and no position the focuser never had.
#include <gtest/gtest.h>

#include <future>

#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "platform/named_event.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/robofocus_simulator.h"
#include "sim/sim_devices.h"
#include "sim/sim_port.h"
#include "../focuser/focuser_test_support.h"
#include "support/eventually.h"

namespace kv::test {
namespace {

constexpr std::int64_t kStart = 3000;

// Waits until the focuser has been quiet long enough for the replies to its
// opening queries to be through. A RoboFocus is asked for its configuration
// last, once, and its simulator answers as it hears: that reply is on its way.
void Settle(const kvsim::ProtocolDevice* roboFocus = nullptr) {
    if (!roboFocus) return std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(Eventually([&] { return roboFocus->Received().find("FC000000") != std::string::npos; }));
}

// A driver on its in-process simulator, which misbehaves as each test asks.
template <class Device, class Driver>
class OnSim : public ::testing::Test {
protected:
    static constexpr bool kRoboFocus = std::is_same_v<Driver, TRFFocusControl>;
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        kvsim::Observatory::Instance().SetTruePosition(kStart);
        const std::string name = kRoboFocus ? "robofocus-faults" : "optec-faults";
        if constexpr (kRoboFocus) {
            device = kvsim::RoboFocusFor(name);
        } else {
            device = kvsim::OptecFor(name);
        }
        device->SetMicrosPerStep(100);
        device->SetFault(kvsim::ProtocolFault::None);
        focuser = std::make_unique<Driver>(dialogs);
        focuser->SetPortResolver([name](int) { return "sim:" + name; });
        if constexpr (kRoboFocus) focuser->SetReverseDir(true);
        ASSERT_TRUE(focuser->OpenPort());
        ASSERT_TRUE(!kRoboFocus || Eventually([&] { return focuser->MaxTravel() > 0; }));
        Settle(kRoboFocus ? device.get() : nullptr);
    }
    void TearDown() override {
        focuser.reset();
        if (device) device->SetFault(kvsim::ProtocolFault::None);
    }
    std::int64_t DeviceCount() const { return device->Position() - focuser->StartCount(); }
    // With the line clean again, a fresh start and a plain move are right.
    void ExpectRecovers(std::int32_t steps) {
        focuser->StopMove();
        EXPECT_TRUE(focuser->GetIdle());
        device->SetFault(kvsim::ProtocolFault::None);
        std::this_thread::sleep_for(200ms);
        device->ClearReceived();
        focuser->ResetPosition();
        ASSERT_TRUE(Eventually([&] { return focuser->StartCount() == device->Position(); }));
        Settle(kRoboFocus ? device.get() : nullptr);
        focuser->MoveBy(steps);
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
        EXPECT_EQ(std::tuple(focuser->CTSCount(), DeviceCount()), std::tuple(steps, std::int64_t{steps}));
    }
    // Play between the counted drive and the optics: the count stays exact, and
    // a reversal moves the optics only once the drive has turned through the play.
    void ExpectBacklash() {
        kvsim::Observatory& sky = kvsim::Observatory::Instance();
        sky.SetBacklash(30);
        // A first run takes the play up; then reversals shorter and longer than it.
        const struct { std::int32_t steps; std::int64_t opticsMoved; } moves[] = {{100, -1}, {-20, 0}, {-50, 40}, {50, 20}};
        std::int32_t count = 0;
        for (const auto& m : moves) {
            const std::int64_t drive = sky.DrivePosition(), optics = sky.TruePosition();
            focuser->MoveBy(m.steps);
            ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled) << m.steps;
            count += m.steps;
            EXPECT_EQ(std::tuple(focuser->CTSCount(), std::abs(sky.DrivePosition() - drive)),
                      std::tuple(count, std::int64_t{std::abs(m.steps)}));
            EXPECT_TRUE(m.opticsMoved < 0 || std::abs(sky.TruePosition() - optics) == m.opticsMoved) << m.steps;
        }
        sky.SetBacklash(0);
    }
    RecordingDialogs dialogs;
    std::shared_ptr<Device> device;
    std::unique_ptr<Driver> focuser;
    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
};
template <class Device, class Driver>
class Faults : public OnSim<Device, Driver>, public ::testing::WithParamInterface<kvsim::ProtocolFault> {};
using RoboFocusFaults = Faults<kvsim::RoboFocusDevice, TRFFocusControl>;
using OptecFaults = Faults<kvsim::OptecDevice, TOFocusControl>;
using RoboFocusOnSim = OnSim<kvsim::RoboFocusDevice, TRFFocusControl>;
using OptecOnSim = OnSim<kvsim::OptecDevice, TOFocusControl>;
TEST_F(RoboFocusOnSim, AReversalTurnsTheDriveThroughThePlayBeforeTheOpticsMove) { ExpectBacklash(); }
TEST_F(OptecOnSim, AReversalTurnsTheDriveThroughThePlayBeforeTheOpticsMove) { ExpectBacklash(); }

TEST_P(RoboFocusFaults, NoWrongPositionIsBelievedAndTheDriverRecovers) {
    const auto fault = GetParam();
    device->SetFault(fault);
    focuser->MoveBy(300);
    const WaitResult r = general->Wait(std::chrono::milliseconds(focuser->StallLimitMs() + 2000));
    ASSERT_TRUE(Eventually([&] { return !device->Moving(); }));
    std::this_thread::sleep_for(100ms);
    if (fault == kvsim::ProtocolFault::Garbage || fault == kvsim::ProtocolFault::Duplicates) {
        EXPECT_EQ(std::tuple(r, focuser->CTSCount()), std::tuple(WaitResult::Signalled, 300));
    }
    if (fault == kvsim::ProtocolFault::CutReplies || fault == kvsim::ProtocolFault::SilenceMidMove) {
        // The end is never reported: the stall watch ends the move and says so.
        EXPECT_TRUE(r == WaitResult::Signalled && focuser->GetIdle());
        ASSERT_EQ(dialogs.Deferred().size(), 1u);
        EXPECT_NE(dialogs.Deferred().front().find("stayed at position"), std::string::npos);
        EXPECT_EQ(focuser->CTSCount(), DeviceCount()) << "every step reported really happened";
    }
    ExpectRecovers(-40);
}

TEST_P(OptecFaults, NoWrongPositionIsBelievedAndTheDriverRecovers) {
    const auto fault = GetParam();
    device->SetFault(fault);
    focuser->MoveBy(120);
    const WaitResult r = general->Wait(3s);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(Eventually([&] { return !device->Moving(); }));
    const std::int32_t count = focuser->CTSCount();
    EXPECT_TRUE(fault != kvsim::ProtocolFault::Garbage || (r == WaitResult::Signalled && count == 120)) << count;
    EXPECT_TRUE(fault != kvsim::ProtocolFault::Duplicates || count == DeviceCount()) << count << " " << DeviceCount();
    // Only complete replies count: the position lags behind, never runs ahead.
    EXPECT_TRUE(fault != kvsim::ProtocolFault::CutReplies || (count >= 0 && count <= DeviceCount())) << count;
    ExpectRecovers(-30);
}

const auto kEveryFault = ::testing::Values(kvsim::ProtocolFault::Garbage, kvsim::ProtocolFault::RandomBursts,
                                           kvsim::ProtocolFault::CutReplies, kvsim::ProtocolFault::Duplicates,
                                           kvsim::ProtocolFault::SilenceMidMove);
INSTANTIATE_TEST_SUITE_P(Each, RoboFocusFaults, kEveryFault);
INSTANTIATE_TEST_SUITE_P(Each, OptecFaults, kEveryFault);

// The six-byte commands received, optionally without the position queries.
std::vector<std::string> Commands(const std::string& received, bool withQueries = true) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i + 6 <= received.size(); i += 6) {
        if (withQueries || received.compare(i, 6, "FPOSRO") != 0) out.push_back(received.substr(i, 6));
    }
    return out;
}

// Out in shrinking steps, each sent after the position reply to the one
// before; a small move in goes one step at a time.
TEST_F(OptecOnSim, MovesApproachInShrinkingStepsAndImpossibleOnesSendNothing) {
    device->ClearReceived();
    focuser->MoveBy(100);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle() && device->Position() == 3100) << device->Position();
    std::vector<std::string> expected{"FO0020"};
    expected.insert(expected.end(), 4, "FO0010");
    expected.insert(expected.end(), 6, "FO0005");
    expected.insert(expected.end(), 10, "FO0001");
    const auto all = Commands(device->Received());
    EXPECT_EQ(Commands(device->Received(), false), expected);
    for (std::size_t i = 1; i < all.size(); ++i) {
        EXPECT_TRUE(all[i] == "FPOSRO" || all[i - 1] == "FPOSRO") << "command " << i << " sent unasked";
    }

    device->ClearReceived();
    focuser->SetLogCommands(true);
    (void)TakeComLog();
    focuser->MoveBy(-7);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    const auto log = TakeComLog();
    EXPECT_TRUE(Contains(log, "RX:  P=3093") && Contains(log, "TX:  FI0001"));
    EXPECT_EQ(Commands(device->Received(), false), std::vector<std::string>(7, "FI0001"));
    EXPECT_EQ(std::tuple(focuser->CTSCount(), device->Position()), std::tuple(93, std::int64_t{3093}));

    // A null move and one beyond the travel end at once without a command.
    device->ClearReceived();
    for (const std::int32_t impossible : {0, 7001}) {
        focuser->MoveBy(impossible);
        EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled) << impossible;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(focuser->GetIdle() && Commands(device->Received(), false).empty());
    ASSERT_EQ(dialogs.Deferred().size(), 1u);
    EXPECT_NE(dialogs.Deferred()[0].find("7001"), std::string::npos);
}

// A position reply that was asked for before a move began (opening the
// port asks twice) must not send the next step while the focuser still runs
// the first: the focuser ignores it and the move ends short.
TEST_F(OptecOnSim, ALateReplyToAnEarlierQueryDoesNotCutAMoveShort) {
    device->SetMicrosPerStep(2000);
    focuser->FocusCommand("FPOSRO");
    focuser->MoveBy(400);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(std::pair(device->Position(), focuser->CTSCount()), std::pair(std::int64_t{3400}, 400));
}

TEST_F(OptecOnSim, SerialModeIsAskedForUpToTwentyOneTimesAndOnlyItsAbsenceIsReported) {
    for (const int ignored : {20, -1}) {  // answered at the last try, never answered
        device->SetIgnoredModeRequests(ignored);
        ASSERT_TRUE(focuser->OpenPort());
        EXPECT_EQ(std::tuple(focuser->SerialMode(), device->ModeRequests()), std::tuple(ignored >= 0, 21));
        EXPECT_EQ(dialogs.Texts(), ignored >= 0 ? Strings{} : Strings{kOptecNoSessionText});
    }

    device->SetIgnoredModeRequests(0);
    ASSERT_TRUE(focuser->OpenPort() && device->SerialMode());
    focuser.reset();
    EXPECT_FALSE(device->SerialMode()) << "destruction leaves serial mode";
}

TEST_F(OptecOnSim, ACorrectedCountIsReportedWithoutHoldingTheReaderThread) {
    std::atomic<bool> once{false};
    std::vector<std::int32_t> seen;  // reader thread only, until the port is closed
    focuser->SetOnCTSChange([&](TFocusControl& f, std::int32_t count, bool) {
        seen.push_back(count);
        if (count != 0 && !once.exchange(true)) f.ResetPosition();  // the count moves under the reply
    });
    focuser->MoveBy(5);
    ASSERT_TRUE(Eventually([&] { return !dialogs.Deferred().empty() || !dialogs.Texts().empty(); }));
    focuser->ClosePort();
    // A message box would hold the reader thread, which closing the port joins.
    EXPECT_EQ(std::pair(dialogs.Texts().size(), dialogs.Deferred()), std::pair(0ul, std::vector<std::string>{kOptecCorrectedText}));
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(std::pair(seen[1], seen[2]), std::pair(0, seen[0])) << "the count is taken from the reply again";
}

using namespace kvsim;

using Clock = std::chrono::steady_clock;

class RecordingDevice : public SimulatedSerialPort {
public:
    using SimulatedSerialPort::SimulatedSerialPort;
    ~RecordingDevice() override { Close(); }

    // Called on the test's own thread, while it writes or sets the lines.
    std::vector<std::pair<bool, bool>> lines;
    std::string received;
    int closes = 0;

protected:
    void OnReceived(std::string_view b) override { received += b; }
    void OnLinesChanged(bool rts, bool dtr) override { lines.emplace_back(rts, dtr); }
    void OnClose() override { ++closes; }
};

TEST(SimulatedSerialPort, BoundedReadsTakeExactlyWhatWasAskedAndOnlyRealLineChangesReachTheDevice) {
    RecordingDevice port("sim:test");
    ASSERT_TRUE(port.Open({9600, true}));
    port.DeviceSend(std::string("KTR\0" "03YES!", 10));  // the NUL is dropped: nine bytes
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadExactly(10, 300ms), "");
    EXPECT_GE(Clock::now() - start, 250ms);
    // The failed read has used up the partial reply.
    port.DeviceSend("KTR03YES!!tail");
    EXPECT_EQ(port.ReadExactly(10, kLong), "KTR03YES!!");
    char buf[16];
    EXPECT_EQ(std::string(buf, port.ReadSome(buf, sizeof buf, kLong)), "tail");
    EXPECT_EQ(port.ReadSome(buf, sizeof buf, 20ms), 0u);

    port.DeviceSend("stale");
    port.Purge();
    EXPECT_EQ(port.ReadSome(buf, sizeof buf, 20ms), 0u);
    EXPECT_TRUE(port.Write("abc", kLong) && port.Write("def", kLong) && port.received == "abcdef") << port.received;

    // RTS is already low at first, and high at the second time: nothing to report.
    EXPECT_TRUE(port.SetRts(false) && port.SetDtr(true) && port.SetRts(true) && port.SetRts(true));
    port.Close();
    EXPECT_EQ(port.lines, (std::vector<std::pair<bool, bool>>{{false, true}, {true, true}, {false, false}}));
    // A reopened port starts with both lines low.
    ASSERT_TRUE(port.Open({}) && port.SetDtr(true));
    EXPECT_EQ(port.lines.back(), std::make_pair(false, true));
}

TEST(SimulatedSerialPort, CloseOrAVanishedDeviceReleasesReadsAndWaitsAndFailsWhatFollows) {
    for (const bool vanish : {false, true}) {
        SCOPED_TRACE(vanish ? "vanished" : "closed");
        RecordingDevice port("sim:test");
        ASSERT_TRUE(port.Open({}));
        auto read = std::async(std::launch::async, [&] { return port.ReadExactly(10, kLong); });
        auto wait = std::async(std::launch::async, [&] { return port.WaitForCtsChange(kLong); });
        std::this_thread::sleep_for(50ms);
        const auto start = Clock::now();
        vanish ? port.DeviceSetVanished(true) : port.Close();
        EXPECT_EQ(read.get(), "");
        const kv::SerialWait ended = vanish ? kv::SerialWait::Failed : kv::SerialWait::Closed;
        EXPECT_EQ(wait.get(), ended);
        EXPECT_LT(Clock::now() - start, 5s);
        EXPECT_FALSE(port.Write("x", kLong) || port.SetRts(true) || port.GetModemLines());
        port.Close();  // closing a closed port does nothing
        EXPECT_EQ(std::tuple(port.closes, port.WaitForCtsChange(kLong), port.OutputFree()), std::tuple(1, ended, 0u));
        EXPECT_EQ(port.Open({}), !vanish);  // a vanished device cannot be opened until it comes back
        port.DeviceSetVanished(false);
        port.Close();
        ASSERT_TRUE(port.Open({}));
        EXPECT_TRUE(port.Write("x", kLong));
    }
}

class HubTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallSimulatedPorts();
        ResetSimulatedDevices();
        hub = HubFor("hub");
        port = kv::CreateSerialPort("sim:hub");
        ASSERT_TRUE(port);
    }
    void TearDown() override {
        port.reset();
        ResetSimulatedDevices();
    }

    void Params(double speed, double lagMs, double coast, bool dualSense = false) {
        hub->SetParameters({.fastSpeed = speed, .slowSpeed = speed / 4, .startLagMs = lagMs, .coastCounts = coast,
                            .dualSense = dualSense, .replyDelayMs = 0});
    }
    bool Send(std::string_view s) { return port->Write(s, kv::kSerialWriteTimeout); }
    std::string Query(const std::string& request) {
        port->Purge();
        if (!Send(request + "\r")) return "<write failed>";
        return port->ReadExactly(kHubReplyLength, 300ms);
    }
    // Runs the motor one way until the count has gone `counts` further, then stops it.
    void RunFor(const std::string& command, std::int64_t counts) {
        const std::int64_t target = hub->EncoderCount() + (command == ":F-#" ? counts : -counts);
        ASSERT_TRUE(Send(command) && hub->WaitForCount(target, kLong) && Send(":FQ#") && hub->WaitUntilStopped(kLong));
    }

    std::shared_ptr<HubSimulator> hub;
    std::unique_ptr<kv::ISerialPort> port;
};

// The line patterns themselves are driven by the focuser's line-mode tests.
TEST_F(HubTest, ATextRunIgnoresUnchangedLinesAndALineRunReversesWithDtrAndStopsAtClose) {
    Params(200, 0, 0);
    ASSERT_TRUE(port->Open({}));
    // Text commands, and a text run is not stopped by lines that do not change.
    ASSERT_TRUE(Send(":F+#") && port->SetRts(false) && Send(":FS#"));
    EXPECT_EQ(std::tuple(hub->Direction(), hub->FastSpeed()), std::tuple(-1, false));
    EXPECT_TRUE(Send(":FQ#") && hub->WaitUntilStopped(kLong) && Send(":FF#") && hub->FastSpeed());

    // Flipping DTR reverses a line-mode run; closing the port drops the lines and so stops it.
    ASSERT_TRUE(port->SetDtr(true) && port->SetRts(true));
    EXPECT_EQ(hub->Direction(), +1);
    ASSERT_TRUE(port->SetDtr(false));
    EXPECT_EQ(hub->Direction(), -1);
    port->Close();
    EXPECT_TRUE(hub->WaitUntilStopped(kLong));
}

TEST_F(HubTest, TheMotorLagsAtStartAndCoastsAfterAStop) {
    ASSERT_TRUE(port->Open({}));
    // A pulse shorter than the start-up lag does not move the shaft at all.
    Params(1000, 5000, 5);
    const std::int64_t start = hub->EncoderCount();
    ASSERT_TRUE(Send(":F-#"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(hub->State(), MotorState::Starting);
    ASSERT_TRUE(Send(":FQ#"));
    EXPECT_EQ(std::tuple(hub->State(), hub->EncoderCount()), std::tuple(MotorState::Off, start));

    // Slow enough that the count hardly moves between the stop and reading it.
    Params(20, 0, 5);
    ASSERT_TRUE(Send(":F-#") && hub->WaitForCount(start + 10, kLong) && Send(":FQ#"));
    const std::int64_t atStop = hub->EncoderCount();
    EXPECT_EQ(hub->State(), MotorState::Coasting);
    ASSERT_TRUE(hub->WaitUntilStopped(kLong));
    EXPECT_NEAR(static_cast<double>(hub->EncoderCount() - atStop), 5.0, 1.0);

    // A run never coasts further than it went: a short run coasts less.
    Params(20, 0, 50);
    const std::int64_t before = hub->EncoderCount();
    ASSERT_TRUE(Send(":F+#") && hub->WaitForCount(before - 2, kLong) && Send(":FQ#") && hub->WaitUntilStopped(kLong));
    EXPECT_GE(hub->EncoderCount(), before - 6);
}

TEST_F(HubTest, TemperatureUnitAnswersTheQueries) {
    // An hour a second: 0.01 degree per millisecond.
    Observatory::Instance().StartNight({.startTemperatureC = 10.0, .temperatureRateCPerHour = -36.0, .timeScale = 3600.0});
    ASSERT_TRUE(port->Open({}));

    // Offsets outside 220..250 or unreadable leave the register unchanged.
    for (auto [request, reply] : {std::pair{"KTR00?????", "KTR0110203"}, {"KTR02?????", "KTR03YES!!"},
                                  {"KTR04?????", "KTR0500235"}, {"KTR0600042", "KTR0700235"},
                                  {"KTR0600251", "KTR0700235"}, {"KTR0600220", "KTR0700220"},
                                  {"KTR0600250", "KTR0700250"}, {"KTR06abcde", "KTR0700250"}}) {
        EXPECT_EQ(Query(request), reply) << request;
    }
    EXPECT_EQ(hub->Offset(), 250);

    // The offset register shifts the reading by whole degrees around 235.
    const std::string warm = Query("KTR08?????");
    ASSERT_TRUE(warm.size() == kHubReplyLength && warm.starts_with("KTR09")) << warm;
    const double withOffset = std::stod(warm.substr(5));
    EXPECT_NEAR(withOffset, Observatory::Instance().TemperatureC() + 15.0, 0.5);
    ASSERT_EQ(Query("KTR0600235"), "KTR0700235");
    std::this_thread::sleep_for(300ms);  // three simulated degrees colder
    const double later = std::stod(Query("KTR08?????").substr(5));
    EXPECT_LT(later, withOffset - 15.0 - 1.0);

    // A request needs its carriage return; LX-200 commands and keep-alives get no answer.
    port->Purge();
    ASSERT_TRUE(Send("KTR00?????") && Send("5:FQ#"));
    EXPECT_EQ(port->ReadExactly(1, 100ms), "");
    Observatory::Instance().StartNight({});
}

TEST_F(HubTest, RecordsBytesAndLinePatternsInOrderAndItsWatchdogStopsTheMotor) {
    Params(200, 0, 0);
    ASSERT_TRUE(port->Open({}));
    hub->ClearRecord();
    ASSERT_TRUE(Send("5") && port->SetDtr(true) && port->SetRts(true) && Send(":FQ#") && port->SetRts(false) &&
                Send("KTR02?????\r") && Send("5"));

    // Each entry as "B:<bytes>" or "L:<rts><dtr>".
    std::vector<std::string> seen;
    double lastMs = 0;
    for (const HubRecordEntry& e : hub->Record()) {
        seen.push_back(e.kind == HubRecordEntry::Kind::Bytes ? "B:" + e.bytes
                                                              : std::string("L:") + (e.rts ? "1" : "0") + (e.dtr ? "1" : "0"));
        EXPECT_LE(lastMs, e.ms);
        lastMs = e.ms;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"B:5", "L:01", "L:11", "B::FQ#", "L:01", "B:KTR02?????\r", "B:5"}));
    EXPECT_EQ(hub->Commands(), (std::vector<std::string>{":FQ#", "KTR02?????"}));
    EXPECT_EQ(std::tuple(hub->ReceivedBytes(), hub->KeepAlives()), std::tuple(std::string("5:FQ#KTR02?????\r5"), std::uint64_t{2}));

    hub->SetParameters({.fastSpeed = 50, .startLagMs = 0, .keepAliveTimeoutMs = 100});
    ASSERT_TRUE(Send(":F-#") && hub->WaitUntilStopped(kLong));
    EXPECT_TRUE(hub->KeepAliveLost() && Send("5") && !hub->KeepAliveLost());
}

TEST_F(HubTest, PortsAreExclusiveAndNamesAreServedByTheRegistry) {
    ASSERT_TRUE(port->Open({}));
    auto second = kv::CreateSerialPort("sim:hub");
    ASSERT_TRUE(second && !second->Open({}));
    port->Close();
    EXPECT_TRUE(second->Open({}) && hub->PortOpen());

    auto other = kv::CreateSerialPort("sim:hub2");
    EXPECT_TRUE(other && other->Open({}) && HubFor("hub2") != hub && !kv::CreateSerialPort("sim:nothing"));
}

}  // namespace
}  // namespace kv::test
