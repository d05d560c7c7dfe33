// A scripted device on the far end of the serial cable, which records every
// byte and line change and answers hub requests from a script, and a focuser wired to it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

#include "focuser/focus_control.h"
#include "platform/clock.h"
#include "shell/log_channel.h"
#include "sim/sim_port.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"

namespace kv::test {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Generous bounds: reached only when the code under test is wrong.
constexpr auto kLong = 20s;

// What the scripted device saw; outlives the port, which the focuser owns.
struct Script {
    std::mutex mutex;
    std::vector<std::string> events;      // "W:<bytes>" per write, "RTS1", "DTR0", ... per line change
    std::deque<std::string> hubReplies;   // answers to the next hub requests, in order ("" = silence)
    int opens = 0;
    int closes = 0;
    // Line mode: while RTS is high a motor turns one count per `msPerCount` ms
    // (0: none) in the DTR direction.
    int msPerCount = 0;

    template <typename F>
    auto Locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
    std::vector<std::string> Events() { return Locked([&] { return events; }); }
    void Clear() { Locked([&] { events.clear(); }); }
    template <class... Replies>
    void Reply(Replies... replies) {
        Locked([&] { (hubReplies.emplace_back(replies), ...); });
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
        std::unique_lock lock(script_->mutex);
        if (rts != rts_) script_->events.push_back(rts ? "RTS1" : "RTS0");
        if (dtr != dtr_) script_->events.push_back(dtr ? "DTR1" : "DTR0");
        const int msPerCount = script_->msPerCount;
        const bool rose = rts && !rts_, fell = !rts && rts_;
        rts_ = rts;
        dtr_ = dtr;
        lock.unlock();
        if (msPerCount > 0 && fell) StopMotor();
        if (msPerCount > 0 && rose) StartMotor(dtr, msPerCount);
    }

private:
    void StartMotor(bool in, int msPerCount) {
        motor_ = std::jthread([this, in, msPerCount](std::stop_token stop) {
            while (!stop.stop_requested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(msPerCount));
                if (stop.stop_requested()) break;
                Edge(true, !in);
                Edge(false, !in);
            }
        });
    }
    void StopMotor() { motor_ = std::jthread(); }  // stops and joins the running motor

    std::shared_ptr<Script> script_;
    bool rts_ = false;
    bool dtr_ = false;
    std::jthread motor_;
};

// A focuser on a scripted device, keep-alive off so the traffic is exact.
template <class Focuser = TFocusControl>
struct Scripted {
    explicit Scripted(IClock& clock = DefaultClock()) : focuser(dialogs, clock) {
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
    Focuser focuser;

private:
    std::atomic<ScriptedDevice*> device_{nullptr};
};
using ScriptedFocuser = Scripted<>;

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::ranges::find(lines, line) != lines.end();
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
