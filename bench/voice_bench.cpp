// The spoken read-out: reading a clip the build made, one whole announcement
// with a silent player, and how soon a stop ends an announcer waiting out its
// delay (the window stops it before every move).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_dialogs.h"
#include "focuser/voice_thread.h"
#include "platform/sound_player.h"

namespace {

class SilentPlayer final : public kv::ISoundPlayer {
public:
    bool Play(const std::string&) override { return true; }
};

void ReadClip(benchmark::State& state) {
    const std::string path = kv::DefaultVoiceFolder() + "/0F.wav";
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto clip = kv::ReadWavFile(path);
        if (!clip) {
            state.SkipWithError("no clip beside the program: build the kv_voice_clips target");
            return;
        }
        bytes += clip->samples.size();
        benchmark::DoNotOptimize(clip->samples.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(ReadClip);

void WholeAnnouncement(benchmark::State& state) {
    SilentPlayer player;
    kvbench::NoDialogs dialogs;
    kv::SystemClock clock;
    kv::TVoiceAnnouncer announcer({player, dialogs, clock, kv::DefaultVoiceFolder()});
    for (auto _ : state) {
        announcer.Announce([] { return std::string("-0042"); }, kv::kVoiceMale, 0);
        while (announcer.Running() != 0) std::this_thread::yield();
    }
}
BENCHMARK(WholeAnnouncement)->Unit(benchmark::kMicrosecond);

void StopDuringDelay(benchmark::State& state) {
    SilentPlayer player;
    kvbench::NoDialogs dialogs;
    kv::SystemClock clock;
    for (auto _ : state) {
        kv::TVoiceThread thread([] { return std::string("1"); }, "", kv::kVoiceFemale, 1500, {player, dialogs, clock});
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // into the delay
        state.ResumeTiming();
        thread.Stop();
        thread.JoinFor(10000);
    }
}
BENCHMARK(StopDuringDelay)->Unit(benchmark::kMillisecond)->Iterations(50);

// "0042" in the female voice through the sound server (the session's, or
// PULSE_SERVER): Arg 0 opens a stream per clip, as the player once did; Arg 1
// plays the run through one stream. The clips' own length is the floor; the
// window adds its 500 ms delay after a move before the first digit.
void AnnouncementOnTheSoundServer(benchmark::State& state) {
    kv::PulseSoundPlayer player;
    std::vector<std::string> clips;
    double clipSeconds = 0;
    for (const char* name : {"0F", "0F", "4F", "2F"}) {
        clips.push_back(kv::DefaultVoiceFolder() + "/" + name + ".wav");
        const auto clip = kv::ReadWavFile(clips.back());
        if (!clip) {
            state.SkipWithError("no clip beside the program: build the kv_voice_clips target");
            return;
        }
        clipSeconds += static_cast<double>(clip->samples.size()) / (clip->sampleRate * clip->channels * 2.0);
    }
    if (!player.Play(clips.front())) {
        state.SkipWithError("no sound server to play to");
        return;
    }
    for (auto _ : state) {
        if (state.range(0) == 0) {
            for (const auto& clip : clips) player.Play(clip);
        } else {
            player.PlayAll(clips, {});
        }
    }
    state.counters["clips_ms"] = clipSeconds * 1000.0;
}
BENCHMARK(AnnouncementOnTheSoundServer)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
