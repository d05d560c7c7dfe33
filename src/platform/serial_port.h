// One serial-port interface for every focuser driver.
//
// Two kinds stand behind it: a real device opened through termios, and a
// simulated device from sim/ selected by a "sim:<name>" device path. Drivers
// never know which one they have.
//
// Every call that can block is bounded by the time-out it is given, and Close
// (from any thread) releases every pending wait and read at once, so a thread
// blocked on the port can always be stopped and joined.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>

namespace kv {

struct SerialSettings {
    int baud = 9600;         // 8 data bits, no parity, 1 stop bit, no flow control, raw
    bool discardNul = false; // drop received NUL bytes
};

struct ModemLines {
    bool cts = false;
    bool dsr = false;
};

enum class SerialWait { Changed, TimedOut, Closed, Failed };

class ISerialPort {
public:
    virtual ~ISerialPort() = default;

    const std::string& Device() const { return device_; }

    // False when the device cannot be opened (missing, busy, not a tty).
    // On success RTS and DTR are both low.
    virtual bool Open(const SerialSettings& settings) = 0;
    // Why the last Open failed, in the system's words; empty when it did not
    // fail or the port cannot tell.
    std::string OpenError() const {
        std::lock_guard lock(openErrorMutex_);
        return openError_;
    }
    // Idempotent; releases every pending wait and read with Closed / nothing.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // Modem lines. False / nullopt when the port is closed or the device refuses.
    virtual bool SetRts(bool on) = 0;
    virtual bool SetDtr(bool on) = 0;
    virtual std::optional<ModemLines> GetModemLines() = 0;
    // Waits until CTS changes (either edge); Changed also when DSR changed
    // together with it. Never misses an edge that happened after the previous
    // return, as long as the device reports it.
    virtual SerialWait WaitForCtsChange(std::chrono::milliseconds timeout) = 0;

    // Discards unread input and unsent output.
    virtual void Purge() = 0;
    // True only when every byte was handed to the device within the time-out.
    virtual bool Write(std::string_view bytes, std::chrono::milliseconds timeout) = 0;
    // Exactly n bytes, or an empty string when they did not all arrive in time.
    virtual std::string ReadExactly(std::size_t n, std::chrono::milliseconds timeout) = 0;
    // Whatever has arrived, at least one byte, up to `max`; 0 after the
    // time-out or when closed.
    virtual std::size_t ReadSome(char* buffer, std::size_t max, std::chrono::milliseconds timeout) = 0;
    // Room left in the output buffer, in bytes.
    virtual std::size_t OutputFree() const = 0;

    // CTS edges since Open that came faster than their DSR could be read on
    // their own, so their DSR was inferred from the edges around them. They
    // are still counted; a device that cannot tell says 0.
    virtual std::uint64_t UncertainCtsEdges() const { return 0; }

protected:
    explicit ISerialPort(std::string device) : device_(std::move(device)) {}
    void SetOpenError(std::string text) {
        std::lock_guard lock(openErrorMutex_);
        openError_ = std::move(text);
    }

private:
    std::string device_;
    mutable std::mutex openErrorMutex_;
    std::string openError_;
};

// A closed port for `device`: "sim:<name>" asks the simulated-device factory,
// anything else is a POSIX device path. Null for a "sim:" name nobody serves.
std::unique_ptr<ISerialPort> CreateSerialPort(const std::string& device);

// sim/ installs the factory for "sim:" devices (the part after the colon is
// passed on). Pass {} to remove it.
using SimulatedPortFactory = std::function<std::unique_ptr<ISerialPort>(const std::string& name)>;
void SetSimulatedPortFactory(SimulatedPortFactory factory);

inline constexpr std::chrono::milliseconds kSerialWriteTimeout{1000};
inline constexpr std::chrono::milliseconds kSerialReadTimeout{1000};

}  // namespace kv
