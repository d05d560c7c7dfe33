// The log channel.
//
// Any thread hands a line to the main window with PostLogText. Lines go into
// one FIFO under a mutex and the GUI thread is woken to drain it, so a worker
// never waits for the GUI thread (a synchronous hand-off would deadlock a
// worker that the GUI thread is itself waiting for) and the lines of each
// thread arrive in the order that thread sent them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kv {

enum LogChannelId : int { kComLog = 1, kProgramLog = 2, kStatusBar = 3 };

// What a program-log line is to the observer. Trace lines narrate the
// program's own steps ("In TImageObject.PutImage method"); the Status tab's
// "Results" view leaves them out and shows the rest: moves, frames, procedure
// starts, positions and figures, results, warnings and errors. A line is
// classed where it is written, never by its text, and Result is the default:
// a line nobody classed shows up in the short view instead of hiding a
// failure there.
enum class LogKind : std::uint8_t { Result, Trace };

struct LogLine {
    std::string text;
    int channel = kProgramLog;
    LogKind kind = LogKind::Result;
};

class LogChannel {
public:
    static LogChannel& Instance();

    // Any thread. Never blocks on the GUI thread.
    void Post(std::string text, int channel, LogKind kind = LogKind::Result);
    // GUI thread: everything posted so far, oldest first.
    std::vector<LogLine> TakePending();
    // Called on the posting thread when the queue turns non-empty; the desktop
    // queues a drain onto the GUI thread from it. Pass {} to detach. Lines
    // already waiting when a wake-up is installed wake it at once.
    void SetWakeUp(std::function<void()> wake);

    // Lines kept while nobody drains, so a stalled GUI cannot eat the memory;
    // the oldest lines go first, and the count of dropped lines is reported.
    static constexpr std::size_t kMaxPending = 100000;
    std::size_t DroppedCount() const { return dropped_.load(); }

private:
    std::mutex mutex_;
    std::deque<LogLine> queue_;
    // Guards wake_ and is held while it runs, so once SetWakeUp({}) returns the
    // old wake-up is never called again (the desktop detaches before its window
    // goes away). The wake-up must not post itself.
    std::mutex wakeMutex_;
    std::function<void()> wake_;
    std::atomic<std::size_t> dropped_{0};
};

void PostLogText(const std::string& text, int channel, LogKind kind = LogKind::Result);

// The program log's entry point and the status line. The two switches mirror
// the "Log" and "Time Stamp" check boxes of the Status tab.
class ProgramLog {
public:
    static ProgramLog& Instance();
    std::atomic<bool> logging{true};
    std::atomic<bool> timestamp{false};
};

void WriteProgramLog(const std::string& text, LogKind kind = LogKind::Result);
void ShowStatus(const std::string& text);

}  // namespace kv
