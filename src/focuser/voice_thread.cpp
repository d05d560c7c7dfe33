#include "focuser/voice_thread.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/waits.h"
#include "shell/log_channel.h"
#include "shell/program_folder.h"

namespace kv {

std::atomic<bool> VoiceSpeaking{false};

namespace {

// A stopped announcer may still be finishing its clip when the next one
// starts. The flag must stay true until the last of them has ended, or the
// window would see "not speaking" while the new one speaks and could not
// stop it before a move.
std::mutex speakersMutex;
int speakers = 0;

void SpeakerStarted() {
    std::lock_guard lock(speakersMutex);
    ++speakers;
    VoiceSpeaking.store(true);
}

void SpeakerEnded() {
    std::lock_guard lock(speakersMutex);
    if (--speakers == 0) VoiceSpeaking.store(false);
}

bool Blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

}  // namespace

std::string DefaultVoiceFolder() { return ProgramFolder() + kVoiceClipsFolderName; }

std::string VoiceClipName(char c, int voice) {
    const char letter = voice == kVoiceMale ? 'M' : 'F';
    if (c == '-') return std::string("minus") + letter;
    if (c >= '0' && c <= '9') return std::string{c, letter};
    return {};
}

TVoiceThread::TVoiceThread(CaptionFn label, std::string text, int voice, int delayMs, const VoiceServices& services)
    : Text(std::move(text)),
      Voice(voice),
      Delay(delayMs),
      Label(std::move(label)),
      Folder(services.folder),
      player_(services.player),
      clock_(services.clock),
      worker_([this](WorkerThread& self) { Execute(self); }) {
    SpeakerStarted();
    std::error_code ec;
    folderFound_ = std::filesystem::is_directory(Folder, ec);
    if (!folderFound_) {
        WriteProgramLog(kVoiceClipsFailedText);
        // Created on the GUI thread: the box must not hold it up.
        services.dialogs.Defer(DeferredMessage{kVoiceClipsFailedText, DialogType::Error, DialogButtons::Ok});
    }
    try {
        worker_.Start();
    } catch (...) {
        SpeakerEnded();
        throw;
    }
}

TVoiceThread::~TVoiceThread() {
    worker_.RequestStop();
    worker_.Join();
}

void TVoiceThread::Execute(WorkerThread& self) {
    struct EndGuard {
        ~EndGuard() { SpeakerEnded(); }
    } ended;

    if (Voice == kVoiceNone) return;
    const StopFn stop = [&self] { return self.StopRequested(); };
    if (!SleepFor(clock_, Delay, stop)) return;
    const std::string spoken = !Text.empty() ? Text : Label ? Label() : std::string();
    if (Blank(spoken)) return;
    if (!folderFound_) return;
    std::vector<std::string> clips;
    for (const char c : spoken) {
        const std::string clip = VoiceClipName(c, Voice);
        if (!clip.empty()) clips.push_back(Folder + "/" + clip + ".wav");
    }
    // One run: the digits follow each other as recorded, with no sound
    // server start-up between them. A clip that cannot be played is skipped.
    player_.PlayAll(clips, stop);
}

void TVoiceAnnouncer::Announce(TVoiceThread::CaptionFn label, int voice, int delayMs) {
    std::lock_guard lock(mutex_);
    for (auto& thread : threads_) thread->Stop();
    ReapFinished();
    threads_.push_back(std::make_unique<TVoiceThread>(std::move(label), std::string(), voice, delayMs, services_));
}

void TVoiceAnnouncer::Stop() {
    std::lock_guard lock(mutex_);
    for (auto& thread : threads_) thread->Stop();
}

std::size_t TVoiceAnnouncer::Running() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(threads_.begin(), threads_.end(),
                                                  [](const auto& thread) { return !thread->Finished(); }));
}

void TVoiceAnnouncer::StopAndJoin() {
    std::vector<std::unique_ptr<TVoiceThread>> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& thread : threads) thread->Stop();
    for (auto& thread : threads) {
        if (thread->JoinFor(kVoiceJoinMs)) continue;
        // Blocked in the sound server: keep the object for the rest of the
        // process, since its thread still runs in it.
        static std::mutex keptMutex;
        static auto* kept = new std::vector<std::unique_ptr<TVoiceThread>>;  // never freed, on purpose
        std::lock_guard keptLock(keptMutex);
        kept->push_back(std::move(thread));
    }
}

void TVoiceAnnouncer::ReapFinished() {
    std::erase_if(threads_, [](const std::unique_ptr<TVoiceThread>& thread) { return thread->Finished(); });
}

}  // namespace kv
