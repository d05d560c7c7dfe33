#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "focuser/indi_focus_control.h"
#include "indi/indi_server.h"
#include "platform/named_event.h"
#include "shell/log_channel.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::IndiServer;

TEST(IndiAddress, ParsesServerAndDevice) {
    auto a = ParseIndiAddress("indi://scope.local:7625/Focuser Simulator");
    ASSERT_TRUE(a);
    EXPECT_EQ(std::tuple(a->host, a->port, a->device), std::tuple("scope.local", 7625, "Focuser Simulator"));
    EXPECT_EQ(ParseIndiAddress("indi://pi/Focuser/A")->device, "Focuser/A");
    EXPECT_EQ(ParseIndiAddress("indi://pi/F")->port, 7624);
    for (const char* bad : {"/dev/ttyS4", "indi://host", "indi://host/", "indi:///dev", "indi://h:0/d", "indi://h:x/d",
                            "indi://h:70000/d"}) {
        EXPECT_FALSE(ParseIndiAddress(bad)) << bad;
    }
}

// What a server may send: a range of none (min == max), bounds or positions
// that are no number or far beyond any focuser. Moves stay inside a real
// range, the count never wraps, and a position that is no number is no move.
TEST(IndiFocuserValues, RangesOfNoneAndOutlandishNumbersGiveSaneTargetsAndCounts) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    struct Case {
        std::int64_t from, steps;
        double min, max;
        std::int64_t offset, target;
    };
    for (const Case c : {Case{5000, 100, 0, 0, 0, 5100},           // min == max: no limit
                         Case{5000, 100, 7, 7, 0, 5100},
                         Case{5000, 100, 0, 100000, 0, 5100},      // a real range
                         Case{99990, 100, 0, 100000, 0, 100000},
                         Case{5000, -6000, 0, 100000, 0, 0},
                         Case{15, 100, 10.5, 20.5, 0, 20},         // fractional bounds round inwards
                         Case{15, -100, 10.5, 20.5, 0, 11},
                         Case{5000, 100, nan, 100000, 0, 5100},    // a bound that is no number: no limit
                         Case{5000, -9000, -inf, inf, 0, -4000},
                         Case{5000, 100, 100000, 0, 0, 5100},      // min > max: no limit
                         Case{50000, INT32_MAX, 0, 1e20, 0, INT32_MAX},  // the count stays a 32-bit number
                         Case{500, INT32_MIN, -1e20, 1e20, 1000, 1000LL + INT32_MIN}}) {
        EXPECT_EQ(IndiMoveTarget(c.from, c.steps, c.min, c.max, c.offset), c.target)
            << c.from << " + " << c.steps << " in [" << c.min << ", " << c.max << "] offset " << c.offset;
    }
    EXPECT_FALSE(IndiWhole(nan, INT32_MIN, INT32_MAX) || IndiWhole(-inf, INT32_MIN, INT32_MAX));
    EXPECT_EQ(std::tuple(IndiWhole(1e20, INT32_MIN, INT32_MAX), IndiWhole(-1e300, INT32_MIN, INT32_MAX), IndiWhole(2.5, 0, 10)),
              std::tuple(INT32_MAX, INT32_MIN, 3));

    test::RecordingDialogs dialogs;
    TIndiFocusControl focuser(dialogs);
    constexpr int kOk = 1;  // the protocol's "Ok" state
    const auto position = [&](double v) {
        focuser.OnNumber("ABS_FOCUS_POSITION", kOk, "FOCUS_ABSOLUTE_POSITION", v, 0, 1e20);
    };
    for (auto [reported, count] : {std::pair{5000.0, 5000}, {nan, 5000}, {2147533647.0, INT32_MAX}, {-1e20, INT32_MIN}}) {
        position(reported);
        EXPECT_EQ(focuser.CTSCount(), count) << reported;
        EXPECT_TRUE(count != 5000 || focuser.AbsolutePosition() == 5000);
    }
    const auto temperature = [&](double v) { focuser.OnNumber("FOCUS_TEMPERATURE", kOk, "TEMPERATURE", v, -200, 70); };
    temperature(std::nan(""));
    EXPECT_FALSE(focuser.GetTCAvail() || focuser.Temperature());
    // A reading, and a device's "no sensor" down at the floor of any sky, which is none.
    temperature(-4.5);
    EXPECT_EQ(focuser.Temperature(), -4.5);
    temperature(kTemperatureFloor);
    EXPECT_FALSE(focuser.Temperature().has_value());
    EXPECT_EQ(focuser.GetTemperature(), kNoTemperature);
}

class IndiFocuser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
        server = std::make_unique<IndiServer>();
        ASSERT_TRUE(server->Running());
        Open("Focuser Simulator");
    }
    void Open(const std::string& device) {
        focuser = test::IndiFocuserOn(*server, device, dialogs, folder);
        ASSERT_TRUE(dynamic_cast<TIndiFocusControl*>(focuser.get()));
        focuser->SetOnIdleChange([this](TFocusControl&, bool idle) { (idle ? idleReports : busyReports)++; });
        focuser->SetOnCTSChange([this](TFocusControl&, std::int32_t, bool out) {
            ctsReports++;
            lastOut = out;
        });
        if (device == "Focuser Simulator") {
            ASSERT_TRUE(focuser->OpenPort());
            ASSERT_TRUE(test::Eventually([&] { return focuser->CTSCount() == 50000; }, 5s));  // where it starts
        }
    }

    test::RecordingDialogs dialogs;
    test::TempDir folder;
    std::unique_ptr<IndiServer> server;
    std::unique_ptr<TFocusControl> focuser;
    std::shared_ptr<NamedEvent> done = OpenNamedEvent(kGeneralDelayEvent);
    std::atomic<int> idleReports{0}, busyReports{0}, ctsReports{0};
    std::atomic<bool> lastOut{false};  // the direction the window's In/Out lamps show
};

TEST_F(IndiFocuser, MovesToAndByAndReportsTheServersPositionAndAnUnknownDeviceFailsByName) {
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_TRUE(test::Eventually([&] { return focuser->GetTCAvail(); }, 5s));

    focuser->MoveTo(50300);
    EXPECT_EQ(done->Wait(10s), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle() && focuser->CTSCount() == 50300) << focuser->CTSCount();
    EXPECT_TRUE(lastOut);
    focuser->MoveBy(-200);
    EXPECT_EQ(done->Wait(10s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(focuser->CTSCount(), busyReports.load(), idleReports.load()), std::tuple(50100, 2, 2));
    EXPECT_FALSE(lastOut);
    EXPECT_GE(ctsReports.load(), 2);

    focuser->ResetPosition();
    focuser->MoveTo(-100);  // relative to the reset
    EXPECT_EQ(done->Wait(10s), WaitResult::Signalled);
    EXPECT_EQ(dynamic_cast<TIndiFocusControl&>(*focuser).AbsolutePosition(), 50000);
    EXPECT_TRUE(dialogs.Deferred().empty());

    focuser->ClosePort();
    ProgramLog::Instance().logging = true;
    (void)LogChannel::Instance().TakePending();
    Open("No Such Focuser");
    EXPECT_FALSE(focuser->OpenPort());
    bool named = false;
    for (const LogLine& l : LogChannel::Instance().TakePending()) {
        named = named || l.text.find("no device \"No Such Focuser\"") != std::string::npos;
    }
    EXPECT_TRUE(named);
}

// The simulated focuser cannot abort (it defines no abort switch) and only
// reports the target at the end, so a stop checks our side: the move ends at
// once.
TEST_F(IndiFocuser, StopEndsALongMoveAtOnce) {
    focuser->MoveTo(0);  // the whole travel: seconds in the simulator
    ASSERT_FALSE(focuser->GetIdle());
    focuser->StopMove();
    EXPECT_EQ(done->Wait(1s), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle() && idleReports.load() == 1 && dialogs.Deferred().empty());
}

// Apart from the stop: the simulator would still be moving from it, and a
// second target it is given then is no part of what this checks.
TEST_F(IndiFocuser, LostServerEndsTheMoveWithAMessage) {
    focuser->MoveTo(0);  // the whole travel: still running when the server dies
    ASSERT_FALSE(focuser->GetIdle());
    server->Kill();
    EXPECT_EQ(done->Wait(5s), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    ASSERT_TRUE(test::Eventually([&] { return !dialogs.Deferred().empty(); }, 2s));
    EXPECT_EQ(dialogs.Deferred().front(), kIndiLostServerText);
    EXPECT_FALSE(focuser->OpenPort());  // nobody answers now, and that is no hang either
}

// The stand-in driver (sim/indi_focuser): 200 steps a second, able to abort, and with
// KV_SIM_FOCUS_RELATIVE_ONLY=1 without an absolute position.
class SlowIndiFocuser : public IndiFocuser {
protected:
    void SetUp() override { Start({}); }
    void Start(const std::vector<std::string>& env) {
#ifdef KV_INDI_SIM_FOCUS
        if (!IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
        server = std::make_unique<IndiServer>(std::vector<std::string>{KV_INDI_SIM_FOCUS}, env,
                                              std::vector<std::string>{"KV Test Focuser"});
        ASSERT_TRUE(server->Running());
        Open("KV Test Focuser");
        ASSERT_TRUE(focuser->OpenPort());
#else
        (void)env;
        GTEST_SKIP() << "the focuser driver was not built";
#endif
    }
    std::string Device(const std::string& what) const { return server->Get("KV Test Focuser." + what); }
    int TruePosition() const { return std::atoi(Device("SIM_TRUE_POSITION.STEPS").c_str()); }
    // As the desktop's Halt does, once the device is well on its way from `from`.
    void HaltOnTheWay(int from) {
        EXPECT_TRUE(test::Eventually([&] { return std::abs(TruePosition() - from) >= 100; }, 10s));
        ASSERT_FALSE(focuser->GetIdle());
        focuser->CancelMovement();
        focuser->StopMove();
        EXPECT_EQ(done->Wait(5s), WaitResult::Signalled);
        EXPECT_TRUE(focuser->GetIdle());
    }
};

class RelativeIndiFocuser : public SlowIndiFocuser {
protected:
    void SetUp() override { Start({"KV_SIM_FOCUS_RELATIVE_ONLY=1"}); }
};

class RefusingIndiFocuser : public SlowIndiFocuser {
protected:
    void SetUp() override { Start({"KV_SIM_FOCUS_RELATIVE_ONLY=1", "KV_SIM_FOCUS_REFUSE_OVER=500"}); }
};

TEST_F(SlowIndiFocuser, HaltAbortsTheDevicesMoveAndTheCountFollowsIt) {
    ASSERT_TRUE(test::Eventually([&] { return focuser->CTSCount() == 50000; }, 5s));
    focuser->MoveTo(52000);  // ten seconds of travel
    HaltOnTheWay(50000);
    ASSERT_TRUE(test::Eventually([&] { return Device("FOCUS_ABORT_MOTION._STATE") == "Ok"; }, 5s));
    const int rest = TruePosition();
    EXPECT_TRUE(rest > 50000 && rest < 52000) << rest;
    EXPECT_TRUE(test::Eventually([&] { return focuser->CTSCount() == rest; }, 5s));

    focuser->MoveBy(-300);
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(TruePosition(), focuser->CTSCount(), busyReports.load(), idleReports.load()),
              std::tuple(rest - 300, rest - 300, 2, 2));
    EXPECT_TRUE(dialogs.Deferred().empty());

    // Another client's target takes the device over: the move ends where that
    // client sent it, replaced by a newer move, neither halted nor failed.
    focuser->MoveTo(rest + 1700);
    const auto ticket = focuser->MoveTicket();
    const auto halts = focuser->HaltCount();
    ASSERT_TRUE(test::Eventually([&] { return TruePosition() >= rest - 200; }, 10s));
    ASSERT_TRUE(server->Set("KV Test Focuser.ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=" + std::to_string(rest)));
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(focuser->CTSCount(), focuser->MoveTicket(), focuser->HaltCount()),
              std::tuple(rest, ticket + 1, halts));
    EXPECT_TRUE(dialogs.Deferred().empty());

    // A device that lands one step off its target has arrived, whoever moved it last.
    focuser->MoveTo(rest + 1000);
    const auto landing = focuser->MoveTicket();
    ASSERT_TRUE(test::Eventually([&] { return TruePosition() >= rest + 100; }, 10s));
    ASSERT_TRUE(server->Set("KV Test Focuser.ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION=" + std::to_string(rest + 999)));
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(focuser->CTSCount(), focuser->MoveTicket()), std::tuple(rest + 999, landing));
}

TEST_F(RelativeIndiFocuser, MovesByCountedStepsAndHalts) {
    EXPECT_FALSE(dynamic_cast<TIndiFocusControl&>(*focuser).AbsolutePosition());
    const int start = TruePosition();
    EXPECT_EQ(focuser->CTSCount(), 0);  // counted from wherever it was found

    focuser->MoveBy(300);
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(TruePosition(), focuser->CTSCount(), lastOut.load()), std::tuple(start + 300, 300, true));
    focuser->MoveTo(-200);
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(TruePosition(), focuser->CTSCount(), lastOut.load()), std::tuple(start - 200, -200, false));

    focuser->MoveBy(2000);
    HaltOnTheWay(start - 200);
    // Straight on, while the device's answer to the abort is still on its way:
    // that answer must not pass for the end of this move.
    focuser->MoveBy(-100);
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(Device("REL_FOCUS_POSITION._STATE"), Device("FOCUS_ABORT_MOTION._STATE")), std::tuple("Ok", "Ok"));
    const int rest = TruePosition() + 100;
    EXPECT_TRUE(rest > start - 200 && rest < start + 1800) << rest;
    // A halted move has no known length here, so only the finished ones count.
    EXPECT_EQ(std::tuple(focuser->CTSCount(), idleReports.load()), std::tuple(-300, 4));
    EXPECT_TRUE(dialogs.Deferred().empty());
}

// A relative move the driver ends in Alert did not happen: the count stays
// and the user is told; the next move counts from there.
TEST_F(RefusingIndiFocuser, ARelativeMoveEndingInAlertCountsNoSteps) {
    const int start = TruePosition();
    focuser->MoveBy(1000);
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(TruePosition(), focuser->CTSCount()), std::tuple(start, 0));
    EXPECT_EQ(dialogs.Deferred(), std::vector<std::string>{kIndiMoveFailedText});
    focuser->MoveBy(-200);
    ASSERT_EQ(done->Wait(20s), WaitResult::Signalled);
    EXPECT_EQ(std::tuple(TruePosition(), focuser->CTSCount()), std::tuple(start - 200, -200));
}

}  // namespace
}  // namespace kv
