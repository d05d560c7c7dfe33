// The far end of a self-positioning focuser's cable, independent of how the
// bytes travel.
//
// A ProtocolDevice takes the bytes the program wrote (Feed) and answers
// through the send function it is attached to, so the same device logic
// serves an in-process SimulatedSerialPort and a pseudo-terminal. It moves the
// observatory's true focuser position one step at a time on its own thread, at
// a settable speed, and can be told to misbehave (ProtocolFault) so the
// drivers' handling of a bad line can be tested.
//
// Locking: one mutex covers the device state; the send function is called
// with it held and must not call back into the device (it only queues bytes).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>

namespace kvsim {

enum class ProtocolFault {
    None,
    Garbage,         // a few printable non-protocol characters before each reply
    RandomBursts,    // random bytes of any value before each reply
    CutReplies,      // every reply loses its last characters
    Duplicates,      // every reply is sent twice
    SilenceMidMove,  // halfway through a move the device stops and goes silent until the fault is cleared
};

class ProtocolDevice {
public:
    using SendFn = std::function<void(std::string_view bytes)>;

    ProtocolDevice();
    virtual ~ProtocolDevice();
    ProtocolDevice(const ProtocolDevice&) = delete;
    ProtocolDevice& operator=(const ProtocolDevice&) = delete;

    // Where the device's bytes go; Detach drops them until the next Attach.
    void Attach(SendFn send);
    void Detach();
    // Bytes from the program.
    void Feed(std::string_view bytes);

    void SetMicrosPerStep(int us);
    void SetFault(ProtocolFault fault);
    ProtocolFault Fault() const;
    bool Moving() const;
    // The absolute position the device reports, within its travel.
    std::int64_t Position() const;
    // Every byte received so far (for tests).
    std::string Received() const;
    void ClearReceived();

protected:
    // mutex_ held for all of these.
    virtual void OnBytes(std::string_view bytes) = 0;
    virtual void OnStep(bool outward) = 0;
    virtual void OnArrived() = 0;
    virtual std::int64_t Low() const = 0;
    virtual std::int64_t High() const = 0;

    // Starts moving toward `target` (clamped to the travel); OnArrived at once when already there.
    void StartMotion(std::int64_t target);
    void HaltMotion();
    bool MovingLocked() const { return moving_; }
    std::int64_t PositionLocked() const;
    // Bytes as they are (step characters, triggers).
    void Emit(std::string_view bytes);
    // A reply, subject to the fault in force.
    void Reply(const std::string& reply);
    // Subclasses call this first in their destructor.
    void StopThread();

    mutable std::mutex mutex_;

private:
    void MotionLoop();

    std::condition_variable cv_;
    SendFn send_;
    std::string received_;
    ProtocolFault fault_ = ProtocolFault::None;
    bool silent_ = false;
    bool moving_ = false;
    bool quit_ = false;
    std::int64_t target_ = 0;
    std::int64_t moveLength_ = 0;
    std::int64_t stepsDone_ = 0;
    int microsPerStep_ = 200;
    std::mt19937 rng_{12345};
    std::thread thread_;
};

// Serves one device over a file descriptor (the master side of a
// pseudo-terminal) on its own thread until Stop or destruction. The
// descriptor is not owned. A slave side that is closed and reopened is
// simply waited for.
class FdDeviceServer {
public:
    FdDeviceServer(int fd, ProtocolDevice& device);
    ~FdDeviceServer();
    FdDeviceServer(const FdDeviceServer&) = delete;
    FdDeviceServer& operator=(const FdDeviceServer&) = delete;
    void Stop();

private:
    void Loop();
    const int fd_;
    ProtocolDevice& device_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kvsim
