// The spoken position read-out: which clips an announcement plays and when it
// ends, the owner that stops and joins announcers, the clips the build makes
// and the WAV reader of the real player.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "focuser/voice_thread.h"
#include "platform/clock.h"
#include "platform/sound_player.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::Eventually;

const std::string kClips = std::string(KV_BIN_DIR) + "/Res01";

// Records the name of every clip it is asked to play ("4M"); each play lasts
// `playTime` of real time, and a test can hold plays until it opens the gate.
class RecordingPlayer final : public ISoundPlayer {
public:
    explicit RecordingPlayer(std::chrono::milliseconds playTime = 0ms) : playTime_(playTime) {}
    bool Play(const std::string& path) override {
        std::unique_lock lock(mutex_);
        played_.push_back(std::filesystem::path(path).stem().string());
        cv_.wait(lock, [this] { return open_; });
        lock.unlock();
        std::this_thread::sleep_for(playTime_);
        return true;
    }
    std::vector<std::string> Played() const {
        std::lock_guard lock(mutex_);
        return played_;
    }
    void SetOpen(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        cv_.notify_all();
    }

private:
    const std::chrono::milliseconds playTime_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = true;
    std::vector<std::string> played_;
};

using Clips = std::vector<std::string>;

class VoiceTest : public ::testing::Test {
protected:
    // Runs one announcement to its end and returns what it played.
    Clips Speak(const std::string& caption, int voice, int delayMs = 500) {
        {
            TVoiceThread thread([caption] { return caption; }, "", voice, delayMs, Services());
            EXPECT_TRUE(VoiceSpeaking.load());
            EXPECT_TRUE(thread.JoinFor(20000));
        }
        EXPECT_FALSE(VoiceSpeaking.load());
        return player.Played();
    }
    VoiceServices Services(std::string folder = kClips) { return {player, dialogs, clock, std::move(folder)}; }

    RecordingPlayer player;
    test::RecordingDialogs dialogs;
    ScaledClock clock{100.0};
};

TEST_F(VoiceTest, SpeaksEachDigitAndMinusInTheChosenVoice) {
    EXPECT_EQ(Speak("0042", kVoiceMale), (Clips{"0M", "0M", "4M", "2M"}));
}

TEST_F(VoiceTest, NegativePositionStartsWithMinusAndOtherCharactersAreSkipped) {
    EXPECT_EQ(Speak("-12 x.", kVoiceFemale), (Clips{"minusF", "1F", "2F"}));
    EXPECT_TRUE(dialogs.Deferred().empty());
}

TEST_F(VoiceTest, NothingIsPlayedForNoVoiceOrABlankCaption) {
    // Voice "None" ends without waiting for its delay of an hour of clock time.
    EXPECT_TRUE(Speak("0042", kVoiceNone, 3600 * 1000).empty());
    EXPECT_TRUE(Speak("", kVoiceFemale).empty());
    EXPECT_TRUE(Speak(" \t ", kVoiceMale).empty());
}

TEST_F(VoiceTest, TextGivenAtCreationIsSpokenInsteadOfTheCaption) {
    int reads = 0;
    {
        TVoiceThread thread([&reads] { ++reads; return std::string("1"); }, "7", kVoiceFemale, 0, Services());
        ASSERT_TRUE(thread.JoinFor(20000));
    }
    EXPECT_EQ(player.Played(), Clips{"7F"});
    EXPECT_EQ(reads, 0);
}

TEST_F(VoiceTest, CaptionIsReadOnceAfterTheDelay) {
    std::atomic<std::string*> caption{nullptr};
    std::string before = "1111", after = "-0005";
    caption = &before;
    std::atomic<int> reads{0};
    // 50 s of a clock 100 times fast: the caption changes during the delay.
    TVoiceThread thread(
        [&] {
            ++reads;
            return *caption.load();
        },
        "", kVoiceMale, 50000, Services());
    caption = &after;
    ASSERT_TRUE(thread.JoinFor(20000));
    EXPECT_EQ(player.Played(), (Clips{"minusM", "0M", "0M", "0M", "5M"}));
    EXPECT_EQ(reads.load(), 1);
}

TEST_F(VoiceTest, StopDuringTheDelayPlaysNothingAndStopBetweenClipsEndsAfterTheCurrentOne) {
    {
        TVoiceThread waiting([] { return std::string("12"); }, "", kVoiceFemale, 1500 * 1000, Services());
        waiting.Stop();
        ASSERT_TRUE(waiting.JoinFor(20000));  // the delay is cut short, not waited out
    }
    EXPECT_TRUE(player.Played().empty());

    player.SetOpen(false);
    TVoiceThread speaking([] { return std::string("123"); }, "", kVoiceFemale, 0, Services());
    ASSERT_TRUE(Eventually([&] { return player.Played().size() == 1; }));
    speaking.Stop();
    player.SetOpen(true);
    ASSERT_TRUE(speaking.JoinFor(20000));
    EXPECT_EQ(player.Played(), Clips{"1F"});
    EXPECT_FALSE(VoiceSpeaking.load());
}

TEST_F(VoiceTest, MissingClipFolderIsReportedForEveryAnnouncementWithoutSound) {
    test::TempDir dir;
    const std::string missing = dir.File("Res01");
    for (int i = 0; i < 2; ++i) {
        TVoiceThread thread([] { return std::string("-42"); }, "", kVoiceMale, 0, Services(missing));
        // Deferred from the creating thread, not shown: it must not wait for the user.
        EXPECT_EQ(dialogs.Deferred().size(), static_cast<std::size_t>(i + 1));
        ASSERT_TRUE(thread.JoinFor(20000));
    }
    EXPECT_EQ(dialogs.Deferred(), (Clips{"Resource DLL Load Failed", "Resource DLL Load Failed"}));
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_TRUE(player.Played().empty());
    EXPECT_FALSE(VoiceSpeaking.load());
}

TEST_F(VoiceTest, NewAnnouncementStopsThePreviousOneBeforeItsNextClip) {
    player.SetOpen(false);
    {
        TVoiceAnnouncer announcer(Services());
        announcer.Announce([] { return std::string("123"); }, kVoiceFemale, 0);
        ASSERT_TRUE(Eventually([&] { return player.Played().size() == 1; }));
        // The first announcer is inside its first clip; the owner does not wait for it.
        announcer.Announce([] { return std::string("-9"); }, kVoiceMale, 0);
        EXPECT_EQ(announcer.Running(), 2u);
        player.SetOpen(true);
        ASSERT_TRUE(Eventually([&] { return announcer.Running() == 0; }));
        // A stopped announcer ending first must not clear the flag while
        // the new one still speaks.
        EXPECT_FALSE(VoiceSpeaking.load());
    }
    Clips played = player.Played();
    ASSERT_EQ(played.size(), 3u);
    EXPECT_EQ(played[0], "1F");
    std::sort(played.begin() + 1, played.end());
    EXPECT_EQ(played, (Clips{"1F", "9M", "minusM"}));
}

TEST_F(VoiceTest, SpeakingFlagStaysUpUntilTheLastAnnouncerEnds) {
    player.SetOpen(false);
    TVoiceAnnouncer announcer(Services());
    announcer.Announce([] { return std::string("1"); }, kVoiceFemale, 0);
    ASSERT_TRUE(Eventually([&] { return player.Played().size() == 1; }));
    announcer.Announce([] { return std::string("2"); }, kVoiceFemale, 3600 * 1000);
    player.SetOpen(true);
    // The first has ended; the second still waits its delay.
    ASSERT_TRUE(Eventually([&] { return announcer.Running() == 1; }));
    EXPECT_TRUE(VoiceSpeaking.load());
    announcer.Stop();
    ASSERT_TRUE(Eventually([&] { return announcer.Running() == 0; }));
    EXPECT_FALSE(VoiceSpeaking.load());
    EXPECT_EQ(player.Played(), Clips{"1F"});
}

TEST_F(VoiceTest, OwnerStopsAndJoinsItsAnnouncersOnDestruction) {
    RecordingPlayer slow(50ms);
    {
        TVoiceAnnouncer announcer({slow, dialogs, clock, kClips});
        announcer.Announce([] { return std::string("1234567890"); }, kVoiceMale, 0);
        ASSERT_TRUE(Eventually([&] { return !slow.Played().empty(); }));
    }
    // Joined: nothing runs on, so nothing more is played and the flag is down.
    EXPECT_FALSE(VoiceSpeaking.load());
    const std::size_t played = slow.Played().size();
    EXPECT_LT(played, 10u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(slow.Played().size(), played);
}

// ---- the clips the build made, and the WAV reader ----

TEST(VoiceClips, TheBuildMakesAll22ClipsAsPlayableWavFiles) {
    for (const char* voice : {"F", "M"}) {
        for (const std::string name : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "minus"}) {
            const std::string path = kClips + "/" + name + voice + ".wav";
            std::string why;
            const std::optional<WavClip> clip = ReadWavFile(path, &why);
            ASSERT_TRUE(clip) << path << ": " << why;
            EXPECT_TRUE(clip->channels == 1 || clip->channels == 2) << path;
            EXPECT_GE(clip->sampleRate, 8000u) << path;
            // A spoken word lasts a good part of a second.
            const double seconds = static_cast<double>(clip->samples.size()) / (2.0 * clip->channels * clip->sampleRate);
            EXPECT_GT(seconds, 0.2) << path;
            EXPECT_LT(seconds, 3.0) << path;
        }
    }
}

// A WAV image: RIFF header, then the given chunks.
std::string Wav(const std::string& chunks) {
    auto le32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    return "RIFF" + le32(static_cast<std::uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

std::string Chunk(const std::string& id, const std::string& body, std::optional<std::uint32_t> size = {}) {
    const std::uint32_t n = size.value_or(static_cast<std::uint32_t>(body.size()));
    std::string out = id + std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                                       static_cast<char>(n >> 24)} + body;
    if (body.size() % 2 != 0 && !size) out += '\0';
    return out;
}

std::string Fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                std::uint16_t blockAlign) {
    auto le16 = [](std::uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
    auto le32 = [&](std::uint32_t v) { return le16(static_cast<std::uint16_t>(v)) + le16(static_cast<std::uint16_t>(v >> 16)); };
    return Chunk("fmt ", le16(tag) + le16(channels) + le32(rate) + le32(rate * blockAlign) + le16(blockAlign) + le16(bits));
}

std::optional<WavClip> Parse(const std::string& image, std::string* why = nullptr) {
    return ParseWav(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()), why);
}

TEST(WavReader, ReadsTheGeneratedClipAndPcmVariants) {
    // espeak-ng's own clip, byte for byte: the samples are what follows the header.
    const std::string bytes = test::ReadFile(kClips + "/0F.wav");
    const std::optional<WavClip> clip = Parse(bytes);
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->channels, 1);
    EXPECT_EQ(clip->sampleRate, 22050u);
    ASSERT_GE(bytes.size(), 44u);
    EXPECT_EQ(clip->samples.size(), bytes.size() - 44);
    EXPECT_EQ(std::string(clip->samples.begin(), clip->samples.end()), bytes.substr(44));

    // Stereo at another rate, after an odd-sized chunk with its pad byte; a
    // trailing half frame is dropped.
    const auto stereo = Parse(Wav(Chunk("LIST", "abc") + Fmt(1, 2, 48000, 16, 4) + Chunk("data", "123456")));
    ASSERT_TRUE(stereo);
    EXPECT_EQ(stereo->channels, 2);
    EXPECT_EQ(stereo->sampleRate, 48000u);
    EXPECT_EQ(std::string(stereo->samples.begin(), stereo->samples.end()), "1234");

    // A streamed file whose data size was never filled in runs to the end.
    const auto streamed = Parse(Wav(Fmt(1, 1, 8000, 16, 2) + Chunk("data", "abcd", 0xFFFFFFFFu)));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->samples.size(), 4u);
}

TEST(WavReader, RejectsWhatThePlayerCannotPlay) {
    const std::string data = Chunk("data", "abcd");
    const struct {
        const char* what;
        std::string image;
    } cases[] = {
        {"empty", ""},
        {"not RIFF", "RIFX" + Wav(Fmt(1, 1, 8000, 16, 2) + data).substr(4)},
        {"8-bit", Wav(Fmt(1, 1, 8000, 8, 1) + data)},
        {"24-bit", Wav(Fmt(1, 1, 8000, 24, 3) + data)},
        {"float", Wav(Fmt(3, 1, 8000, 32, 4) + data)},
        {"compressed", Wav(Fmt(2, 1, 8000, 16, 2) + data)},
        {"six channels", Wav(Fmt(1, 6, 8000, 16, 12) + data)},
        {"no rate", Wav(Fmt(1, 1, 0, 16, 2) + data)},
        {"wrong frame size", Wav(Fmt(1, 2, 8000, 16, 2) + data)},
        {"samples before format", Wav(data + Fmt(1, 1, 8000, 16, 2))},
        {"no samples", Wav(Fmt(1, 1, 8000, 16, 2))},
        {"format cut short", Wav(Fmt(1, 1, 8000, 16, 2)).substr(0, 30)},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(Parse(c.image, &why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
    }
    EXPECT_FALSE(ReadWavFile(kClips + "/no-such-clip.wav"));
}

TEST(WavReader, RealPlayerSkipsAClipItCannotPlayWithoutHanging) {
    PulseSoundPlayer real;
    test::TempDir dir;
    dir.Write("bad.wav", Wav(Fmt(1, 1, 8000, 8, 1) + Chunk("data", "ab")));
    EXPECT_FALSE(real.Play(dir.File("bad.wav")));
    EXPECT_FALSE(real.Play(dir.File("missing.wav")));
    // With the server pointed at nothing, a good clip is skipped, not waited on.
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    ::setenv("PULSE_SERVER", ("unix:" + dir.File("no-server")).c_str(), 1);
    EXPECT_FALSE(real.Play(kClips + "/1M.wav"));
    if (old) ::setenv("PULSE_SERVER", saved.c_str(), 1); else ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace kv
