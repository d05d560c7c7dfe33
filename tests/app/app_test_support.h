// Shared pieces of the desktop tests: a program folder of their own, a dialog
// recorder that answers as told, and a focuser that can be made to stay busy.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "focuser/focus_control.h"
#include "platform/broadcast.h"
#include "platform/dialogs.h"
#include "support/temp_files.h"

namespace kvtest {

struct ShownBox {
    std::string text;
    kv::DialogType type;
    kv::DialogButtons buttons;
};

class RecordingDialogs : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string& text, kv::DialogType type, kv::DialogButtons buttons) override {
        shown.push_back({text, type, buttons});
        return answer;
    }
    // The main window shows deferred messages itself through Show; anything
    // else that defers is recorded as shown.
    void Defer(const kv::DeferredMessage& m) override { shown.push_back({m.text, m.type, m.buttons}); }
    void Beep() override { ++beeps; }
    bool Saw(const std::string& text) const {
        return std::ranges::any_of(shown, [&](const ShownBox& b) { return b.text == text; });
    }
    std::vector<ShownBox> shown;
    kv::DialogResult answer = kv::DialogResult::Ok;
    int beeps = 0;
};

// Keeps the diagnostic trace lines that would go out on the bus.
class TraceBus : public kv::IBroadcastBus {
public:
    bool Broadcast(std::string_view message, std::int64_t, std::int64_t, std::string_view text) override {
        std::lock_guard lock(mutex);
        if (message == kv::kMessageLogger) lines.emplace_back(text);
        return true;
    }
    bool Has(const std::string& prefix) {
        std::lock_guard lock(mutex);
        return std::ranges::any_of(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

class BusyFocuser : public kv::TFocusControl {
public:
    explicit BusyFocuser(kv::IDialogs& dialogs) : kv::TFocusControl(dialogs) {}
    void StopMove() override { ++stops; }
    void CancelMovement() override { ++cancels; }
    bool GetIdle() const override { return !busy.load(); }
    std::atomic<bool> busy{true};
    int stops = 0;
    int cancels = 0;
};

// Keeps the KANTREL_MESSAGE codes and values sent.
class KantrelBus : public kv::IBroadcastBus {
public:
    using Codes = std::vector<std::pair<int, std::int64_t>>;
    bool Broadcast(std::string_view message, std::int64_t code, std::int64_t value, std::string_view) override {
        std::lock_guard lock(mutex_);
        if (message == kv::kKantrelMessage) sent_.emplace_back(static_cast<int>(code), value);
        return true;
    }
    Codes Sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    bool Has(int code, std::int64_t value) {
        return std::ranges::count(Sent(), std::pair<int, std::int64_t>{code, value}) > 0;
    }
    // The values sent with `code`, in order.
    std::vector<std::int64_t> Values(int code) {
        std::vector<std::int64_t> values;
        for (const auto& [c, v] : Sent()) {
            if (c == code) values.push_back(v);
        }
        return values;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

private:
    std::mutex mutex_;
    Codes sent_;
};

// A fresh program folder with the shipped catalogue, removed afterwards.
class ProgramFolder : public kv::test::TempDir {
public:
    ProgramFolder() {
        std::filesystem::copy_file(std::filesystem::path(KV_SOURCE_DIR) / "data" / "Focusers.ini",
                                   Path() / "Focusers.ini");
    }
    std::string Dir() const { return Path().string() + "/"; }
};

// Lets queued calls (log drains, timers) run.
template <class Pred>
bool ProcessEventsUntil(Pred done, int timeoutMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

}  // namespace kvtest
