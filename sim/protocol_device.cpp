#include "sim/protocol_device.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "sim/observatory.h"

namespace kvsim {

ProtocolDevice::ProtocolDevice() : thread_([this] { MotionLoop(); }) {}

ProtocolDevice::~ProtocolDevice() { StopThread(); }

void ProtocolDevice::StopThread() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        send_ = nullptr;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ProtocolDevice::Attach(SendFn send) {
    std::lock_guard lock(mutex_);
    send_ = std::move(send);
}

void ProtocolDevice::Detach() {
    std::lock_guard lock(mutex_);
    send_ = nullptr;
}

void ProtocolDevice::Feed(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    received_.append(bytes);
    if (silent_) return;
    OnBytes(bytes);
}

void ProtocolDevice::SetMicrosPerStep(int us) {
    std::lock_guard lock(mutex_);
    microsPerStep_ = std::max(us, 0);
}

void ProtocolDevice::SetFault(ProtocolFault fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
    if (fault == ProtocolFault::None) silent_ = false;
}

ProtocolFault ProtocolDevice::Fault() const {
    std::lock_guard lock(mutex_);
    return fault_;
}

bool ProtocolDevice::Moving() const {
    std::lock_guard lock(mutex_);
    return moving_;
}

std::int64_t ProtocolDevice::Position() const {
    std::lock_guard lock(mutex_);
    return PositionLocked();
}

std::string ProtocolDevice::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void ProtocolDevice::ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

std::int64_t ProtocolDevice::PositionLocked() const {
    return std::clamp(Observatory::Instance().DrivePosition(), Low(), High());
}

void ProtocolDevice::StartMotion(std::int64_t target) {
    target = std::clamp(target, Low(), High());
    // A position left outside the travel by another driver snaps back first.
    Observatory::Instance().SetDrivePosition(PositionLocked());
    if (target == PositionLocked()) {
        moving_ = false;
        OnArrived();
        return;
    }
    target_ = target;
    moveLength_ = std::abs(target - PositionLocked());
    stepsDone_ = 0;
    moving_ = true;
    cv_.notify_all();
}

void ProtocolDevice::HaltMotion() { moving_ = false; }

void ProtocolDevice::Emit(std::string_view bytes) {
    if (send_ && !silent_ && !bytes.empty()) send_(bytes);
}

void ProtocolDevice::Reply(const std::string& reply) {
    switch (fault_) {
    case ProtocolFault::Garbage: {
        static constexpr std::string_view kJunk = "#$%&?@^_xyz~kqw";
        std::string junk;
        const int n = 1 + static_cast<int>(rng_() % 5);
        for (int i = 0; i < n; ++i) junk += kJunk[rng_() % kJunk.size()];
        Emit(junk);
        Emit(reply);
        return;
    }
    case ProtocolFault::RandomBursts: {
        std::string burst;
        const int n = 1 + static_cast<int>(rng_() % 20);
        for (int i = 0; i < n; ++i) burst += static_cast<char>(rng_() % 256);
        Emit(burst);
        Emit(reply);
        return;
    }
    case ProtocolFault::CutReplies: {
        const std::size_t cut = 1 + rng_() % 3;
        Emit(reply.substr(0, reply.size() > cut ? reply.size() - cut : 0));
        return;
    }
    case ProtocolFault::Duplicates:
        Emit(reply);
        Emit(reply);
        return;
    default:
        Emit(reply);
        return;
    }
}

void ProtocolDevice::MotionLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return quit_ || moving_; });
        if (quit_) return;
        const int us = microsPerStep_;
        if (us > 0) {
            cv_.wait_for(lock, std::chrono::microseconds(us), [this] { return quit_; });
            if (quit_) return;
        }
        if (!moving_ || silent_) {
            moving_ = false;
            continue;
        }
        if (fault_ == ProtocolFault::SilenceMidMove && stepsDone_ * 2 >= moveLength_) {
            silent_ = true;
            moving_ = false;
            continue;
        }
        const std::int64_t pos = PositionLocked();
        const bool outward = target_ > pos;
        Observatory::Instance().SetDrivePosition(pos + (outward ? 1 : -1));
        ++stepsDone_;
        OnStep(outward);
        if (PositionLocked() == target_) {
            moving_ = false;
            OnArrived();
        }
    }
}

// ---------------------------------------------------------------- FdDeviceServer

FdDeviceServer::FdDeviceServer(int fd, ProtocolDevice& device) : fd_(fd), device_(device) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    device_.Attach([this](std::string_view bytes) {
        // Non-blocking: with nobody reading the slave side, bytes are dropped
        // as a device talking to an unplugged cable loses them.
        std::size_t done = 0;
        for (int tries = 0; done < bytes.size() && tries < 50; ++tries) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else {
                ::usleep(1000);
            }
        }
    });
    thread_ = std::thread([this] { Loop(); });
}

FdDeviceServer::~FdDeviceServer() { Stop(); }

void FdDeviceServer::Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    device_.Detach();
}

void FdDeviceServer::Loop() {
    char buffer[512];
    while (!stop_.load()) {
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (r <= 0) continue;
        if ((p.revents & POLLIN) != 0) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                device_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
                continue;
            }
        }
        // The slave side is closed (EIO / hang-up): wait for it to come back.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace kvsim
