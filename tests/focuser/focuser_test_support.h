// Test doubles for the focuser tests: a scripted device on the far end of the
// serial cable that records every byte and line change and answers hub
// requests from a script, and a focuser wired to it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "focuser/focus_control.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "shell/log_channel.h"
#include "sim/sim_port.h"
#include "support/recording_dialogs.h"

namespace kv::test {

using namespace std::chrono_literals;

// Generous bounds: reached only when the code under test is wrong.
constexpr auto kLong = 20s;

// Records like RecordingDialogs; while closed, Show waits until Open() (a
// user who has not answered yet). Defer never waits.
class GatedDialogs final : public IDialogs {
public:
    DialogResult Show(const std::string& text, DialogType type, DialogButtons buttons) override {
        std::unique_lock lock(mutex_);
        ++showing_;
        cv_.wait(lock, [this] { return open_; });
        --showing_;
        return recorder_.Show(text, type, buttons);
    }
    void Defer(const DeferredMessage& message) override { recorder_.Defer(message); }
    void Beep() override {}
    void SetOpen(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        cv_.notify_all();
    }
    bool Showing() const {
        std::lock_guard lock(mutex_);
        return showing_ > 0;
    }
    std::vector<std::string> Texts() const { return recorder_.Texts(); }
    std::vector<std::string> Deferred() const { return recorder_.Deferred(); }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = true;
    int showing_ = 0;
    RecordingDialogs recorder_;
};

// What the scripted device saw; outlives the port, which the focuser owns.
struct Script {
    std::mutex mutex;
    std::vector<std::string> events;      // "W:<bytes>" per write, "RTS1", "DTR0", ... per line change
    std::deque<std::string> hubReplies;   // answers to the next hub requests, in order ("" = silence)
    int opens = 0;
    int closes = 0;
    // Line mode only: while RTS is high a motor turns one count every
    // `msPerCount` ms in the DTR direction (0: no motor). The device's own
    // count at each fall of RTS is kept in stopCounts.
    int msPerCount = 0;
    std::int32_t motorCount = 0;
    std::vector<std::int32_t> stopCounts;

    std::vector<std::string> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
    // The events without the keep-alive writes.
    std::vector<std::string> Traffic() {
        std::vector<std::string> out;
        for (auto& e : Events()) {
            if (e != "W:5") out.push_back(e);
        }
        return out;
    }
    void Clear() {
        std::lock_guard lock(mutex);
        events.clear();
    }
    void Reply(std::string r) {
        std::lock_guard lock(mutex);
        hubReplies.push_back(std::move(r));
    }
};

class ScriptedDevice final : public kvsim::SimulatedSerialPort {
public:
    ScriptedDevice(std::string device, std::shared_ptr<Script> script)
        : SimulatedSerialPort(std::move(device)), script_(std::move(script)) {}
    ~ScriptedDevice() override {
        StopMotor();
        Close();
    }

    // A CTS edge with the given lines, as the hub reports an encoder count.
    void Edge(bool cts, bool dsr) { DeviceSetLines(cts, dsr); }

protected:
    bool OnOpen(const SerialSettings&) override {
        std::lock_guard lock(script_->mutex);
        ++script_->opens;
        return true;
    }
    void OnClose() override {
        std::lock_guard lock(script_->mutex);
        ++script_->closes;
    }
    void OnReceived(std::string_view bytes) override {
        std::string reply;
        {
            std::lock_guard lock(script_->mutex);
            script_->events.push_back("W:" + std::string(bytes));
            // A hub request ends with CR; it takes the next scripted reply.
            if (!bytes.empty() && bytes.back() == '\r' && !script_->hubReplies.empty()) {
                reply = script_->hubReplies.front();
                script_->hubReplies.pop_front();
            }
        }
        if (!reply.empty()) DeviceSend(reply);
    }
    void OnLinesChanged(bool rts, bool dtr) override {
        const bool rose = rts && !rts_;
        const bool fell = !rts && rts_;
        int msPerCount = 0;
        {
            std::lock_guard lock(script_->mutex);
            if (rts != rts_) script_->events.push_back(rts ? "RTS1" : "RTS0");
            if (dtr != dtr_) script_->events.push_back(dtr ? "DTR1" : "DTR0");
            msPerCount = script_->msPerCount;
        }
        rts_ = rts;
        dtr_ = dtr;
        if (msPerCount <= 0) return;
        if (fell) {
            StopMotor();
            std::lock_guard lock(script_->mutex);
            script_->stopCounts.push_back(script_->motorCount);
        }
        if (rose) StartMotor(dtr, msPerCount);
    }

private:
    void StartMotor(bool in, int msPerCount) {
        StopMotor();
        running_.store(true);
        motor_ = std::thread([this, in, msPerCount] {
            while (running_.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(msPerCount));
                if (!running_.load()) break;
                {
                    std::lock_guard lock(script_->mutex);
                    script_->motorCount += in ? 1 : -1;
                }
                Edge(true, !in);
                Edge(false, !in);
            }
        });
    }
    void StopMotor() {
        running_.store(false);
        if (motor_.joinable()) motor_.join();
    }

    std::shared_ptr<Script> script_;
    bool rts_ = false;
    bool dtr_ = false;
    std::atomic<bool> running_{false};
    std::thread motor_;
};

// A focuser on a scripted device, keep-alive off so the traffic is exact.
struct ScriptedFocuser {
    explicit ScriptedFocuser(IClock& clock = DefaultClock()) : focuser(dialogs, clock) {
        focuser.SetQuorvelEnable(false);
        focuser.SetPortFactory([this](const std::string& device) -> std::unique_ptr<ISerialPort> {
            auto port = std::make_unique<ScriptedDevice>(device, script);
            device_.store(port.get());
            return port;
        });
    }
    ScriptedDevice& Device() { return *device_.load(); }
    bool Open() {
        const bool ok = focuser.OpenPort();
        script->Clear();
        return ok;
    }

    RecordingDialogs dialogs;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    TFocusControl focuser;

private:
    std::atomic<ScriptedDevice*> device_{nullptr};
};

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = kLong) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// COM-log lines posted since the last call.
inline std::vector<std::string> TakeComLog() {
    std::vector<std::string> out;
    for (auto& line : LogChannel::Instance().TakePending()) {
        if (line.channel == kComLog) out.push_back(line.text);
    }
    return out;
}

}  // namespace kv::test
