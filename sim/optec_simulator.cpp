#include "sim/optec_simulator.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "sim/sim_devices.h"

namespace kvsim {

namespace {

constexpr std::size_t kCommand = 6;
constexpr const char* kLineEnd = "\n\r";

bool IsDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Known(const std::string& c) {
    if (c == "FMMODE" || c == "FFMODE" || c == "FPOSRO") return true;
    return (c.compare(0, 2, "FO") == 0 || c.compare(0, 2, "FI") == 0) && IsDigits(std::string_view(c).substr(2));
}

}  // namespace

OptecDevice::OptecDevice() = default;

OptecDevice::~OptecDevice() { StopThread(); }

void OptecDevice::SetIgnoredModeRequests(int n) {
    std::lock_guard lock(mutex_);
    ignoreModeRequests_ = n;
    modeRequests_ = 0;
    serialMode_ = false;
}

bool OptecDevice::SerialMode() const {
    std::lock_guard lock(mutex_);
    return serialMode_;
}

int OptecDevice::ModeRequests() const {
    std::lock_guard lock(mutex_);
    return modeRequests_;
}

void OptecDevice::OnBytes(std::string_view bytes) {
    buffer_.append(bytes);
    // Commands have no terminator: resynchronise on the next "F" after anything unknown.
    for (;;) {
        const std::size_t start = buffer_.find('F');
        if (start == std::string::npos) {
            buffer_.clear();
            return;
        }
        buffer_.erase(0, start);
        if (buffer_.size() < kCommand) return;
        const std::string command = buffer_.substr(0, kCommand);
        if (!Known(command)) {
            buffer_.erase(0, 1);
            continue;
        }
        buffer_.erase(0, kCommand);
        Handle(command);
    }
}

void OptecDevice::Handle(const std::string& command) {
    if (command == "FMMODE") {
        ++modeRequests_;
        if (ignoreModeRequests_ < 0 || modeRequests_ <= ignoreModeRequests_) return;
        serialMode_ = true;
        Emit(std::string("!") + kLineEnd);
        return;
    }
    if (!serialMode_) return;
    if (command == "FFMODE") {
        serialMode_ = false;
        HaltMotion();
        return;
    }
    if (command == "FPOSRO") {
        char text[16];
        std::snprintf(text, sizeof text, "P=%04lld", static_cast<long long>(PositionLocked()));
        Reply(text + std::string(kLineEnd));
        return;
    }
    if (MovingLocked()) return;
    const std::int64_t n = std::stoll(command.substr(2));
    StartMotion(PositionLocked() + (command[1] == 'O' ? n : -n));
}

void OptecDevice::OnStep(bool) {}

void OptecDevice::OnArrived() { Emit(std::string("*") + kLineEnd); }

// ---------------------------------------------------------------- registry

std::shared_ptr<OptecDevice> OptecFor(const std::string& name) {
    static NamedDevices<OptecDevice> devices;
    return devices.For(name);
}

void RegisterOptecSimulator() {
    RegisterSimulatedDevice("optec", [](const std::string& name) -> std::unique_ptr<kv::ISerialPort> {
        return std::make_unique<ProtocolDevicePort>("sim:" + name, OptecFor(name));
    });
}

}  // namespace kvsim
