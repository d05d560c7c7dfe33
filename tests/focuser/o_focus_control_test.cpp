// TOFocusControl against the simulated Optec focuser: the command sequence of
// the stepped approach, the serial-mode handshake and the position replies.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

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
std::vector<std::string> StepCommands(const std::string& received) { return Commands(received, false); }

// Records what it is asked to show; while held, Show waits as a message box
// waits for the user.
class HeldDialogs final : public IDialogs {
public:
    DialogResult Show(const std::string& text, DialogType, DialogButtons) override {
        std::unique_lock lock(mutex_);
        shown_.push_back(text);
        released_.wait(lock, [&] { return !held_; });
        return DialogResult::Ok;
    }
    void Defer(const DeferredMessage& message) override {
        std::lock_guard lock(mutex_);
        deferred_.push_back(message.text);
    }
    void Beep() override {}
    void Hold(bool on) {
        std::lock_guard lock(mutex_);
        held_ = on;
        released_.notify_all();
    }
    std::vector<std::string> Texts() {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    std::vector<std::string> Deferred() {
        std::lock_guard lock(mutex_);
        return deferred_;
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    std::vector<std::string> shown_, deferred_;
};

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
    void TearDown() override { focuser.reset(); }

    void OpenQuiet() {
        ASSERT_TRUE(focuser->OpenPort());
        ASSERT_TRUE(WaitUntil([&] { return !device->Moving() && focuser->StartCount() == 3000; }));
        // The first reply holds the line 250 ms; the replies to the other
        // opening queries follow. Let them all settle before recording.
        std::this_thread::sleep_for(500ms);
        device->ClearReceived();
    }

    HeldDialogs dialogs;
    std::string name;
    std::shared_ptr<kvsim::OptecDevice> device;
    std::unique_ptr<TOFocusControl> focuser;
    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
};

TEST_F(OptecOnSimulator, MoveOutApproachesInShrinkingSteps) {
    OpenQuiet();
    focuser->MoveBy(100);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    EXPECT_EQ(focuser->CTSCount(), 100);
    EXPECT_EQ(device->Position(), 3100);
    std::vector<std::string> expected{"FO0020"};
    expected.insert(expected.end(), 4, "FO0010");
    expected.insert(expected.end(), 6, "FO0005");
    expected.insert(expected.end(), 10, "FO0001");
    const std::string received = device->Received();
    EXPECT_EQ(StepCommands(received), expected);
    // Each step command waits for the position reply of the one before.
    const auto all = Commands(received);
    for (std::size_t i = 1; i < all.size(); ++i) {
        if (all[i] != "FPOSRO") {
            EXPECT_EQ(all[i - 1], "FPOSRO") << "command " << i;
        }
    }
}

TEST_F(OptecOnSimulator, SmallMoveInGoesOneStepAtATime) {
    OpenQuiet();
    focuser->SetLogCommands(true);
    (void)TakeComLog();
    focuser->MoveBy(-7);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    const auto log = TakeComLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "RX:  P=2993"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "TX:  FI0001"), log.end());
    EXPECT_EQ(StepCommands(device->Received()), std::vector<std::string>(7, "FI0001"));
    EXPECT_EQ(focuser->CTSCount(), -7);
    focuser->MoveTo(0);
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(focuser->CTSCount(), 0);
    EXPECT_EQ(device->Position(), 3000);
}

TEST_F(OptecOnSimulator, ZeroAndOversizedMovesEndAtOnceWithoutCommands) {
    OpenQuiet();
    focuser->MoveBy(0);
    EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled);
    focuser->MoveBy(7001);
    EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(focuser->GetIdle());
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(StepCommands(device->Received()).empty());
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
    dialogs.Hold(true);
    std::atomic<bool> once{false};
    std::vector<std::int32_t> seen;  // reader thread only, until the port is closed
    focuser->SetOnCTSChange([&](TFocusControl& f, std::int32_t count, bool) {
        seen.push_back(count);
        if (count != 0 && !once.exchange(true)) f.ResetPosition();  // the count moves under the reply
    });
    focuser->MoveBy(5);
    ASSERT_TRUE(WaitUntil([&] { return !dialogs.Deferred().empty() || !dialogs.Texts().empty(); }));
    // Closing joins the reader thread that raised the message.
    auto closed = std::async(std::launch::async, [&] { focuser->ClosePort(); });
    const bool closedInTime = closed.wait_for(kLong) == std::future_status::ready;
    dialogs.Hold(false);
    closed.wait();
    EXPECT_TRUE(closedInTime);
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_EQ(dialogs.Deferred(), std::vector<std::string>{kOptecCorrectedText});
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[1], 0);
    EXPECT_EQ(seen[2], seen[0]) << "the count is taken from the reply again";
}

}  // namespace
}  // namespace kv::test
