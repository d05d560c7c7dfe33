// The one way engine code asks the user something.
//
// Engine code never touches a window. It calls IDialogs::Show and waits for the
// answer; the desktop shows a message box on the GUI thread, tests answer with a
// recorder. Worker threads that must not wait for the user fill a
// DeferredMessage instead; the main window shows it from its MsgBoxTimer.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace kv {

enum class DialogType { Error, Warning, Information, Confirmation };
enum class DialogButtons { Ok, YesNo, OkRetry };
enum class DialogResult { Ok, Yes, No, Retry };

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // Shows the box and returns the button pressed. Callable from any thread;
    // blocks the caller until the user answers.
    virtual DialogResult Show(const std::string& text, DialogType type, DialogButtons buttons) = 0;
    // The system's default beep, used with refusals.
    virtual void Beep() = 0;
};

struct DeferredMessage {
    std::string text;
    DialogType type = DialogType::Error;
    DialogButtons buttons = DialogButtons::Ok;
};

// The main window's deferred message: a worker posts, the one-shot timer
// (1000 ms) takes it on the GUI thread. A second post before the timer fires
// replaces the first, as a single message slot does.
class DeferredMessageSlot {
public:
    // Called from the posting thread after the message is stored; the desktop
    // uses it to arm MsgBoxTimer on the GUI thread.
    void SetArmTimer(std::function<void()> arm);
    void Post(DeferredMessage message);
    std::optional<DeferredMessage> Take();

private:
    std::mutex mutex_;
    std::optional<DeferredMessage> pending_;
    std::function<void()> arm_;
};

inline constexpr int kMsgBoxTimerMs = 1000;

}  // namespace kv
