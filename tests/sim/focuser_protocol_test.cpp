// The simulated devices over a pseudo-terminal through the real POSIX port,
// and the RoboFocus and Optec drivers in-process with the simulators
// misbehaving. Whatever the line does, the drivers must not crash or hang, and
// a position they report must be one the focuser really had.
#include <gtest/gtest.h>

#include <type_traits>

#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "platform/named_event.h"
#include "platform/posix_serial_port.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/robofocus_simulator.h"
#include "sim/sim_devices.h"
#include "../focuser/focuser_test_support.h"
#include "support/eventually.h"
#include "support/pty.h"

namespace kv::test {
namespace {

constexpr std::int64_t kStart = 3000;

// Waits until the focuser has been quiet long enough for the replies to its
// opening queries to be through.
void Settle() { std::this_thread::sleep_for(600ms); }

// Moves end with the event and the right count; the line closing under a
// move then neither crashes nor hangs the driver.
TEST(ProtocolOverPty, RoboFocusMovesEndRightAndAClosedLineEndsTheLast) {
    kvsim::Observatory::Instance().SetTruePosition(kStart);
    kvsim::RoboFocusDevice device;
    device.SetMicrosPerStep(50);
    auto pty = std::make_unique<Pty>();
    ASSERT_FALSE(pty->Path().empty());
    auto server = std::make_unique<kvsim::FdDeviceServer>(pty->Master(), device);
    RecordingDialogs dialogs;
    auto focuser = std::make_unique<TRFFocusControl>(dialogs);
    focuser->SetPortResolver([slave = pty->Path()](int) { return slave; });
    ASSERT_TRUE(focuser->OpenPort());
    ASSERT_TRUE(Eventually([&] { return focuser->FirmWareVersion() == "002.31"; }));
    EXPECT_EQ(focuser->MaxTravel(), kvsim::RoboFocusDevice::kDefaultTravelLimit);
    Settle();
    auto general = OpenNamedEvent(kGeneralDelayEvent);
    std::int32_t expected = 0;
    for (const std::int32_t steps : {1, -1, 50, -50, 500, -500, 500}) {
        focuser->MoveBy(steps);
        expected += steps;
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled) << steps;
        EXPECT_EQ(focuser->CTSCount(), expected) << steps;
        EXPECT_TRUE(focuser->GetIdle());
    }
    EXPECT_EQ(device.Position(), kStart - expected) << "without ReverseDir, + is inward";

    device.SetMicrosPerStep(2000);
    focuser->MoveBy(-500);
    ASSERT_TRUE(Eventually([&] { return focuser->CTSCount() < expected - 5; }));
    server.reset();
    pty.reset();
    EXPECT_EQ(general->Wait(200ms), WaitResult::TimedOut);
    EXPECT_GT(focuser->CTSCount(), expected - 500);
    focuser->StopMove();
    EXPECT_TRUE(focuser->GetIdle());
    focuser->MoveBy(10);  // to a line that is gone
    focuser.reset();      // returns: the reader is released and joined
}

// A client of the Optec simulator without the driver, taking the bytes as
// they come. Every reply ends with LF CR, so the common client, which reads up
// to the carriage return and drops the last two bytes, gets the bare reply.
TEST(ProtocolOverPty, OptecRepliesEndWithLineFeedThenCarriageReturn) {
    kvsim::Observatory::Instance().SetTruePosition(3200);
    Pty pty;
    kvsim::OptecDevice device;
    device.SetMicrosPerStep(50);
    kvsim::FdDeviceServer server(pty.Master(), device);
    PosixSerialPort line(pty.Path());
    ASSERT_TRUE(line.Open({19200, false}));
    char buffer[32];
    for (auto [command, bare] : {std::pair{"FMMODE", "!"}, {"FPOSRO", "P=3200"}, {"FO0100", "*"}}) {
        EXPECT_TRUE(line.Write(command, kSerialWriteTimeout));
        std::string got;
        for (const auto end = std::chrono::steady_clock::now() + kLong;
             got.find('\r') == std::string::npos && std::chrono::steady_clock::now() < end;) {
            got.append(buffer, line.ReadSome(buffer, sizeof buffer, 50ms));
        }
        EXPECT_EQ(got, std::string(bare) + "\x0a\x0d") << command;
        // The common client: read up to the carriage return, drop the last two bytes.
        EXPECT_EQ(got.substr(0, got.size() >= 2 ? got.size() - 2 : 0), bare) << command;
    }
    EXPECT_EQ(line.ReadSome(buffer, sizeof buffer, 100ms), 0u) << "nothing after the line end";
}

// A driver on its in-process simulator, which misbehaves as each test asks.
template <class Device, class Driver>
class Faults : public ::testing::TestWithParam<kvsim::ProtocolFault> {
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
        Settle();
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
        focuser->ResetPosition();
        ASSERT_TRUE(Eventually([&] { return focuser->StartCount() == device->Position(); }));
        Settle();
        focuser->MoveBy(steps);
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
        EXPECT_EQ(focuser->CTSCount(), steps);
        EXPECT_EQ(focuser->CTSCount(), DeviceCount());
    }
    RecordingDialogs dialogs;
    std::shared_ptr<Device> device;
    std::unique_ptr<Driver> focuser;
    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
};
using RoboFocusFaults = Faults<kvsim::RoboFocusDevice, TRFFocusControl>;
using OptecFaults = Faults<kvsim::OptecDevice, TOFocusControl>;

TEST_P(RoboFocusFaults, NoWrongPositionIsBelievedAndTheDriverRecovers) {
    const auto fault = GetParam();
    device->SetFault(fault);
    focuser->MoveBy(300);
    const WaitResult r = general->Wait(std::chrono::milliseconds(focuser->StallLimitMs() + 2000));
    ASSERT_TRUE(Eventually([&] { return !device->Moving(); }));
    std::this_thread::sleep_for(100ms);
    if (fault == kvsim::ProtocolFault::Garbage || fault == kvsim::ProtocolFault::Duplicates) {
        EXPECT_EQ(r, WaitResult::Signalled);
        EXPECT_EQ(focuser->CTSCount(), 300);
    }
    if (fault == kvsim::ProtocolFault::CutReplies || fault == kvsim::ProtocolFault::SilenceMidMove) {
        // The end is never reported: the stall watch ends the move and says so.
        EXPECT_EQ(r, WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
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
    if (fault == kvsim::ProtocolFault::Garbage) {
        EXPECT_EQ(r, WaitResult::Signalled);
        EXPECT_EQ(focuser->CTSCount(), 120);
    }
    if (fault == kvsim::ProtocolFault::Duplicates) {
        EXPECT_EQ(focuser->CTSCount(), DeviceCount());
    }
    if (fault == kvsim::ProtocolFault::CutReplies) {
        // Only complete replies count: the position lags behind, never runs ahead.
        EXPECT_GE(focuser->CTSCount(), 0);
        EXPECT_LE(focuser->CTSCount(), DeviceCount());
    }
    ExpectRecovers(-30);
}

const auto kEveryFault = ::testing::Values(kvsim::ProtocolFault::Garbage, kvsim::ProtocolFault::RandomBursts,
                                           kvsim::ProtocolFault::CutReplies, kvsim::ProtocolFault::Duplicates,
                                           kvsim::ProtocolFault::SilenceMidMove);
INSTANTIATE_TEST_SUITE_P(Each, RoboFocusFaults, kEveryFault);
INSTANTIATE_TEST_SUITE_P(Each, OptecFaults, kEveryFault);

// Play between the drive the focusers turn and count and the optics the camera
// sees: the count stays exact, and a reversal moves the optics only once the
// drive has turned through the play.
template <class Driver>
void ExpectBacklash(const std::string& name) {
    constexpr std::int64_t kPlay = 30;
    kvsim::InstallSimulatedPorts();
    kvsim::Observatory& sky = kvsim::Observatory::Instance();
    sky.SetTruePosition(kStart);
    sky.SetBacklash(kPlay);
    RecordingDialogs dialogs;
    Driver focuser(dialogs);
    focuser.SetPortResolver([name](int) { return "sim:" + name; });
    ASSERT_TRUE(focuser.OpenPort());
    Settle();
    auto general = OpenNamedEvent(kGeneralDelayEvent);
    // A first run takes the play up whichever way it goes; then reversals
    // shorter and longer than the play.
    const struct { std::int32_t steps; std::int64_t opticsMoved; } moves[] = {{100, -1}, {-20, 0}, {-50, 40}, {50, 20}};
    std::int32_t count = 0;
    for (const auto& m : moves) {
        const std::int64_t drive = sky.DrivePosition(), optics = sky.TruePosition();
        focuser.MoveBy(m.steps);
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled) << m.steps;
        count += m.steps;
        EXPECT_EQ(focuser.CTSCount(), count);
        EXPECT_EQ(std::abs(sky.DrivePosition() - drive), std::abs(m.steps));
        if (m.opticsMoved >= 0) {
            EXPECT_EQ(std::abs(sky.TruePosition() - optics), m.opticsMoved) << m.steps;
        }
    }
    sky.SetBacklash(0);
}

TEST(SimulatedBacklash, AReversalTurnsTheDriveThroughThePlayBeforeTheOpticsMove) {
    {
        SCOPED_TRACE("RoboFocus");
        ExpectBacklash<TRFFocusControl>("robofocus-backlash");
    }
    SCOPED_TRACE("Optec");
    ExpectBacklash<TOFocusControl>("optec-backlash");
}

}  // namespace
}  // namespace kv::test
