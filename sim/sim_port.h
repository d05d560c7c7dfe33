// The PC side of a simulated serial device.
//
// A simulated device is a SimulatedSerialPort subclass that plays the far end
// of the cable: it hears what the program writes and how it sets RTS and DTR
// (the On... hooks), and it answers with bytes and CTS/DSR changes (the
// Device... calls). The program sees exactly the behaviour of the POSIX port:
// bounded reads and waits, Close from any thread releasing them, NUL bytes
// dropped on request, and every CTS edge reported once.
//
// CTS edges are queued, because a device can produce them faster than a
// consumer thread wakes up. WaitForCtsChange hands them out one at a time, and
// GetModemLines, called after a Changed, returns the lines as they were at
// that edge, not as they are now; otherwise a rise followed quickly by a fall
// would be read as two falls.
//
// Hooks run on the caller's thread (any thread) without this object's lock,
// so a device may answer from inside them. Device... calls may come from any
// thread, also while the port is closed (they are then dropped). Hooks of one
// kind never overlap: writes reach the device in order, line changes too.
// A subclass must call Close() in its own destructor, so that OnClose still
// reaches it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_port.h"

namespace kvsim {

class SimulatedSerialPort : public kv::ISerialPort {
public:
    // Edges kept for a consumer that does not wait; older ones are dropped.
    static constexpr std::size_t kMaxQueuedEdges = 1u << 16;
    static constexpr std::size_t kNominalOutputBuffer = 4096;

    explicit SimulatedSerialPort(std::string device);
    ~SimulatedSerialPort() override;
    SimulatedSerialPort(const SimulatedSerialPort&) = delete;
    SimulatedSerialPort& operator=(const SimulatedSerialPort&) = delete;

    bool Open(const kv::SerialSettings& settings) override;
    void Close() override;
    bool IsOpen() const override;

    bool SetRts(bool on) override;
    bool SetDtr(bool on) override;
    std::optional<kv::ModemLines> GetModemLines() override;
    kv::SerialWait WaitForCtsChange(std::chrono::milliseconds timeout) override;

    void Purge() override;
    bool Write(std::string_view bytes, std::chrono::milliseconds timeout) override;
    std::string ReadExactly(std::size_t n, std::chrono::milliseconds timeout) override;
    std::size_t ReadSome(char* buffer, std::size_t max, std::chrono::milliseconds timeout) override;
    std::size_t OutputFree() const override;

    // The settings of the last successful Open.
    kv::SerialSettings Settings() const;
    // Edges dropped because nobody consumed them.
    std::size_t DroppedEdges() const;

    // --- the device's side ---
    // Bytes travelling to the program.
    void DeviceSend(std::string_view bytes);
    // Sets the device-driven lines. A CTS change is queued as an edge event
    // carrying the DSR level given with it; a DSR-only change is not an event.
    void DeviceSetLines(bool cts, bool dsr);
    // The device vanished (unplugged): every call fails as it would on a
    // device that is gone, Open included, until it comes back.
    void DeviceSetVanished(bool vanished);
    bool DeviceVanished() const;
    // A program too busy to run its line reader: while held, WaitForCtsChange
    // does not return (the edges queue up), as a thread that is not scheduled
    // reads nothing.
    void DeviceHoldReader(bool held);

protected:
    // Called by Open after the port state is reset (RTS and DTR low); false
    // refuses the open (for example, the device is already in use).
    virtual bool OnOpen(const kv::SerialSettings& settings);
    // Called once per Close of an open port, after waits have been released.
    virtual void OnClose();
    // Every successful Write, in order.
    virtual void OnReceived(std::string_view bytes);
    // RTS or DTR changed (only real changes are reported).
    virtual void OnLinesChanged(bool rts, bool dtr);
    // Purge was called.
    virtual void OnPurge();

private:
    struct Edge {
        bool cts;
        bool dsr;
    };

    bool UsableLocked() const { return open_ && !vanished_; }
    bool SetLine(bool rts, bool on);

    mutable std::mutex mutex_;
    std::condition_variable rxCv_;
    std::condition_variable edgeCv_;
    std::mutex writeMutex_;  // orders OnReceived calls
    std::mutex lineMutex_;   // orders OnLinesChanged calls
    kv::SerialSettings settings_;
    bool open_ = false;
    bool vanished_ = false;
    bool readerHeld_ = false;
    std::uint64_t generation_ = 0;  // bumped by Close so sleepers notice a close/reopen
    std::string rx_;
    bool rts_ = false;
    bool dtr_ = false;
    bool cts_ = false;
    bool dsr_ = false;
    std::deque<Edge> edges_;
    std::optional<Edge> reported_;  // the edge the consumer is looking at
    std::size_t dropped_ = 0;
};

}  // namespace kvsim
