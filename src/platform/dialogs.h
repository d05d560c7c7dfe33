// The one way engine code asks the user something.
//
// Engine code never touches a window. A caller that may wait for the user
// calls IDialogs::Show; the desktop shows a message box on the GUI thread,
// tests answer with a recorder. A worker thread must never wait for the GUI
// thread, which may itself be waiting for that worker (a close, a port
// change, a destructor joining it): it calls IDialogs::Defer, which returns at
// once; the desktop queues the message and its MsgBoxTimer shows it.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace kv {

enum class DialogType { Error, Warning, Information, Confirmation };
enum class DialogButtons { Ok, YesNo, OkRetry, YesCancel };
enum class DialogResult { Ok, Yes, No, Retry, Cancel };

struct DeferredMessage {
    std::string text;
    DialogType type = DialogType::Error;
    DialogButtons buttons = DialogButtons::Ok;
};

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // Shows the box and returns the button pressed. Blocks the caller until
    // the user answers: never call it from a worker the GUI thread may wait for.
    virtual DialogResult Show(const std::string& text, DialogType type, DialogButtons buttons) = 0;
    // Shows the box later, from the GUI thread, and returns at once. The
    // answer is not reported, so only messages whose only button is OK belong here.
    virtual void Defer(const DeferredMessage& message) = 0;
    // The system's default beep, used with refusals.
    virtual void Beep() = 0;
};

// The main window's deferred messages: workers post, the one-shot timer
// (1000 ms) takes them one at a time on the GUI thread. None is lost: a
// message posted again while its twin still waits is shown once with the
// count of repeats, and past kMaxDeferredMessages waiting messages the last
// one shown says how many more were left out.
class DeferredMessageQueue {
public:
    // Called from the posting thread after the message is stored; the desktop
    // uses it to arm MsgBoxTimer on the GUI thread.
    void SetArmTimer(std::function<void()> arm);
    void Post(DeferredMessage message);
    // The oldest waiting message, its text completed with the repeat and
    // overflow counts; nullopt when none waits.
    std::optional<DeferredMessage> Take();
    std::size_t Waiting() const;

private:
    struct Entry {
        DeferredMessage message;
        int repeats = 0;
    };
    mutable std::mutex mutex_;
    std::deque<Entry> pending_;
    int overflow_ = 0;
    std::function<void()> arm_;
};

inline constexpr int kMsgBoxTimerMs = 1000;
inline constexpr std::size_t kMaxDeferredMessages = 20;

}  // namespace kv
