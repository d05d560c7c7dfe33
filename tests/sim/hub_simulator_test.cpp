#include "sim/hub_simulator.h"

#include <gtest/gtest.h>

#include <thread>

#include "sim/observatory.h"
#include "sim/sim_devices.h"

namespace kvsim {
namespace {

using namespace std::chrono_literals;
constexpr auto kLong = 10s;

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
        ASSERT_TRUE(Send(command));
        ASSERT_TRUE(hub->WaitForCount(target, kLong));
        ASSERT_TRUE(Send(":FQ#"));
        ASSERT_TRUE(hub->WaitUntilStopped(kLong));
    }

    std::shared_ptr<HubSimulator> hub;
    std::unique_ptr<kv::ISerialPort> port;
};

// The focuser's own tests count the edges with its counting thread; here the
// encoder must agree with where the shaft really went, coasting included.
TEST_F(HubTest, TheEncoderFollowsTheShaftInBothModes) {
    for (const bool dualSense : {false, true}) {
        SCOPED_TRACE(dualSense ? "dual sense" : "normal");
        Params(4000, 1, 3, dualSense);
        ASSERT_TRUE(port->Open({}));
        const std::int64_t hubStart = hub->EncoderCount();
        const std::int64_t trueStart = Observatory::Instance().TruePosition();
        for (auto [command, counts] : {std::pair{":F-#", 300}, {":F+#", 120}, {":F-#", 40}, {":F+#", 500}}) {
            RunFor(command, counts);
        }
        // 300 - 120 + 40 - 500, plus whatever ran on before each stop was heard.
        const std::int64_t moved = hub->EncoderCount() - hubStart;
        EXPECT_LT(moved, -100);
        EXPECT_EQ(Observatory::Instance().TruePosition() - trueStart, moved);
        port->Close();
    }
}

TEST_F(HubTest, LinePatternsRunTheMotor) {
    Params(200, 0, 0);
    ASSERT_TRUE(port->Open({}));
    // DTR alone does nothing while RTS is low.
    ASSERT_TRUE(port->SetDtr(true));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(hub->State(), MotorState::Off);
    // RTS high with DTR high: in.
    ASSERT_TRUE(port->SetRts(true));
    EXPECT_EQ(hub->Direction(), +1);
    const std::int64_t start = hub->EncoderCount();
    ASSERT_TRUE(hub->WaitForCount(start + 3, kLong));
    // Flipping DTR while running reverses.
    ASSERT_TRUE(port->SetDtr(false));
    EXPECT_EQ(hub->Direction(), -1);
    ASSERT_TRUE(hub->WaitForCount(start, kLong));
    // A falling RTS stops it; no coasting configured, so it stays put.
    ASSERT_TRUE(port->SetRts(false));
    ASSERT_TRUE(hub->WaitUntilStopped(kLong));
    const std::int64_t stopped = hub->EncoderCount();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(hub->EncoderCount(), stopped);

    // Text commands, and a text run is not stopped by lines that do not change.
    ASSERT_TRUE(Send(":F+#") && port->SetRts(false) && Send(":FS#"));
    EXPECT_EQ(std::pair(hub->Direction(), hub->FastSpeed()), std::pair(-1, false));
    ASSERT_TRUE(Send(":FQ#") && hub->WaitUntilStopped(kLong) && Send(":FF#"));
    EXPECT_TRUE(hub->FastSpeed());

    // Closing the port drops the lines and so stops a line-mode run.
    ASSERT_TRUE(port->SetDtr(true) && port->SetRts(true));
    EXPECT_EQ(hub->Direction(), +1);
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
    EXPECT_EQ(std::pair(hub->State(), hub->EncoderCount()), std::pair(MotorState::Off, start));

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
    ASSERT_EQ(warm.size(), kHubReplyLength);
    EXPECT_EQ(warm.substr(0, 5), "KTR09");
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

TEST_F(HubTest, RecordsBytesAndLinePatternsInOrder) {
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
    EXPECT_EQ(std::pair(hub->ReceivedBytes(), hub->KeepAlives()), std::pair(std::string("5:FQ#KTR02?????\r5"), std::uint64_t{2}));
}

TEST_F(HubTest, SilenceBeyondTheWatchdogStopsTheMotor) {
    hub->SetParameters({.fastSpeed = 50, .startLagMs = 0, .keepAliveTimeoutMs = 100});
    ASSERT_TRUE(port->Open({}));
    ASSERT_TRUE(Send(":F-#") && hub->WaitUntilStopped(kLong));
    EXPECT_TRUE(hub->KeepAliveLost());
    ASSERT_TRUE(Send("5"));
    EXPECT_FALSE(hub->KeepAliveLost());
}

TEST_F(HubTest, PortsAreExclusiveAndNamesAreServedByTheRegistry) {
    ASSERT_TRUE(port->Open({}));
    auto second = kv::CreateSerialPort("sim:hub");
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->Open({}));
    port->Close();
    EXPECT_TRUE(second->Open({}) && hub->PortOpen());

    auto other = kv::CreateSerialPort("sim:hub2");
    EXPECT_TRUE(other && other->Open({}));
    EXPECT_NE(HubFor("hub2"), hub);
    EXPECT_FALSE(kv::CreateSerialPort("sim:nothing"));
}

}  // namespace
}  // namespace kvsim
