#include "sim/sim_port.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <utility>
#include <vector>

namespace kvsim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Only ever reached when the code under test is wrong.
constexpr auto kLong = 10s;

class RecordingDevice : public SimulatedSerialPort {
public:
    using SimulatedSerialPort::SimulatedSerialPort;
    ~RecordingDevice() override { Close(); }
    RecordingDevice(const RecordingDevice&) = delete;
    RecordingDevice& operator=(const RecordingDevice&) = delete;

    // Called on the test's own thread, while it writes or sets the lines.
    std::vector<std::pair<bool, bool>> lines;
    std::string received;
    int closes = 0;

protected:
    void OnReceived(std::string_view b) override { received += b; }
    void OnLinesChanged(bool rts, bool dtr) override { lines.emplace_back(rts, dtr); }
    void OnClose() override { ++closes; }
};

TEST(SimulatedSerialPort, BoundedReadsTakeExactlyWhatWasAskedOrNothing) {
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

    ASSERT_TRUE(port.Write("abc", kLong) && port.Write("def", kLong));
    EXPECT_EQ(port.received, "abcdef");
}

TEST(SimulatedSerialPort, EveryCtsEdgeIsHandedOutWithTheLinesItHad) {
    RecordingDevice port("sim:test");
    ASSERT_TRUE(port.Open({}));
    // Far more edges than a consumer could see by sampling: rise with DSR low,
    // fall with DSR high, over and over, all before anyone waits.
    constexpr int kPulses = 500;
    for (int i = 0; i < kPulses; ++i) {
        port.DeviceSetLines(true, false);
        port.DeviceSetLines(false, true);
    }
    port.DeviceSetLines(false, false);  // DSR alone is not an edge
    for (int i = 0; i < kPulses; ++i) {
        for (const bool rising : {true, false}) {
            ASSERT_EQ(port.WaitForCtsChange(kLong), kv::SerialWait::Changed);
            const auto lines = port.GetModemLines();
            ASSERT_TRUE(lines && lines->cts == rising && lines->dsr == !rising) << i;
        }
    }
    EXPECT_EQ(port.WaitForCtsChange(30ms), kv::SerialWait::TimedOut);
    // Between waits the lines are live again.
    EXPECT_FALSE(port.GetModemLines()->dsr);
    EXPECT_EQ(port.DroppedEdges(), 0u);
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
        EXPECT_LT(Clock::now() - start, kLong / 2);
        EXPECT_FALSE(port.Write("x", kLong) || port.SetRts(true) || port.GetModemLines());
        port.Close();  // closing a closed port does nothing
        EXPECT_EQ(port.closes, 1);
        EXPECT_EQ(port.WaitForCtsChange(kLong), ended);
        EXPECT_EQ(port.OutputFree(), 0u);
        EXPECT_EQ(port.Open({}), !vanish);  // a vanished device cannot be opened until it comes back
        port.DeviceSetVanished(false);
        port.Close();
        ASSERT_TRUE(port.Open({}));
        EXPECT_TRUE(port.Write("x", kLong));
    }
}

TEST(SimulatedSerialPort, OnlyRealLineChangesReachTheDeviceAndCloseDropsThem) {
    RecordingDevice port("sim:test");
    ASSERT_TRUE(port.Open({}));
    // RTS is already low at first, and high at the second time: nothing to report.
    EXPECT_TRUE(port.SetRts(false) && port.SetDtr(true) && port.SetRts(true) && port.SetRts(true));
    port.Close();
    EXPECT_EQ(port.lines, (std::vector<std::pair<bool, bool>>{{false, true}, {true, true}, {false, false}}));
    // A reopened port starts with both lines low.
    ASSERT_TRUE(port.Open({}) && port.SetDtr(true));
    EXPECT_EQ(port.lines.back(), std::make_pair(false, true));
}

}  // namespace
}  // namespace kvsim
