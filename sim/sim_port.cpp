#include "sim/sim_port.h"

#include <algorithm>
#include <cstring>

namespace kvsim {

SimulatedSerialPort::SimulatedSerialPort(std::string device) : kv::ISerialPort(std::move(device)) {}

SimulatedSerialPort::~SimulatedSerialPort() { Close(); }

bool SimulatedSerialPort::Open(const kv::SerialSettings& settings) {
    if (IsOpen()) Close();
    // The device decides first: it may have come back.
    if (!OnOpen(settings)) return false;
    {
        std::lock_guard lock(mutex_);
        if (!vanished_) {
            settings_ = settings;
            open_ = true;
            rx_.clear();
            edges_.clear();
            reported_.reset();
            rts_ = false;
            dtr_ = false;
            return true;
        }
    }
    OnClose();  // the device went away while we were opening it
    return false;
}

void SimulatedSerialPort::Close() {
    std::lock_guard lines(lineMutex_);
    bool linesWereUp = false;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return;
        open_ = false;
        ++generation_;
        rx_.clear();
        edges_.clear();
        reported_.reset();
        linesWereUp = rts_ || dtr_;
        rts_ = false;
        dtr_ = false;
    }
    rxCv_.notify_all();
    edgeCv_.notify_all();
    // Closing a port drops its control lines, so the device sees them fall.
    if (linesWereUp) OnLinesChanged(false, false);
    OnClose();
}

bool SimulatedSerialPort::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool SimulatedSerialPort::SetLine(bool rts, bool on) {
    std::lock_guard lines(lineMutex_);
    bool newRts = false;
    bool newDtr = false;
    {
        std::lock_guard lock(mutex_);
        if (!UsableLocked()) return false;
        bool& line = rts ? rts_ : dtr_;
        if (line == on) return true;
        line = on;
        newRts = rts_;
        newDtr = dtr_;
    }
    OnLinesChanged(newRts, newDtr);
    return true;
}

bool SimulatedSerialPort::SetRts(bool on) { return SetLine(true, on); }
bool SimulatedSerialPort::SetDtr(bool on) { return SetLine(false, on); }

std::optional<kv::ModemLines> SimulatedSerialPort::GetModemLines() {
    std::lock_guard lock(mutex_);
    if (!UsableLocked()) return std::nullopt;
    if (reported_) return kv::ModemLines{reported_->cts, reported_->dsr};
    return kv::ModemLines{cts_, dsr_};
}

kv::SerialWait SimulatedSerialPort::WaitForCtsChange(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    // The consumer has finished with the edge it was given.
    reported_.reset();
    if (vanished_) return kv::SerialWait::Failed;
    if (!open_) return kv::SerialWait::Closed;
    const std::uint64_t generation = generation_;
    edgeCv_.wait(lock, [&] { return !readerHeld_ || !open_ || vanished_ || generation_ != generation; });
    edgeCv_.wait_for(lock, timeout, [&] {
        return !edges_.empty() || !open_ || vanished_ || generation_ != generation;
    });
    if (vanished_) return kv::SerialWait::Failed;
    if (!open_ || generation_ != generation) return kv::SerialWait::Closed;
    if (edges_.empty()) return kv::SerialWait::TimedOut;
    reported_ = edges_.front();
    edges_.pop_front();
    return kv::SerialWait::Changed;
}

void SimulatedSerialPort::Purge() {
    {
        std::lock_guard lock(mutex_);
        if (!UsableLocked()) return;
        rx_.clear();
    }
    OnPurge();
}

bool SimulatedSerialPort::Write(std::string_view bytes, std::chrono::milliseconds /*timeout*/) {
    std::lock_guard order(writeMutex_);
    {
        std::lock_guard lock(mutex_);
        if (!UsableLocked()) return false;
    }
    OnReceived(bytes);
    return true;
}

std::string SimulatedSerialPort::ReadExactly(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!UsableLocked() || n == 0) return {};
    const std::uint64_t generation = generation_;
    rxCv_.wait_for(lock, timeout, [&] {
        return rx_.size() >= n || !UsableLocked() || generation_ != generation;
    });
    if (!UsableLocked() || generation_ != generation) return {};
    if (rx_.size() < n) {
        // A read that ran out of time has still taken what had arrived.
        rx_.clear();
        return {};
    }
    std::string out = rx_.substr(0, n);
    rx_.erase(0, n);
    return out;
}

std::size_t SimulatedSerialPort::ReadSome(char* buffer, std::size_t max, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!UsableLocked() || max == 0) return 0;
    const std::uint64_t generation = generation_;
    rxCv_.wait_for(lock, timeout, [&] {
        return !rx_.empty() || !UsableLocked() || generation_ != generation;
    });
    if (!UsableLocked() || generation_ != generation || rx_.empty()) return 0;
    const std::size_t n = std::min(max, rx_.size());
    std::memcpy(buffer, rx_.data(), n);
    rx_.erase(0, n);
    return n;
}

std::size_t SimulatedSerialPort::OutputFree() const {
    std::lock_guard lock(mutex_);
    return UsableLocked() ? kNominalOutputBuffer : 0;
}

kv::SerialSettings SimulatedSerialPort::Settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

std::size_t SimulatedSerialPort::DroppedEdges() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void SimulatedSerialPort::DeviceSend(std::string_view bytes) {
    {
        std::lock_guard lock(mutex_);
        if (!UsableLocked()) return;
        for (char c : bytes) {
            if (c == '\0' && settings_.discardNul) continue;
            rx_.push_back(c);
        }
    }
    rxCv_.notify_all();
}

void SimulatedSerialPort::DeviceHoldReader(bool held) {
    {
        std::lock_guard lock(mutex_);
        readerHeld_ = held;
    }
    edgeCv_.notify_all();
}

void SimulatedSerialPort::DeviceSetLines(bool cts, bool dsr) {
    {
        std::lock_guard lock(mutex_);
        if (cts != cts_ && open_) {
            edges_.push_back(Edge{cts, dsr});
            if (edges_.size() > kMaxQueuedEdges) {
                edges_.pop_front();
                ++dropped_;
            }
        }
        cts_ = cts;
        dsr_ = dsr;
    }
    edgeCv_.notify_all();
}

void SimulatedSerialPort::DeviceSetVanished(bool vanished) {
    {
        std::lock_guard lock(mutex_);
        vanished_ = vanished;
        if (vanished) {
            rx_.clear();
            edges_.clear();
            reported_.reset();
        }
    }
    rxCv_.notify_all();
    edgeCv_.notify_all();
}

bool SimulatedSerialPort::DeviceVanished() const {
    std::lock_guard lock(mutex_);
    return vanished_;
}

bool SimulatedSerialPort::OnOpen(const kv::SerialSettings& /*settings*/) { return true; }
void SimulatedSerialPort::OnClose() {}
void SimulatedSerialPort::OnReceived(std::string_view /*bytes*/) {}
void SimulatedSerialPort::OnLinesChanged(bool /*rts*/, bool /*dtr*/) {}
void SimulatedSerialPort::OnPurge() {}

}  // namespace kvsim
