// TOFocusControl against the simulated Optec focuser: the command sequence of
// the stepped approach, the serial-mode handshake and the position replies.
#include <gtest/gtest.h>

#include "focuser/o_focus_control.h"
#include "focuser_test_support.h"
#include "platform/named_event.h"
#include "sim/observatory.h"
#include "sim/optec_simulator.h"
#include "sim/sim_devices.h"

namespace kv::test {
namespace {

// The six-byte commands received, optionally without the position queries.
std::vector<std::string> Commands(const std::string& received, bool withQueries = true) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i + 6 <= received.size(); i += 6) {
        if (withQueries || received.compare(i, 6, "FPOSRO") != 0) out.push_back(received.substr(i, 6));
    }
    return out;
}

class OptecOnSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        kvsim::InstallSimulatedPorts();
        name = "optec-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
        device = kvsim::OptecFor(name);
        device->SetMicrosPerStep(50);
        device->SetFault(kvsim::ProtocolFault::None);
        kvsim::Observatory::Instance().SetTruePosition(3000);
        focuser = std::make_unique<TOFocusControl>(dialogs);
        focuser->SetPortResolver([this](int) { return "sim:" + name; });
    }

    void OpenQuiet() {
        ASSERT_TRUE(focuser->OpenPort());
        ASSERT_TRUE(Eventually([&] { return !device->Moving() && focuser->StartCount() == 3000; }));
        // The first reply holds the line 250 ms; the replies to the other
        // opening queries follow. Let them all settle before recording.
        std::this_thread::sleep_for(500ms);
        device->ClearReceived();
    }

    RecordingDialogs dialogs;
    std::string name;
    std::shared_ptr<kvsim::OptecDevice> device;
    std::unique_ptr<TOFocusControl> focuser;
    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
};

// Out in shrinking steps, each sent after the position reply to the one
// before; a small move in goes one step at a time.
TEST_F(OptecOnSimulator, MovesApproachInShrinkingStepsAndImpossibleOnesSendNothing) {
    OpenQuiet();
    focuser->MoveBy(100);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_EQ(device->Position(), 3100);
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
    EXPECT_NE(std::find(log.begin(), log.end(), "RX:  P=3093"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "TX:  FI0001"), log.end());
    EXPECT_EQ(Commands(device->Received(), false), std::vector<std::string>(7, "FI0001"));
    EXPECT_EQ(focuser->CTSCount(), 93);
    EXPECT_EQ(device->Position(), 3093);

    // A null move and one beyond the travel end at once without a command.
    device->ClearReceived();
    focuser->MoveBy(0);
    EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled);
    focuser->MoveBy(7001);
    EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Commands(device->Received(), false).empty());
    ASSERT_EQ(dialogs.Deferred().size(), 1u);
    EXPECT_NE(dialogs.Deferred()[0].find("7001"), std::string::npos);
}

TEST_F(OptecOnSimulator, SerialModeIsAskedForUpToTwentyOneTimesAndOnlyItsAbsenceIsReported) {
    device->SetIgnoredModeRequests(20);
    ASSERT_TRUE(focuser->OpenPort());
    EXPECT_TRUE(focuser->SerialMode());
    EXPECT_EQ(device->ModeRequests(), 21);
    EXPECT_TRUE(dialogs.Texts().empty());

    device->SetIgnoredModeRequests(-1);
    ASSERT_TRUE(focuser->OpenPort());
    EXPECT_FALSE(focuser->SerialMode());
    EXPECT_EQ(device->ModeRequests(), 21);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{kOptecNoSessionText});

    device->SetIgnoredModeRequests(0);
    ASSERT_TRUE(focuser->OpenPort());
    EXPECT_TRUE(device->SerialMode());
    focuser.reset();
    EXPECT_FALSE(device->SerialMode()) << "destruction leaves serial mode";
}

TEST_F(OptecOnSimulator, ACorrectedCountIsReportedWithoutHoldingTheReaderThread) {
    OpenQuiet();
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
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_EQ(dialogs.Deferred(), std::vector<std::string>{kOptecCorrectedText});
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[1], 0);
    EXPECT_EQ(seen[2], seen[0]) << "the count is taken from the reply again";
}

}  // namespace
}  // namespace kv::test
