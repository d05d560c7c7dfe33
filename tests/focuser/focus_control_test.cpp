// The focuser controllers against a scripted device, the spoken position
// read-out and the WAV reader of its player.
#include <gtest/gtest.h>

#include "focuser/j_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "focuser/voice_thread.h"
#include "focuser_test_support.h"
#include "platform/named_event.h"
#include "platform/sound_player.h"
#include "support/temp_files.h"

namespace kv::test {
namespace {

// The hub says its temperature unit is there, then answers the request.
TFocusControl& Answer(ScriptedFocuser& s, const std::string& reply) {
    s.script->Reply("KTR03YES!!", reply);
    return s.focuser;
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
        EXPECT_FALSE(s.focuser.OpenPort() || s.focuser.PortOpen());
    }
    EXPECT_EQ(ProcessThreads(), before);
    s.focuser.SetComPort(4);
    ASSERT_TRUE(s.focuser.OpenPort() && s.focuser.PortOpen());
    EXPECT_EQ(tried, (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS3"})) << "COM 0 tries no device";
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
    EXPECT_EQ(std::tuple(s.focuser.PortOpen(), s.focuser.ComPort(), s.focuser.GetIdle()), std::tuple(false, 3, true));
    EXPECT_TRUE(Eventually([&] { return ProcessThreads() == before; }, 2s))
        << "closing ends the counting and keep-alive threads, still " << ProcessThreads() << " of " << before;
    std::lock_guard lock(s.script->mutex);
    EXPECT_EQ(std::tuple(s.script->opens, s.script->closes), std::tuple(1, 1));
}

TEST(FocusCommands, TextModeWritesTheCommandsRefusesIllegalOnesAndReverseDirSwapsDirectionsOnly) {
    ScriptedFocuser s;
    ASSERT_TRUE(s.Open());
    for (const char* bad : {"", ":FX#", ":FQ# ", "KTR02?????", ":fq#"}) s.focuser.FocusCommand(bad);
    EXPECT_EQ(s.dialogs.Texts(), Strings(5, "Illegal FocusCommand"));
    EXPECT_TRUE(s.script->Events().empty());
    s.focuser.StartMove(true, true);
    const bool firstIn = s.focuser.LastDirection();
    s.focuser.StopMove();
    s.focuser.StartMove(false, false);
    EXPECT_EQ(std::pair(firstIn, s.focuser.LastDirection()), std::pair(true, false));
    EXPECT_EQ(s.script->Events(), (Strings{"W::FQ#", "W::F-#", "W::FQ#", "W::FQ#", "W::FQ#", "W::F+#"}));

    s.script->Clear();
    s.focuser.SetReverseDir(true);
    s.focuser.StartMove(true, false);
    for (const char* command : {":F+#", ":FS#"}) s.focuser.FocusCommand(command);
    EXPECT_EQ(s.script->Events(), (Strings{"W::FQ#", "W::F+#", "W::F-#", "W::FS#"}));
}

TEST(FocusCommands, LineModeSetsDirectionBeforeMotorDropsBothOnStopAndReverses) {
    ScriptedFocuser s;
    s.focuser.SetUseRTS_DTR(true);
    ASSERT_TRUE(s.Open());
    TakeComLog();
    s.focuser.StartMove(true, false);  // in: DTR high, then RTS
    s.focuser.StopMove();
    EXPECT_EQ(s.script->Events(), (Strings{"DTR1", "RTS1", "RTS0", "DTR0"}));
    s.script->Clear();
    s.focuser.StartMove(false, false);  // out: DTR stays low
    for (const char* speed : {":FS#", ":FF#"}) s.focuser.FocusCommand(speed);  // nothing on the lines
    EXPECT_EQ(s.script->Events(), (Strings{"RTS1"}));
    s.focuser.MotorOff();
    EXPECT_EQ(s.script->Events(), (Strings{"RTS1", "RTS0"}));

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
// A calibration goes out as five digits; a refused one keeps the old value.
TEST(HubProtocol, RepliesAreRetriedReadAndAveragedAndARefusedCalibrationKeepsTheOldValue) {
    ScriptedFocuser s;
    ASSERT_TRUE(s.Open());
    std::vector<bool> changes;
    s.focuser.SetOnAvailChange([&](TFocusControl&, bool avail) { changes.push_back(avail); });
    s.script->Reply("KTR03NO!!!", "KTR03YES!!");
    EXPECT_TRUE(s.focuser.GetTCAvail());
    EXPECT_EQ(s.script->Events(), Strings(2, "W:KTR02?????\r"));
    EXPECT_DOUBLE_EQ(Answer(s, "KTR09+20.0").GetTemperature(), 20.0);
    s.script->Reply("KTR03YES!", "KTR03YES!");
    EXPECT_FALSE(s.focuser.GetTCAvail());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 20.0) << "the average keeps its value until the next reading";
    Answer(s, "KTR09+10.0").GetTemperature();
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 10.0) << "the old reading must be gone";
    EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));

    s.script->Reply("KTR03YES!!", "KTR0812.50");  // the request's code, not the answer's
    EXPECT_DOUBLE_EQ(s.focuser.GetTemperature(), kNoTemperature);
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 10.0);
    for (int t = 10; t <= 20; ++t) {
        char reply[16];
        std::snprintf(reply, sizeof reply, "KTR09%+05.1f", static_cast<double>(t));
        EXPECT_DOUBLE_EQ(Answer(s, reply).GetTemperature(), t);
    }
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 15.5);
    EXPECT_DOUBLE_EQ(Answer(s, "KTR09-99.0").GetTemperature(), -99.0);
    EXPECT_DOUBLE_EQ(Answer(s, "KTR09?x?x?").GetTemperature(), kNoTemperature);
    EXPECT_DOUBLE_EQ(s.focuser.TCAvg(), 15.5);
    EXPECT_EQ(Answer(s, "KTR0500240").GetTCCal(), 240);
    EXPECT_EQ(Answer(s, "KTR05?x?x?").GetTCCal(), 240);
    for (auto [reply, version] : {std::pair{"KTR0112345", "12.3.45"}, {"          ", "??"}}) {
        s.script->Reply(reply);
        EXPECT_EQ(s.focuser.GetTCFirmwareVersion(), version) << reply;
    }

    s.script->Clear();
    // The result and the calibration kept afterwards.
    const auto set = [&](const char* reply, int value) {
        const HubResult r = Answer(s, reply).SetTCCal(value);
        return std::pair(r, s.focuser.TCCal());
    };
    EXPECT_EQ(set("KTR0700042", 42), std::pair(HubResult::Ok, 42));
    EXPECT_EQ(s.script->Events(), (Strings{"W:KTR02?????\r", "W:KTR0600042\r"}));
    EXPECT_EQ(set("KTR0700041", 43), std::pair(HubResult::Failed, 42));
    // The same value again, and the hub says nothing: not a success.
    EXPECT_EQ(set("KTR07?????", 42), std::pair(HubResult::Failed, 42));
    // Both ends of the five-digit range are sent; beyond them nothing is.
    EXPECT_EQ(set("KTR0700000", 0), std::pair(HubResult::Ok, 0));
    EXPECT_EQ(set("KTR0799999", 99999), std::pair(HubResult::Ok, 99999));
    s.script->Clear();
    for (const int beyond : {-1, 100000}) {
        s.script->Reply("KTR03YES!!");
        EXPECT_EQ(s.focuser.SetTCCal(beyond), HubResult::Failed);
    }
    EXPECT_EQ(s.script->Events(), Strings(2, "W:KTR02?????\r"));

    // No temperature unit: nothing sent after the two availability queries.
    s.script->Clear();
    s.script->Reply("KTR03NO!!!", "KTR03NO!!!");
    EXPECT_EQ(s.focuser.SetTCCal(240), HubResult::Unavailable);
    EXPECT_EQ(std::pair(s.script->Events().size(), s.focuser.TCCal()), std::pair(2ul, 99999));
}

TEST(CtsCounting, RisingEdgesCountByDsrAndFallingEdgesOnlyInDualSense) {
    using Seen = std::vector<std::pair<std::int32_t, bool>>;  // count and DSR, per reported edge
    ScriptedFocuser s;
    std::mutex mutex;
    Seen seen;
    s.focuser.SetOnCTSChange([&](TFocusControl&, std::int32_t count, bool dsr) {
        std::lock_guard lock(mutex);
        seen.emplace_back(count, dsr);
    });
    ASSERT_TRUE(s.Open());
    // Plays CTS edges as (cts, dsr) and returns what was reported for them.
    const auto play = [&](const std::vector<std::pair<bool, bool>>& edges) {
        std::unique_lock lock(mutex);
        seen.clear(), lock.unlock();
        for (const auto& [cts, dsr] : edges) s.Device().Edge(cts, dsr);
        EXPECT_TRUE(Eventually([&] {
            std::lock_guard guard(mutex);
            return seen.size() >= edges.size();
        }));
        lock.lock();
        return seen;
    };
    // A rise counts up with DSR low and down with it high; a fall is only reported.
    EXPECT_EQ(play({{true, false}, {false, false}, {true, true}, {false, true}}),
              (Seen{{1, false}, {1, false}, {0, true}, {0, true}}));
    // Quadrature counts falls too: "in" rises with DSR low and falls with it high; then "out".
    s.focuser.SetDualSense(true);
    EXPECT_EQ(play({{true, false}, {false, true}, {true, false}, {false, true}, {true, true}, {false, false}}),
              (Seen{{1, false}, {2, false}, {3, false}, {4, false}, {3, true}, {2, true}}));
}

// Counts played by hand: the stop goes out on the very count StopFactor short
// of the target, not one before or after, in either direction.
TEST(CoarseRun, StopsOnTheCountStopFactorShortOfTheTarget) {
    ScriptedFocuser s;
    s.focuser.SetStopFactor(10);
    ASSERT_TRUE(s.Open());
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    // Counts of a motor turning in (DSR low) or out, played by hand.
    const auto turn = [&](int counts, bool in) {
        for (int i = 0; i < counts; ++i) s.Device().Edge(true, !in), s.Device().Edge(false, !in);
    };
    const auto stops = [&] { return std::ranges::count(s.script->Events(), "W::FQ#"); };
    for (const int sign : {1, -1}) {
        SCOPED_TRACE(sign);
        s.focuser.ResetPosition();
        s.focuser.MoveBy(sign * 30);
        EXPECT_FALSE(s.focuser.GetIdle()) << "busy from the moment the move is started";
        ASSERT_TRUE(Eventually([&] { return !s.script->Events().empty(); }));  // the motor started
        s.script->Clear();
        turn(19, sign > 0);
        ASSERT_TRUE(Eventually([&] { return s.focuser.CTSCount() == sign * 19; }));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(stops(), 0);
        turn(1, sign > 0);
        EXPECT_TRUE(Eventually([&] { return stops() > 0; }));
        s.focuser.CancelMovement();
        ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    }

    // A motor that coasts exactly onto the target leaves nothing to nudge.
    s.focuser.ResetPosition();
    s.focuser.MoveBy(30);
    ASSERT_TRUE(Eventually([&] { return !s.script->Events().empty(); }));
    turn(20, true);
    ASSERT_TRUE(Eventually([&] { return stops() > 0; }));
    s.script->Clear();
    turn(10, true);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.focuser.CTSCount(), 30);
    EXPECT_EQ(std::ranges::count(s.script->Events(), "W::F-#") + std::ranges::count(s.script->Events(), "W::F+#"), 0)
        << "no pulse once there";
}

// The frame wait times out and the motor starts; the wait is no stall, but a
// motor then turning no count is stopped within the stall limit, long before
// the nudger's two-minute wait. Both messages are told without waiting.
TEST(CoarseRun, AFrameWaitThatTimesOutIsToldAndAMotorThatNeverCountsIsStopped) {
    // Two minutes pass in 0.6 s; faster, the stall limit would be shorter than
    // a thread's start under the thread checker.
    ScaledClock clock(200);
    ScriptedFocuser s(clock);
    s.focuser.SetJMIFlag(true), s.focuser.SetSBIGInterlock(true), s.focuser.SetNudgeSleep(0.01);
    s.focuser.SetCameraControl([] { return false; });  // a focus frame is always being taken
    ASSERT_TRUE(s.Open());
    OpenNamedEvent(kFocuserWaitEvent)->Reset();
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    const std::uint64_t halts = s.focuser.HaltCount();
    s.focuser.MoveBy(300);
    EXPECT_EQ(done->Wait(kLong), WaitResult::Signalled);
    ASSERT_TRUE(Eventually([&] { return s.dialogs.Deferred().size() == 2; }));
    EXPECT_EQ(s.dialogs.Deferred().front(), "Time out during focuser movement");
    EXPECT_NE(s.dialogs.Deferred().back().find("stayed at position 0"), std::string::npos);
    EXPECT_GE(std::ranges::count(s.script->Events(), "W::F-#"), 1) << "the coarse run was started";
    EXPECT_TRUE(s.dialogs.Texts().empty() && s.focuser.GetIdle() && s.focuser.HaltCount() > halts);
}

TEST(Interlock, CloseNudgesWaitForTheFocusFrameAndAnEndedFrameShowsNothing) {
    // Pulses are timed on the clock too: slow enough that one still turns the motor.
    ScaledClock clock(20);
    ScriptedFocuser s(clock);
    s.script->msPerCount = 2;
    s.focuser.SetUseRTS_DTR(true), s.focuser.SetSBIGInterlock(true), s.focuser.SetCameraControl([] { return false; });
    s.focuser.SetCloseNudgeTime(0.1), s.focuser.SetNudgeSleep(0.2);
    s.focuser.SetNudgeTime(2.0);  // would run the motor some fifty counts
    ASSERT_TRUE(s.Open());
    auto frameEnded = OpenNamedEvent(kFocuserWaitEvent);
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    frameEnded->Reset();
    s.focuser.MoveBy(2);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.dialogs.Deferred(), Strings{"Time out during interlocked nudging"});
    EXPECT_LE(s.focuser.CTSCount(), 20) << "two counts away the pulse is the close one";
    frameEnded->Set();
    s.focuser.MoveBy(2);
    ASSERT_EQ(done->Wait(kLong), WaitResult::Signalled);
    EXPECT_EQ(s.dialogs.Deferred().size(), 1u);
}

TEST(Lifecycle, DestroyingAFocuserMidMoveEndsEveryThreadAndReleasesWaiters) {
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    auto s = std::make_unique<ScriptedFocuser>();
    s->focuser.SetJMIFlag(true), s->focuser.SetQuorvelEnable(true);
    ASSERT_TRUE(s->Open());
    s->focuser.MoveBy(-400);
    std::this_thread::sleep_for(50ms);
    s.reset();  // must return: every thread stopped and joined
    EXPECT_EQ(done->Wait(0ms), WaitResult::Signalled) << "a waiter for the move is released";
}

using Clips = std::vector<std::string>;

const std::string kClips = std::string(KV_BIN_DIR) + "/Res01";
constexpr int kHour = 3600 * 1000;

// Records the name of every clip it plays ("4M"). Each play lasts `playTime`,
// and while the gate is closed a play waits until it opens.
class RecordingPlayer final : public ISoundPlayer {
public:
    bool Play(const std::string& path) override {
        std::unique_lock lock(mutex_);
        played_.push_back(std::filesystem::path(path).stem().string());
        cv_.wait(lock, [this] { return open_; });
        lock.unlock();
        std::this_thread::sleep_for(playTime);
        return true;
    }
    // Each announcement is one run: one sound server stream, not one per clip.
    void PlayAll(const std::vector<std::string>& paths, const std::function<bool()>& stop) override {
        ++runs;
        ISoundPlayer::PlayAll(paths, stop);
    }
    Clips Played() const {
        std::lock_guard lock(mutex_);
        return played_;
    }
    void SetOpen(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        cv_.notify_all();
    }
    std::atomic<int> runs{0};
    std::chrono::milliseconds playTime{0};

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = true;
    Clips played_;
};

class VoiceTest : public ::testing::Test {
protected:
    VoiceServices Services(std::string folder = kClips) { return {player, dialogs, clock, std::move(folder)}; }
    // Runs one announcement of `caption` to its end; the clips it played.
    Clips Speak(const std::string& caption, int voice, int delayMs = 500) {
        const std::size_t before = player.Played().size();
        {
            TVoiceThread thread([caption] { return caption; }, "", voice, delayMs, Services());
            EXPECT_TRUE(thread.JoinFor(20000)) << caption;
        }
        EXPECT_FALSE(VoiceSpeaking.load());
        const Clips all = player.Played();
        return Clips(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }

    RecordingPlayer player;
    test::RecordingDialogs dialogs;
    ScaledClock clock{100.0};  // an hour's delay lasts 36 s
};

TEST_F(VoiceTest, SpeaksDigitsAndMinusInTheChosenVoiceAndNothingForNoneOrBlank) {
    EXPECT_EQ(Speak("0042", kVoiceMale), (Clips{"0M", "0M", "4M", "2M"}));
    EXPECT_EQ(Speak("-12 x.", kVoiceFemale), (Clips{"minusF", "1F", "2F"}));
    EXPECT_EQ(player.runs.load(), 2);
    // None speaks without waiting its delay; blank captions say nothing.
    EXPECT_TRUE(Speak("0042", kVoiceNone, kHour).empty() && Speak("", kVoiceFemale).empty() &&
                Speak(" \t ", kVoiceMale).empty() && dialogs.Deferred().empty());
}

TEST_F(VoiceTest, CaptionIsReadOnceAfterTheDelayUnlessTextIsGiven) {
    std::atomic<const char*> caption{"1111"};
    std::atomic<int> reads{0};
    const auto label = [&] { return ++reads, std::string(caption.load()); };
    TVoiceThread thread(label, "", kVoiceMale, 50000, Services());
    caption = "-0005";  // during the half second of delay
    ASSERT_TRUE(thread.JoinFor(20000));
    EXPECT_EQ(player.Played(), (Clips{"minusM", "0M", "0M", "0M", "5M"}));

    TVoiceThread given(label, "7", kVoiceFemale, 0, Services());
    ASSERT_TRUE(given.JoinFor(20000));
    EXPECT_EQ(std::tuple(player.Played().back(), reads.load()), std::tuple("7F", 1));
}

TEST_F(VoiceTest, MissingClipFolderIsDeferredForEveryAnnouncementWithoutSound) {
    test::TempDir dir;
    for (std::size_t i = 1; i <= 2; ++i) {
        TVoiceThread thread([] { return std::string("-42"); }, "", kVoiceMale, 0, Services(dir.File("Res01")));
        EXPECT_EQ(dialogs.Deferred().size(), i);  // from the creating thread, without waiting for the user
        ASSERT_TRUE(thread.JoinFor(20000));
    }
    EXPECT_EQ(dialogs.Deferred(), (Clips{"Resource DLL Load Failed", "Resource DLL Load Failed"}));
    EXPECT_TRUE(dialogs.Texts().empty() && player.Played().empty() && !VoiceSpeaking.load());
}

TEST_F(VoiceTest, NewAnnouncementStopsThePreviousOneTheFlagWaitsForTheLastAndTheOwnerJoinsThem) {
    player.SetOpen(false);
    {
        TVoiceAnnouncer announcer(Services());
        announcer.Announce([] { return std::string("123"); }, kVoiceFemale, 0);
        ASSERT_TRUE(Eventually([&] { return player.Played().size() == 1; }));
        // The first is inside its first clip; the owner does not wait for it.
        announcer.Announce([] { return std::string("-9"); }, kVoiceMale, kHour);
        EXPECT_EQ(announcer.Running(), 2u);
        player.SetOpen(true);
        ASSERT_TRUE(Eventually([&] { return announcer.Running() == 1; }));
        // The stopped one finished its clip and played no other; the new one still waits.
        EXPECT_TRUE(player.Played() == Clips{"1F"} && VoiceSpeaking.load());
        // A stop during the hour's delay cuts it short, and nothing more is played.
        announcer.Stop();
        ASSERT_TRUE(Eventually([&] { return announcer.Running() == 0; }));
        EXPECT_TRUE(!VoiceSpeaking.load() && player.Played() == Clips{"1F"});

        player.playTime = 50ms;  // no announcer runs now
        announcer.Announce([] { return std::string("1234567890"); }, kVoiceMale, 0);
        ASSERT_TRUE(Eventually([&] { return player.Played().size() > 1; }));
    }
    // The owner stopped and joined it; the flag drops only when a thread ends.
    EXPECT_TRUE(!VoiceSpeaking.load() && player.Played().size() < 11u);
}

std::string Le(std::uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

std::string Chunk(const std::string& id, const std::string& body, std::optional<std::uint32_t> size = {}) {
    const bool pad = !size && body.size() % 2 != 0;
    return id + Le(size.value_or(static_cast<std::uint32_t>(body.size())), 4) + body + (pad ? std::string(1, '\0') : "");
}

std::string Fmt(int tag, int channels, std::uint32_t rate, int bits, int blockAlign) {
    return Chunk("fmt ", Le(tag, 2) + Le(channels, 2) + Le(rate, 4) + Le(rate * blockAlign, 4) + Le(blockAlign, 2) +
                             Le(bits, 2));
}

std::string Wav(const std::string& chunks) { return "RIFF" + Le(4 + chunks.size(), 4) + "WAVE" + chunks; }

std::optional<WavClip> Parse(const std::string& image, std::string* why = nullptr) {
    return ParseWav(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()), why);
}

std::string Samples(const WavClip& clip) { return {clip.samples.begin(), clip.samples.end()}; }

// Every clip the build makes: mono at 22050 Hz, its samples everything after
// the plain 44-byte header, as long as a word.
TEST(WavReader, ReadsAll22GeneratedClipsAndPcmVariants) {
    for (const char* voice : {"F", "M"}) {
        for (const std::string name : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "minus"}) {
            const std::string path = kClips + "/" + name + voice + ".wav";
            std::string why;
            const std::optional<WavClip> clip = ReadWavFile(path, &why);
            ASSERT_TRUE(clip) << path << ": " << why;
            EXPECT_EQ(std::tuple(clip->channels, clip->sampleRate, Samples(*clip)),
                      std::tuple(1, 22050u, test::ReadFile(path).substr(44))) << path;
            const double seconds = static_cast<double>(clip->samples.size()) / (2.0 * 22050);
            EXPECT_TRUE(seconds > 0.2 && seconds < 3.0) << path << " lasts " << seconds << " s";
        }
    }
    // Stereo at another rate after an odd-sized chunk and its pad byte; the
    // trailing half frame is dropped.
    const auto stereo = Parse(Wav(Chunk("LIST", "abc") + Fmt(1, 2, 48000, 16, 4) + Chunk("data", "123456")));
    ASSERT_TRUE(stereo);
    EXPECT_EQ(std::tuple(stereo->channels, stereo->sampleRate, Samples(*stereo)), std::tuple(2, 48000u, "1234"));
    // A streamed file whose data size was never filled in runs to the end.
    const auto streamed = Parse(Wav(Fmt(1, 1, 8000, 16, 2) + Chunk("data", "abcd", 0xFFFFFFFFu)));
    EXPECT_TRUE(streamed && Samples(*streamed) == "abcd");
}

TEST(WavReader, RejectsWhatThePlayerCannotPlay) {
    const std::string data = Chunk("data", "abcd");
    const std::pair<const char*, std::string> cases[] = {
        {"not RIFF", "RIFX" + Wav(Fmt(1, 1, 8000, 16, 2) + data).substr(4)},
        {"8-bit", Wav(Fmt(1, 1, 8000, 8, 1) + data)},
        {"float", Wav(Fmt(3, 1, 8000, 32, 4) + data)},
        {"six channels", Wav(Fmt(1, 6, 8000, 16, 12) + data)},
        {"no rate", Wav(Fmt(1, 1, 0, 16, 2) + data)},
        {"wrong frame size", Wav(Fmt(1, 2, 8000, 16, 2) + data)},
        {"samples before format", Wav(data + Fmt(1, 1, 8000, 16, 2))},
        {"no samples", Wav(Fmt(1, 1, 8000, 16, 2))},
        {"format cut short", Wav(Fmt(1, 1, 8000, 16, 2)).substr(0, 30)},
    };
    for (const auto& [what, image] : cases) {
        std::string why;
        EXPECT_TRUE(!Parse(image, &why) && !why.empty()) << what;
    }
}

TEST(WavReader, RealPlayerSkipsWhatItCannotPlayWithoutWaiting) {
    PulseSoundPlayer real;
    test::TempDir dir;
    dir.Write("bad.wav", Wav(Fmt(1, 1, 8000, 8, 1) + Chunk("data", "ab")));
    EXPECT_FALSE(real.Play(dir.File("bad.wav")) || real.Play(dir.File("missing.wav")));
    // With the server pointed at nothing, a good clip is skipped.
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    ::setenv("PULSE_SERVER", ("unix:" + dir.File("no-server")).c_str(), 1);
    EXPECT_FALSE(real.Play(kClips + "/1M.wav"));
    old ? ::setenv("PULSE_SERVER", saved.c_str(), 1) : ::unsetenv("PULSE_SERVER");
}

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
        EXPECT_TRUE(focuser.GetIdle() && focuser.CTSCount() == 120) << focuser.CTSCount();

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
    // Reversed, a continuous move in runs out to the travel's end.
    focuser.StartMove(true, false);
    EXPECT_TRUE(Wrote(FrameText("FG001000")));
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
    EXPECT_TRUE(general->Wait(0ms) == WaitResult::Signalled && focuser.GetIdle());
    EXPECT_EQ(script->Events(), std::vector<std::string>{"W:" + FrameText("FG000000")});
    ASSERT_EQ(dialogs.Deferred().size(), 1u);
    EXPECT_NE(dialogs.Deferred()[0].find("refused"), std::string::npos);

    Send(FrameText("FD0A3000"));  // a letter among the digits, its checksum good
    Send(FrameText("FD003000"));
    ASSERT_TRUE(Wrote(FrameText("FL000000")));
    EXPECT_EQ(general->Wait(100ms), WaitResult::TimedOut) << "the first position is no move's end";
    EXPECT_EQ(std::tuple(focuser.StartCount(), focuser.CTSCount()), std::tuple(3000, 0));
    const auto log = TakeComLog();
    EXPECT_TRUE(Contains(log, "TX:  " + FrameText("FG000000")) && Contains(log, "-- RX:  " + FrameText("FD003000")));
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
    EXPECT_EQ(std::tuple(focuser.MaxTravel(), focuser.FirmWareVersion()), std::tuple(10000, "002.31"));
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
    EXPECT_EQ(std::tuple(focuser.CurrentCount(), focuser.CTSCount()), std::tuple(4990, 10));
    EXPECT_GE(focuser.RejectedReplies(), 1);

    // A cut reply followed by silence: the move stays open until StopMove.
    focuser.MoveBy(10);
    Send(FrameText("FD004980").substr(0, 6));
    EXPECT_FALSE(focuser.GetIdle());
    script->Clear();
    focuser.SetLogCommands(true);
    focuser.StopMove();
    EXPECT_TRUE(focuser.GetIdle() && Wrote(std::string(97, 'V')));
    EXPECT_TRUE(Contains(TakeComLog(), "TX:  Stop Command"));
}

}  // namespace
}  // namespace kv::test
