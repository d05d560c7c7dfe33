// TRFFocusControl against a scripted device: the exact frames it sends and
// what it makes of each reply.
#include <gtest/gtest.h>

#include "focuser/rf_focus_control.h"
#include "focuser_test_support.h"
#include "platform/named_event.h"

namespace kv::test {
namespace {

std::string FrameText(const std::string& text8) {
    const auto f = TRFFocusControl::Frame(text8);
    return std::string(f.data(), f.size());
}

class RoboFocusScripted : public ::testing::Test, protected Scripted<TRFFocusControl> {
protected:
    void SetUp() override {
        focuser.SetOnCTSChange([this](TFocusControl&, std::int32_t, bool) { ++countEvents; });
        focuser.SetOnIdleChange([this](TFocusControl&, bool idle) {
            std::lock_guard lock(mutex);
            idles.push_back(idle);
        });
        (void)TakeComLog();
    }
    // The callbacks use members that go before the focuser does.
    void TearDown() override { focuser.ClosePort(); }

    void Send(const std::string& bytes) { Device().DeviceSend(bytes); }
    bool Wrote(const std::string& bytes, std::chrono::milliseconds limit = kLong) {
        return Eventually([&] { return std::ranges::count(script->Events(), "W:" + bytes) > 0; }, limit);
    }
    // Opens and answers the opening queries so the focuser stands at `position`.
    void OpenAt(int position, int limit = 60000) {
        ASSERT_TRUE(focuser.OpenPort());
        char at[16], travel[16];
        std::snprintf(at, sizeof at, "FD0%05d", position);
        std::snprintf(travel, sizeof travel, "FL0%05d", limit);
        for (const auto& [query, reply] : std::vector<std::pair<std::string, std::string>>{
                 {"FG000000", at}, {"FL000000", travel}, {"FV000000", "FV002.31"}, {"FC000000", "FC002000"}}) {
            ASSERT_TRUE(Wrote(FrameText(query)));
            Send(FrameText(reply));
        }
        script->Clear();
    }

    std::shared_ptr<NamedEvent> general = OpenNamedEvent(kGeneralDelayEvent);
    std::mutex mutex;
    std::atomic<std::size_t> countEvents{0};
    std::vector<bool> idles;
};

// MoveBy(+n) raises CTSCount by n in both senses (step by step, and at the
// arrival frame), so MoveTo lands on its target.
TEST_F(RoboFocusScripted, MovesCountInTheConfiguredSense) {
    for (const bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "ReverseDir" : "default sense");
        focuser.SetReverseDir(reverse);
        OpenAt(5000);
        focuser.MoveBy(120);
        ASSERT_TRUE(Wrote(FrameText(reverse ? "FG005120" : "FG004880")));
        EXPECT_FALSE(focuser.GetIdle());
        const std::size_t before = countEvents.load();
        Send(std::string(120, reverse ? 'O' : 'I'));
        ASSERT_TRUE(Eventually([&] { return focuser.CTSCount() == 120; }));
        EXPECT_EQ(countEvents.load() - before, 120u);
        Send(std::string(20, reverse ? 'I' : 'O'));
        ASSERT_TRUE(Eventually([&] { return focuser.CTSCount() == 100; }));
        Send(FrameText(reverse ? "FD005120" : "FD004880"));  // the focuser's own word wins
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
        EXPECT_TRUE(focuser.GetIdle());
        EXPECT_EQ(focuser.CTSCount(), 120);

        focuser.MoveTo(-50);
        EXPECT_TRUE(Wrote(FrameText(reverse ? "FG004950" : "FG005050")));
        Send(FrameText(reverse ? "FD004950" : "FD005050"));
        ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
        EXPECT_EQ(focuser.CTSCount(), -50);
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(idles, (std::vector<bool>{false, true, false, true, false, true, false, true}));
}

// A go-to 0 would only ask for the position, so below the travel means 1.
TEST_F(RoboFocusScripted, DestinationsBelowTheTravelGoToPositionOne) {
    OpenAt(500, 1000);
    focuser.SetReverseDir(true);
    focuser.MoveBy(-200000);
    EXPECT_TRUE(Wrote(FrameText("FG000001")));
    Send(FrameText("FD000001"));
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    // Already at the end: the move ends at once without a frame.
    script->Clear();
    focuser.MoveBy(-5);
    EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_TRUE(script->Events().empty());
}

TEST_F(RoboFocusScripted, MovesWaitForThePositionAndTheOpeningReplies) {
    focuser.SetLogCommands(true);
    ASSERT_TRUE(focuser.OpenPort());
    ASSERT_TRUE(Wrote(FrameText("FG000000")));
    focuser.MoveBy(0);
    EXPECT_EQ(general->Wait(100ms), WaitResult::TimedOut);
    // No position yet: a go-to would be computed from 0, so the move is
    // refused, ends at once and leaves the focuser alone.
    focuser.MoveBy(50);
    EXPECT_EQ(general->Wait(0ms), WaitResult::Signalled);
    EXPECT_TRUE(focuser.GetIdle());
    EXPECT_EQ(script->Events(), std::vector<std::string>{"W:" + FrameText("FG000000")});
    ASSERT_EQ(dialogs.Deferred().size(), 1u);
    EXPECT_NE(dialogs.Deferred()[0].find("refused"), std::string::npos);

    Send(FrameText("FD003000"));
    ASSERT_TRUE(Wrote(FrameText("FL000000")));
    EXPECT_EQ(general->Wait(100ms), WaitResult::TimedOut) << "the first position is no move's end";
    EXPECT_EQ(focuser.StartCount(), 3000);
    EXPECT_EQ(focuser.CTSCount(), 0);
    const auto log = TakeComLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "TX:  " + FrameText("FG000000")), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "-- RX:  " + FrameText("FD003000")), log.end());
    focuser.MoveBy(0);
    EXPECT_EQ(general->Wait(kLong), WaitResult::Signalled);
    // A go-to sent among the opening queries would be stopped by the next
    // one: it waits until the last of them is answered.
    std::thread mover([&] { focuser.MoveBy(-10); });
    Send(FrameText("FL010000"));
    ASSERT_TRUE(Wrote(FrameText("FV000000")));
    Send(FrameText("FV002.31"));
    ASSERT_TRUE(Wrote(FrameText("FC000000")));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(Wrote(FrameText("FG003010"), 0ms));
    Send(FrameText("FC002000"));
    EXPECT_TRUE(Wrote(FrameText("FG003010")));
    mover.join();
    EXPECT_EQ(focuser.MaxTravel(), 10000);
}

// A frame is its eight characters and their byte sum modulo 256.
TEST_F(RoboFocusScripted, CorruptRepliesAreNotBelieved) {
    EXPECT_EQ(FrameText("FG000000"), "FG000000\xAD");
    OpenAt(5000);
    std::string bad = FrameText("FD001234");
    bad.back() = static_cast<char>(bad.back() + 1);
    focuser.MoveBy(10);
    Send(bad);
    Send("x#");  // noise before the real arrival frame
    Send(FrameText("FD004990"));
    ASSERT_EQ(general->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(focuser.CurrentCount(), 4990);
    EXPECT_EQ(focuser.CTSCount(), 10);
    EXPECT_GE(focuser.RejectedReplies(), 1);

    // A cut reply followed by silence: the move stays open until StopMove.
    focuser.MoveBy(10);
    Send(FrameText("FD004980").substr(0, 6));
    EXPECT_FALSE(focuser.GetIdle());
    script->Clear();
    focuser.SetLogCommands(true);
    focuser.StopMove();
    EXPECT_TRUE(focuser.GetIdle());
    EXPECT_TRUE(Wrote(std::string(97, 'V')));
    const auto log = TakeComLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "TX:  Stop Command"), log.end());
}

}  // namespace
}  // namespace kv::test
