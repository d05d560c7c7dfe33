// Spoken position read-out.
//
// When a move ends the window starts an announcer that, after a short delay,
// reads the position caption and speaks it character by character from
// recorded clips: "0F".."9F" and "minusF" in the female voice, "0M".."9M"
// and "minusM" in the male one, WAV files in the Res01 folder beside the
// program. Each announcement runs on a thread of its own; TVoiceAnnouncer
// owns those threads, so none outlives the window that started it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/sound_player.h"
#include "platform/worker_thread.h"

namespace kv {

// True while any announcer is between its creation and its end. The window
// reads it to know whether there is an announcement to stop.
extern std::atomic<bool> VoiceSpeaking;

// Voice choice, the index of the window's voice radio group.
inline constexpr int kVoiceFemale = 0;
inline constexpr int kVoiceMale = 1;
inline constexpr int kVoiceNone = 2;

inline constexpr const char* kVoiceClipsFailedText = "Resource DLL Load Failed";
inline constexpr const char* kVoiceClipsFolderName = "Res01";

// The clip folder beside the program.
std::string DefaultVoiceFolder();

// The clip spoken for `c` in `voice`: "minusF" for '-', "4M" for '4' in the
// male voice; empty for a character that is not spoken.
std::string VoiceClipName(char c, int voice);

// What an announcer plays through, whom it tells about a missing clip
// folder, and whose time its delay runs on.
struct VoiceServices {
    ISoundPlayer& player;
    IDialogs& dialogs;
    IClock& clock;
    std::string folder = DefaultVoiceFolder();
};

class TVoiceThread {
public:
    // Reads the caption. Called once, on the announcer's thread, after the
    // delay, so it must be safe against the GUI thread changing the caption.
    using CaptionFn = std::function<std::string()>;

    // Starts at once. A missing clip folder is logged and deferred to the
    // user here, once per announcement; the thread then still runs but plays
    // nothing.
    TVoiceThread(CaptionFn label, std::string text, int voice, int delayMs, const VoiceServices& services);
    // Stops and joins.
    ~TVoiceThread();
    TVoiceThread(const TVoiceThread&) = delete;
    TVoiceThread& operator=(const TVoiceThread&) = delete;

    // Ends the announcement before its next clip; a clip being played is
    // finished.
    void Stop() { worker_.RequestStop(); }
    bool Finished() const { return worker_.Finished(); }
    bool JoinFor(int ms) { return worker_.JoinFor(ms); }

    const std::string Text;  // spoken as is; empty: the caption of Label
    const int Voice;
    const int Delay;  // ms
    const CaptionFn Label;
    const std::string Folder;

private:
    void Execute(WorkerThread& self);

    ISoundPlayer& player_;
    IClock& clock_;
    bool folderFound_ = false;
    WorkerThread worker_;
};

// The window's announcers: the latest one, and the earlier ones still
// finishing the clip they were playing when they were told to stop.
class TVoiceAnnouncer {
public:
    explicit TVoiceAnnouncer(VoiceServices services) : services_(std::move(services)) {}
    // Stops every announcer and joins it; see StopAndJoin.
    ~TVoiceAnnouncer() { StopAndJoin(); }
    TVoiceAnnouncer(const TVoiceAnnouncer&) = delete;
    TVoiceAnnouncer& operator=(const TVoiceAnnouncer&) = delete;

    // Stops the announcer speaking now, without waiting for it, and starts a
    // new one that speaks the caption of `label` after `delayMs`.
    void Announce(TVoiceThread::CaptionFn label, int voice, int delayMs);
    // Asks every announcer still running to stop; returns at once.
    void Stop();
    // Announcers not yet ended.
    std::size_t Running() const;
    // Stops every announcer and waits for each to finish its clip. One stuck
    // in the sound server for longer than kVoiceJoinMs is left to end on its
    // own: after a clip an announcer touches nothing but itself and the player.
    void StopAndJoin();

    static constexpr int kVoiceJoinMs = 5000;

private:
    void ReapFinished();  // mutex_ held

    VoiceServices services_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TVoiceThread>> threads_;
};

}  // namespace kv
