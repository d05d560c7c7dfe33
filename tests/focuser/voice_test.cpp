// The spoken position read-out: which clips an announcement plays and when it
// ends, the owner that stops and joins announcers, the clips the build makes
// and the WAV reader of the real player.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
    std::atomic<int> runs{0};
    void SetOpen(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        cv_.notify_all();
    }
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
    EXPECT_TRUE(Speak("0042", kVoiceNone, kHour).empty());  // and without waiting its delay
    EXPECT_TRUE(Speak("", kVoiceFemale).empty());
    EXPECT_TRUE(Speak(" \t ", kVoiceMale).empty());
    EXPECT_TRUE(dialogs.Deferred().empty());
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
    EXPECT_EQ(player.Played().back(), "7F");
    EXPECT_EQ(reads.load(), 1);
}

TEST_F(VoiceTest, MissingClipFolderIsDeferredForEveryAnnouncementWithoutSound) {
    test::TempDir dir;
    for (std::size_t i = 1; i <= 2; ++i) {
        TVoiceThread thread([] { return std::string("-42"); }, "", kVoiceMale, 0, Services(dir.File("Res01")));
        EXPECT_EQ(dialogs.Deferred().size(), i);  // from the creating thread, without waiting for the user
        ASSERT_TRUE(thread.JoinFor(20000));
    }
    EXPECT_EQ(dialogs.Deferred(), (Clips{"Resource DLL Load Failed", "Resource DLL Load Failed"}));
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_TRUE(player.Played().empty());
    EXPECT_FALSE(VoiceSpeaking.load());
}

TEST_F(VoiceTest, NewAnnouncementStopsThePreviousOneAndTheFlagWaitsForTheLast) {
    player.SetOpen(false);
    TVoiceAnnouncer announcer(Services());
    announcer.Announce([] { return std::string("123"); }, kVoiceFemale, 0);
    ASSERT_TRUE(Eventually([&] { return player.Played().size() == 1; }));
    // The first is inside its first clip; the owner does not wait for it.
    announcer.Announce([] { return std::string("-9"); }, kVoiceMale, kHour);
    EXPECT_EQ(announcer.Running(), 2u);
    player.SetOpen(true);
    ASSERT_TRUE(Eventually([&] { return announcer.Running() == 1; }));
    // The stopped one finished its clip and played no other; the new one still waits.
    EXPECT_EQ(player.Played(), Clips{"1F"});
    EXPECT_TRUE(VoiceSpeaking.load());
    // A stop during the hour's delay cuts it short, and nothing more is played.
    announcer.Stop();
    ASSERT_TRUE(Eventually([&] { return announcer.Running() == 0; }));
    EXPECT_FALSE(VoiceSpeaking.load());
    EXPECT_EQ(player.Played(), Clips{"1F"});
}

TEST_F(VoiceTest, OwnerStopsAndJoinsItsAnnouncersOnDestruction) {
    player.playTime = 50ms;
    {
        TVoiceAnnouncer announcer(Services());
        announcer.Announce([] { return std::string("1234567890"); }, kVoiceMale, 0);
        ASSERT_TRUE(Eventually([&] { return !player.Played().empty(); }));
    }
    // The flag drops only when a thread ends: none runs on.
    EXPECT_FALSE(VoiceSpeaking.load());
    EXPECT_LT(player.Played().size(), 10u);
}

// ---- the clips the build made, and the WAV reader ----

TEST(VoiceClips, TheBuildMakesAll22ClipsAsPlayableWavFiles) {
    for (const char* voice : {"F", "M"}) {
        for (const std::string name : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "minus"}) {
            const std::string path = kClips + "/" + name + voice + ".wav";
            std::string why;
            const std::optional<WavClip> clip = ReadWavFile(path, &why);
            ASSERT_TRUE(clip) << path << ": " << why;
            const double seconds = static_cast<double>(clip->samples.size()) / (2.0 * clip->channels * clip->sampleRate);
            EXPECT_TRUE(seconds > 0.2 && seconds < 3.0) << path << " lasts " << seconds << " s";
        }
    }
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

TEST(WavReader, ReadsTheGeneratedClipAndPcmVariants) {
    const std::string bytes = test::ReadFile(kClips + "/0F.wav");
    const std::optional<WavClip> clip = Parse(bytes);
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->channels, 1);
    EXPECT_EQ(clip->sampleRate, 22050u);
    EXPECT_EQ(Samples(*clip), bytes.substr(44));  // everything after the plain 44-byte header

    // Stereo at another rate after an odd-sized chunk and its pad byte; the
    // trailing half frame is dropped.
    const auto stereo = Parse(Wav(Chunk("LIST", "abc") + Fmt(1, 2, 48000, 16, 4) + Chunk("data", "123456")));
    ASSERT_TRUE(stereo);
    EXPECT_EQ(stereo->channels, 2);
    EXPECT_EQ(stereo->sampleRate, 48000u);
    EXPECT_EQ(Samples(*stereo), "1234");
    // A streamed file whose data size was never filled in runs to the end.
    const auto streamed = Parse(Wav(Fmt(1, 1, 8000, 16, 2) + Chunk("data", "abcd", 0xFFFFFFFFu)));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(Samples(*streamed), "abcd");
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
        EXPECT_FALSE(Parse(image, &why)) << what;
        EXPECT_FALSE(why.empty()) << what;
    }
}

TEST(WavReader, RealPlayerSkipsWhatItCannotPlayWithoutWaiting) {
    PulseSoundPlayer real;
    test::TempDir dir;
    dir.Write("bad.wav", Wav(Fmt(1, 1, 8000, 8, 1) + Chunk("data", "ab")));
    EXPECT_FALSE(real.Play(dir.File("bad.wav")));
    EXPECT_FALSE(real.Play(dir.File("missing.wav")));
    // With the server pointed at nothing, a good clip is skipped.
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    ::setenv("PULSE_SERVER", ("unix:" + dir.File("no-server")).c_str(), 1);
    EXPECT_FALSE(real.Play(kClips + "/1M.wav"));
    old ? ::setenv("PULSE_SERVER", saved.c_str(), 1) : ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace kv
