// Playing short recorded clips, one after the other, each to its end.
//
// The sound server is optional: a machine without one (or without its client
// library) still runs the program, and a clip it cannot play is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kv {

class ISoundPlayer {
public:
    virtual ~ISoundPlayer() = default;
    // Plays the WAV file at `path` and returns when it has been heard to its
    // end. False, at once, when the file is missing or not a format we play,
    // or when there is no sound output.
    virtual bool Play(const std::string& path) = 0;
    // Plays the clips one after the other, each to its end, asking `stop`
    // before each; returns when the last one played has been heard. A clip
    // that cannot be played is skipped. This one plays each with Play.
    virtual void PlayAll(const std::vector<std::string>& paths, const std::function<bool()>& stop);
};

// The samples of a WAV file we can play: 16-bit signed little-endian PCM,
// mono or stereo, any rate.
struct WavClip {
    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::vector<std::uint8_t> samples;  // whole frames only
};

// Reads a RIFF/WAVE image. nullopt for anything else, and for WAV files in
// another sample format (8-bit, 24-bit, float, compressed, more than two
// channels); `why`, when given, then says what was wrong.
std::optional<WavClip> ParseWav(std::span<const std::uint8_t> bytes, std::string* why = nullptr);
std::optional<WavClip> ReadWavFile(const std::string& path, std::string* why = nullptr);

// Plays through the PulseAudio simple API (which PipeWire also serves). The
// client library is loaded on the first Play; without it, or without a
// server, Play returns false.
class PulseSoundPlayer final : public ISoundPlayer {
public:
    bool Play(const std::string& path) override;
    // One stream for the whole run, with a short buffer, so the clips follow
    // each other as recorded: opening a stream per clip cost the sound
    // server's start-up (seconds with some servers) between every two digits.
    void PlayAll(const std::vector<std::string>& paths, const std::function<bool()>& stop) override;
    // Whether the client library could be loaded (loads it when not yet tried).
    static bool LibraryAvailable();
};

// The player the program uses; it lives for the whole process.
ISoundPlayer& DefaultSoundPlayer();

}  // namespace kv
