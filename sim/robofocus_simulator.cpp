#include "sim/robofocus_simulator.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "sim/sim_devices.h"

namespace kvsim {

namespace {

constexpr std::size_t kFrame = 9;

std::string Digits5(std::int64_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%05lld", static_cast<long long>(v));
    return text;
}

bool IsDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

RoboFocusDevice::RoboFocusDevice() = default;

RoboFocusDevice::~RoboFocusDevice() { StopThread(); }

void RoboFocusDevice::SetTravelLimit(std::int64_t limit) {
    std::lock_guard lock(mutex_);
    travelLimit_ = std::clamp<std::int64_t>(limit, 1, 99999);
}

std::int64_t RoboFocusDevice::TravelLimit() const {
    std::lock_guard lock(mutex_);
    return travelLimit_;
}

void RoboFocusDevice::SetFirmware(std::string version6) {
    std::lock_guard lock(mutex_);
    version6.resize(6, ' ');
    firmware_ = std::move(version6);
}

std::string RoboFocusDevice::MakeFrame(const std::string& text8) {
    unsigned sum = 0;
    for (unsigned char c : text8) sum += c;
    return text8 + static_cast<char>(sum % 256);
}

std::string RoboFocusDevice::PositionFrame() const { return MakeFrame("FD0" + Digits5(PositionLocked())); }

void RoboFocusDevice::OnBytes(std::string_view bytes) {
    if (MovingLocked()) {
        // Any character stops a move; the rest of what came with it is dropped.
        HaltMotion();
        buffer_.clear();
        Reply(PositionFrame());
        return;
    }
    buffer_.append(bytes);
    for (;;) {
        const std::size_t start = buffer_.find('F');
        if (start == std::string::npos) {
            buffer_.clear();
            return;
        }
        buffer_.erase(0, start);
        if (buffer_.size() < kFrame) return;
        const std::string frame = buffer_.substr(0, kFrame);
        if (MakeFrame(frame.substr(0, 8)) != frame) {
            buffer_.erase(0, 1);
            continue;
        }
        buffer_.erase(0, kFrame);
        Handle(frame.substr(0, 8));
        if (MovingLocked()) {
            buffer_.clear();
            return;
        }
    }
}

void RoboFocusDevice::Handle(const std::string& text) {
    const std::string command = text.substr(0, 2);
    if (command == "FG") {
        if (!IsDigits(text.substr(2))) return;
        const std::int64_t target = std::stoll(text.substr(2));
        if (target == 0) {
            Reply(PositionFrame());
        } else {
            StartMotion(target);
        }
    } else if (command == "FL") {
        Reply(MakeFrame("FL0" + Digits5(travelLimit_)));
    } else if (command == "FV") {
        Reply(MakeFrame("FV" + firmware_));
    } else if (command == "FC") {
        Reply(MakeFrame("FC002000"));
    }
}

void RoboFocusDevice::OnStep(bool outward) { Emit(outward ? "O" : "I"); }

void RoboFocusDevice::OnArrived() { Reply(PositionFrame()); }

// ---------------------------------------------------------------- registry

std::shared_ptr<RoboFocusDevice> RoboFocusFor(const std::string& name) {
    static NamedDevices<RoboFocusDevice> devices;
    return devices.For(name);
}

void RegisterRoboFocusSimulator() {
    RegisterSimulatedDevice("robofocus", [](const std::string& name) -> std::unique_ptr<kv::ISerialPort> {
        return std::make_unique<ProtocolDevicePort>("sim:" + name, RoboFocusFor(name));
    });
}

}  // namespace kvsim
