#include "shell/log_channel.h"

#include "platform/clock.h"

namespace kv {

LogChannel& LogChannel::Instance() {
    static LogChannel channel;
    return channel;
}

void LogChannel::Post(std::string text, int channel, LogKind kind) {
    bool turnedNonEmpty = false;
    {
        std::lock_guard lock(mutex_);
        turnedNonEmpty = queue_.empty();
        if (queue_.size() >= kMaxPending) {
            queue_.pop_front();
            dropped_.fetch_add(1);
        }
        queue_.push_back(LogLine{std::move(text), channel, kind});
    }
    // Only the post that made the queue non-empty wakes the drain: every later
    // line is taken by that same drain or finds the queue empty again and
    // wakes it itself.
    if (turnedNonEmpty) {
        std::lock_guard lock(wakeMutex_);
        if (wake_) {
            wake_();
        }
    }
}

std::vector<LogLine> LogChannel::TakePending() {
    std::deque<LogLine> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(queue_);
    }
    return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

void LogChannel::SetWakeUp(std::function<void()> wake) {
    std::lock_guard lock(wakeMutex_);
    wake_ = std::move(wake);
    // Lines posted while nobody listened woke nobody, and later posts only wake
    // on an empty queue: without this wake-up they would wait for ever. A post
    // that lands after the check below takes wakeMutex_ after us and so sees
    // the new wake-up itself.
    bool waiting = false;
    {
        std::lock_guard queueLock(mutex_);
        waiting = !queue_.empty();
    }
    if (waiting && wake_) wake_();
}

void PostLogText(const std::string& text, int channel, LogKind kind) {
    LogChannel::Instance().Post(text, channel, kind);
}

ProgramLog& ProgramLog::Instance() {
    static ProgramLog log;
    return log;
}

namespace {
bool IsBlank(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }
}  // namespace

void WriteProgramLog(const std::string& text, LogKind kind) {
    ProgramLog& log = ProgramLog::Instance();
    if (!log.logging.load()) {
        return;
    }
    std::string line = text.empty() ? std::string(" ") : text;
    if (log.timestamp.load() && !IsBlank(line)) {
        line = "[" + FormatDateTime(DefaultClock().Now()) + "] " + line;
    }
    PostLogText(line, kProgramLog, kind);
}

void ShowStatus(const std::string& text) {
    WriteProgramLog(text);
    PostLogText(" " + text, kStatusBar);
}

}  // namespace kv
