// The focuser controller against a scripted device: the port's life, the
// LX-200 command bytes and lines, the hub's temperature protocol and the COM log.
#include <gtest/gtest.h>

#include <filesystem>

#include "focuser_test_support.h"

namespace kv::test {
namespace {

// The hub says its temperature unit is there, then answers the request.
void Answer(ScriptedFocuser& s, const std::string& reply) {
    s.script->Reply("KTR03YES!!");
    s.script->Reply(reply);
}

// Threads of this process; a focuser with a closed port adds none. A joined
// thread can stay listed for a moment after the join returns (the kernel wakes
// the joiner before it removes the task), so the count is polled.
std::size_t ProcessThreads() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator()));
}

// Opening resolves the COM number, failures leave nothing open, the keep-alive
// "5" is written only while enabled and open, and closing ends every thread.
TEST(FocusControl, PortLifeFromOpeningThroughKeepAliveToClosing) {
    std::thread([] {}).join();  // a sanitizer starts its own helper thread with the first thread
    const std::size_t before = ProcessThreads();
    ScriptedFocuser s;
    std::vector<std::string> tried;
    s.focuser.SetPortFactory([&](const std::string& device) -> std::unique_ptr<ISerialPort> {
        tried.push_back(device);
        if (device != "/dev/ttyS3") return nullptr;
        return std::make_unique<ScriptedDevice>(device, s.script);
    });
    for (const int com : {0, 3}) {
        s.focuser.SetComPort(com);
        EXPECT_FALSE(s.focuser.OpenPort());
        EXPECT_FALSE(s.focuser.PortOpen());
    }
    EXPECT_EQ(ProcessThreads(), before);
    s.focuser.SetComPort(4);
    ASSERT_TRUE(s.focuser.OpenPort());
    EXPECT_EQ(tried, (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS3"})) << "COM 0 tries no device";
    EXPECT_TRUE(s.focuser.PortOpen());
    const auto keepAlives = [&] { return std::ranges::count(s.script->Events(), "W:5"); };
    s.focuser.SetQuorvelEnable(true);
    ASSERT_TRUE(Eventually([&] { return keepAlives() >= 3; }));
    s.focuser.SetQuorvelEnable(false);
    std::this_thread::sleep_for(300ms);  // a write already under way may still land
    const auto stopped = keepAlives();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(keepAlives(), stopped);
    // SetComPort closes without reopening and leaves Idle alone.
    s.focuser.SetComPort(3);
    EXPECT_FALSE(s.focuser.PortOpen());
    EXPECT_EQ(s.focuser.ComPort(), 3);
    EXPECT_TRUE(s.focuser.GetIdle());
    EXPECT_TRUE(Eventually([&] { return ProcessThreads() == before; }, 2s))
        << "closing ends the counting and keep-alive threads, still " << ProcessThreads() << " of " << before;
    std::lock_guard lock(s.script->mutex);
    EXPECT_EQ(s.script->opens, 1);
    EXPECT_EQ(s.script->closes, 1);
}

TEST(FocusCommands, TextModeWritesTheCommandsRefusesIllegalOnesAndReverseDirSwapsDirectionsOnly) {
    ScriptedFocuser s;
    ASSERT_TRUE(s.Open());
    for (const char* bad : {"", ":FX#", ":FQ# ", "KTR02?????", ":fq#"}) s.focuser.FocusCommand(bad);
    EXPECT_EQ(s.dialogs.Texts(), Strings(5, "Illegal FocusCommand"));
    EXPECT_TRUE(s.script->Events().empty());
    s.focuser.StartMove(true, true);
    EXPECT_TRUE(s.focuser.LastDirection());
    s.focuser.StopMove();
    s.focuser.StartMove(false, false);
    EXPECT_FALSE(s.focuser.LastDirection());
    EXPECT_EQ(s.script->Events(), (Strings{"W::FQ#", "W::F-#", "W::FQ#", "W::FQ#", "W::FQ#", "W::F+#"}));

    s.script->Clear();
    s.focuser.SetReverseDir(true);
    s.focuser.StartMove(true, false);
    s.focuser.FocusCommand(":F+#");
    s.focuser.FocusCommand(":FS#");
    EXPECT_EQ(s.script->Events(), (Strings{"W::FQ#", "W::F+#", "W::F-#", "W::FS#"}));
}

TEST(FocusCommands, LineModeSetsDirectionBeforeMotorDropsBothOnStopAndReverses) {
    ScriptedFocuser s;
    s.focuser.SetUseRTS_DTR(true);
    ASSERT_TRUE(s.Open());
    TakeComLog();
    s.focuser.StartMove(true, false);  // in: DTR high, then RTS
    EXPECT_EQ(s.script->Events(), (Strings{"DTR1", "RTS1"}));
    s.script->Clear();
    s.focuser.StopMove();
    EXPECT_EQ(s.script->Events(), (Strings{"RTS0", "DTR0"}));
    s.script->Clear();
    s.focuser.StartMove(false, false);  // out: DTR stays low
    s.focuser.FocusCommand(":FS#");     // speed commands do nothing on the lines
    s.focuser.FocusCommand(":FF#");
    EXPECT_EQ(s.script->Events(), (Strings{"RTS1"}));
    s.focuser.MotorOff();
    EXPECT_EQ(s.script->Events(), (Strings{"RTS1", "RTS0"}));
    s.script->Clear();
    for (auto fn : {LineFunction::SetDtr, LineFunction::SetRts, LineFunction::ClrDtr, LineFunction::ClrRts}) {
        s.focuser.EscapeComm(fn);
    }
    EXPECT_EQ(s.script->Events(), (Strings{"DTR1", "RTS1", "DTR0", "RTS0"}));

    EXPECT_TRUE(TakeComLog().empty()) << "nothing is logged until logging is on";

    // Reversed, "in" drops DTR; the log shows the command after the swap.
    s.focuser.SetReverseDir(true);
    s.focuser.SetLogCommands(true);
    s.script->Clear();
    s.focuser.StartMove(true, false);
    EXPECT_EQ(s.script->Events(), (Strings{"RTS1"}));
    s.script->Reply("KTR03YES!!");
    s.focuser.GetTCAvail();
    EXPECT_EQ(TakeComLog(), (Strings{":FQ#", ":F+#", "KTR02?????"}));
}

// Yes on the second try counts; nine bytes and silence are no answer. Each
// change is reported once, and an absent unit empties the temperature history.
// The average keeps the last ten valid readings; a bad payload is no reading.
TEST(HubProtocol, RepliesAreRetriedReadAndAveragedAndBadOnesAreNoReading) {
    ScriptedFocuser s;
    ASSERT_TRUE(s.Open());
    std::vector<bool> changes;
    s.focuser.SetOnAvailChange([&](TFocusControl&, bool avail) { changes.push_back(avail); });
    s.script->Reply("KTR03NO!!!");
    s.script->Reply("KTR03YES!!");
    EXPECT_TRUE(s.focuser.GetTCAvail());
    EXPECT_EQ(s.script->Events(), (Strings{"W:KTR02?????\r", "W:KTR02?????\r"}));
    Answer(s, "KTR09+20.0");
    EXPECT_DOUBLE_EQ(s.focuser.GetTemperature(), 20.0);

    s.script->Reply("KTR03YES!");
    s.script->Reply("KTR03YES!");
    EXPECT_FALSE(s.focuser.GetTCAvail());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 20.0) << "the average keeps its value until the next reading";
    Answer(s, "KTR09+10.0");
    s.focuser.GetTemperature();
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 10.0) << "the old reading must be gone";
    EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));

    s.script->Reply("KTR03YES!!");
    s.script->Reply("KTR0812.50");  // the request's code, not the answer's
    EXPECT_DOUBLE_EQ(s.focuser.GetTemperature(), kNoTemperature);
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 10.0);
    for (int t = 10; t <= 20; ++t) {
        char reply[16];
        std::snprintf(reply, sizeof reply, "KTR09%+05.1f", static_cast<double>(t));
        Answer(s, reply);
        EXPECT_DOUBLE_EQ(s.focuser.GetTemperature(), t);
    }
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 15.5);
    Answer(s, "KTR09-99.0");
    EXPECT_DOUBLE_EQ(s.focuser.GetTemperature(), -99.0);
    Answer(s, "KTR09?x?x?");
    EXPECT_DOUBLE_EQ(s.focuser.GetTemperature(), kNoTemperature);
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 15.5);
    Answer(s, "KTR0500240");
    EXPECT_EQ(s.focuser.GetTCCal(), 240);
    Answer(s, "KTR05?x?x?");
    EXPECT_EQ(s.focuser.GetTCCal(), 240);
    s.script->Reply("KTR0112345");
    EXPECT_EQ(s.focuser.GetTCFirmwareVersion(), "12.3.45");
    s.script->Reply("          ");
    EXPECT_EQ(s.focuser.GetTCFirmwareVersion(), "??");
}

TEST(HubProtocol, SetCalSendsFiveDigitsAndRestoresTheOldValueWhenRefused) {
    ScriptedFocuser s;
    ASSERT_TRUE(s.Open());
    Answer(s, "KTR0700042");
    EXPECT_EQ(s.focuser.SetTCCal(42), HubResult::Ok);
    EXPECT_EQ(s.focuser.TCCal(), 42);
    EXPECT_EQ(s.script->Events(), (Strings{"W:KTR02?????\r", "W:KTR0600042\r"}));

    Answer(s, "KTR0700041");
    EXPECT_EQ(s.focuser.SetTCCal(43), HubResult::Failed);
    EXPECT_EQ(s.focuser.TCCal(), 42);

    // The same value again, and the hub says nothing: not a success.
    Answer(s, "KTR07?????");
    EXPECT_EQ(s.focuser.SetTCCal(42), HubResult::Failed);
    EXPECT_EQ(s.focuser.TCCal(), 42);

    // Both ends of the five-digit range are sent; beyond them nothing is.
    for (const int edge : {0, 99999}) {
        char echo[16];
        std::snprintf(echo, sizeof echo, "KTR07%05d", edge);
        Answer(s, echo);
        EXPECT_EQ(s.focuser.SetTCCal(edge), HubResult::Ok) << edge;
        EXPECT_EQ(s.focuser.TCCal(), edge);
    }
    s.script->Clear();
    for (const int beyond : {-1, 100000}) {
        s.script->Reply("KTR03YES!!");
        EXPECT_EQ(s.focuser.SetTCCal(beyond), HubResult::Failed);
    }
    EXPECT_EQ(s.script->Events(), Strings(2, "W:KTR02?????\r"));

    // No temperature unit: nothing sent after the two availability queries.
    s.script->Clear();
    s.script->Reply("KTR03NO!!!");
    s.script->Reply("KTR03NO!!!");
    EXPECT_EQ(s.focuser.SetTCCal(240), HubResult::Unavailable);
    EXPECT_EQ(s.script->Events().size(), 2u);
    EXPECT_EQ(s.focuser.TCCal(), 99999);
}

}  // namespace
}  // namespace kv::test
