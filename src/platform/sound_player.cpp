#include "platform/sound_player.h"

#include <dlfcn.h>

#include <cstring>
#include <fstream>

namespace kv {

void ISoundPlayer::PlayAll(const std::vector<std::string>& paths, const std::function<bool()>& stop) {
    for (const std::string& path : paths) {
        if (stop && stop()) return;
        Play(path);
    }
}

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// Clips are a second or two; anything this large is not one of ours, and
// reading it whole would only waste memory.
constexpr std::size_t kMaxWavBytes = 16u * 1024u * 1024u;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::optional<WavClip> Reject(std::string* why, const char* text) {
    if (why) *why = text;
    return std::nullopt;
}

}  // namespace

std::optional<WavClip> ParseWav(std::span<const std::uint8_t> bytes, std::string* why) {
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        return Reject(why, "not a RIFF/WAVE file");
    }
    WavClip clip;
    bool haveFormat = false;
    std::size_t pos = 12;
    while (bytes.size() - pos >= 8) {
        const std::uint8_t* chunk = bytes.data() + pos;
        const std::size_t declared = Le32(chunk + 4);
        const std::size_t available = bytes.size() - pos - 8;
        const std::uint8_t* body = chunk + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (declared < 16 || declared > available) return Reject(why, "format chunk cut short");
            std::uint16_t tag = Le16(body);
            if (tag == kFormatExtensible) {
                // The sub-format GUID begins with the plain format tag.
                if (declared < 40) return Reject(why, "format chunk cut short");
                tag = Le16(body + 24);
            }
            if (tag != kFormatPcm) return Reject(why, "not PCM");
            const std::uint16_t channels = Le16(body + 2);
            const std::uint32_t rate = Le32(body + 4);
            const std::uint16_t blockAlign = Le16(body + 12);
            const std::uint16_t bits = Le16(body + 14);
            if (bits != 16) return Reject(why, "not 16-bit samples");
            if (channels != 1 && channels != 2) return Reject(why, "neither mono nor stereo");
            if (rate == 0) return Reject(why, "no sample rate");
            if (blockAlign != channels * 2) return Reject(why, "frame size does not match the format");
            clip.channels = static_cast<std::uint8_t>(channels);
            clip.sampleRate = rate;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return Reject(why, "samples before the format");
            // A writer that streams may leave the size unset (0 or all ones):
            // the samples then run to the end of the file.
            std::size_t size = declared == 0 || declared > available ? available : declared;
            const std::size_t frame = clip.channels * 2u;
            size -= size % frame;
            clip.samples.assign(body, body + size);
            return clip;
        }
        // Chunks are padded to an even length.
        const std::size_t step = 8 + declared + (declared & 1u);
        if (step > bytes.size() - pos) break;
        pos += step;
    }
    return Reject(why, haveFormat ? "no samples" : "no format");
}

std::optional<WavClip> ReadWavFile(const std::string& path, std::string* why) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Reject(why, "cannot open the file");
    const std::streamoff length = in.tellg();
    if (length < 0 || static_cast<std::size_t>(length) > kMaxWavBytes) return Reject(why, "file too large");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), length)) return Reject(why, "cannot read the file");
    return ParseWav(bytes, why);
}

// ---- PulseAudio's simple API, bound at run time ----
//
// Declared here rather than taken from <pulse/simple.h>, so the program builds
// without the development package. These few declarations are part of the
// library's stable ABI (libpulse-simple.so.0).
namespace {

struct PaSampleType {
    int format;  // pa_sample_format_t
    std::uint32_t rate;
    std::uint8_t channels;
};
constexpr int kPaSampleS16Le = 3;
constexpr int kPaStreamPlayback = 1;
// pa_buffer_attr; (uint32_t)-1 leaves a field to the server.
struct PaBufferAttr {
    std::uint32_t maxlength;
    std::uint32_t tlength;
    std::uint32_t prebuf;
    std::uint32_t minreq;
    std::uint32_t fragsize;
};
constexpr std::uint32_t kPaDefault = 0xFFFFFFFFu;
// Audio kept queued ahead of the speaker during a run of clips.
constexpr std::uint32_t kVoiceBufferMs = 100;

using PaSimpleNew = void* (*)(const char* server, const char* name, int dir, const char* dev,
                              const char* streamName, const PaSampleType* sampleType, const void* map,
                              const void* attr, int* error);
using PaSimpleWrite = int (*)(void* s, const void* data, std::size_t bytes, int* error);
using PaSimpleDrain = int (*)(void* s, int* error);
using PaSimpleFree = void (*)(void* s);

struct PulseSimple {
    PaSimpleNew create = nullptr;
    PaSimpleWrite write = nullptr;
    PaSimpleDrain drain = nullptr;
    PaSimpleFree free = nullptr;
    bool Ready() const { return create && write && drain && free; }
};

template <typename Fn>
Fn Bind(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

const PulseSimple& Pulse() {
    static const PulseSimple api = [] {
        PulseSimple bound;
        // Never closed: the library keeps threads and state of its own.
        void* library = dlopen("libpulse-simple.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) return bound;
        bound.create = Bind<PaSimpleNew>(library, "pa_simple_new");
        bound.write = Bind<PaSimpleWrite>(library, "pa_simple_write");
        bound.drain = Bind<PaSimpleDrain>(library, "pa_simple_drain");
        bound.free = Bind<PaSimpleFree>(library, "pa_simple_free");
        return bound;
    }();
    return api;
}

}  // namespace

bool PulseSoundPlayer::LibraryAvailable() { return Pulse().Ready(); }

bool PulseSoundPlayer::Play(const std::string& path) {
    const std::optional<WavClip> clip = ReadWavFile(path);
    if (!clip) return false;
    const PulseSimple& pulse = Pulse();
    if (!pulse.Ready()) return false;
    const PaSampleType sampleType{kPaSampleS16Le, clip->sampleRate, clip->channels};
    int error = 0;
    // One stream per clip: clips may differ in rate, and a stream held open
    // between announcements would keep the sound device busy for nothing.
    void* stream =
        pulse.create(nullptr, "Kessivane", kPaStreamPlayback, nullptr, "position", &sampleType, nullptr, nullptr, &error);
    if (!stream) return false;
    const bool played = clip->samples.empty() ||
                        (pulse.write(stream, clip->samples.data(), clip->samples.size(), &error) >= 0 &&
                         pulse.drain(stream, &error) >= 0);
    pulse.free(stream);
    return played;
}

void PulseSoundPlayer::PlayAll(const std::vector<std::string>& paths, const std::function<bool()>& stop) {
    const PulseSimple& pulse = Pulse();
    if (!pulse.Ready()) return;
    void* stream = nullptr;
    PaSampleType format{};
    int error = 0;
    auto close = [&] {
        if (stream == nullptr) return;
        pulse.drain(stream, &error);
        pulse.free(stream);
        stream = nullptr;
    };
    for (const std::string& path : paths) {
        if (stop && stop()) break;
        const std::optional<WavClip> clip = ReadWavFile(path);
        if (!clip || clip->samples.empty()) continue;
        const PaSampleType wanted{kPaSampleS16Le, clip->sampleRate, clip->channels};
        if (stream != nullptr && (wanted.rate != format.rate || wanted.channels != format.channels)) close();
        if (stream == nullptr) {
            format = wanted;
            // A short target buffer: a write returns about when the clip
            // before it has been heard, so a stop ends the run near a clip's
            // end and playing starts without waiting for a full default buffer.
            const std::uint32_t bytesPerSecond = wanted.rate * wanted.channels * 2u;
            const PaBufferAttr attr{kPaDefault, bytesPerSecond * kVoiceBufferMs / 1000u, kPaDefault, kPaDefault,
                                    kPaDefault};
            stream = pulse.create(nullptr, "Kessivane", kPaStreamPlayback, nullptr, "position", &format, nullptr,
                                  &attr, &error);
            if (stream == nullptr) return;  // no server: the rest would fail the same way
        }
        if (pulse.write(stream, clip->samples.data(), clip->samples.size(), &error) < 0) {
            pulse.free(stream);
            stream = nullptr;
        }
    }
    close();
}

ISoundPlayer& DefaultSoundPlayer() {
    static auto* player = new PulseSoundPlayer;  // never freed: announcers may still use it at exit
    return *player;
}

}  // namespace kv
