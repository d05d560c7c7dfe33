// A serial device opened through termios.
//
// Raw 8N1 at the given baud, no flow control of any kind, exclusive access,
// non-blocking descriptor; every blocking call is a poll() bounded by its
// time-out that also watches a wake-up descriptor, so Close from any thread
// releases it at once. The descriptor is only closed once no call is using it,
// so a late call never touches a closed or reused descriptor.
//
// A device that hangs up (a USB adapter pulled, the far end of a
// pseudo-terminal closed) or fails a read closes the port as Close would,
// except that the descriptor itself is let go by the next Close or Open:
// every wait is released, IsOpen turns false and every later call answers as
// on a closed port, so whoever reads the port next learns it is gone.
//
// CTS edges: the driver's modem-line counter (TIOCGICOUNT) is the truth for
// how many edges happened, as it misses none. Their direction is the DSR
// level at each edge, so a watcher thread sleeps in TIOCMIWAIT, which wakes at
// each CTS change, and reads DSR at once. TIOCMIWAIT cannot be bounded and
// holds the file open against close(), so Close interrupts it with a signal
// whose handler does nothing and joins the watcher before closing the
// descriptor. Edges that came faster than the watcher woke are all counted;
// the one the DSR read belongs to gets it, the others get the DSR that edges
// of their kind (rising or falling) had when they were read one by one, and
// they are counted as uncertain, as are edges the watcher slept through
// (they came just before it went back to sleep), which a waiting consumer
// takes after two of its polls. Drivers without TIOCMIWAIT have their counter
// polled every millisecond (one DSR read per poll), and drivers without
// either have the CTS level polled, every 200 us while edges come, which
// misses pulses shorter than a poll.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/serial_port.h"
#include "platform/timed_mutex.h"
#include "platform/worker_thread.h"

namespace kv {

class PosixSerialPort final : public ISerialPort {
public:
    // The modem-line calls, separate so tests can stand in for a device with
    // real lines (pseudo-terminals have none). Must be thread-safe.
    class ModemIo {
    public:
        virtual ~ModemIo() = default;
        // TIOCM_* bits, or false.
        virtual bool Get(int fd, int& bits);
        // Raises (on) or drops the TIOCM_* lines in `bits`.
        virtual bool Set(int fd, int bits, bool on);
        // CTS changes counted by the driver since it opened; false when the
        // driver keeps no counters.
        virtual bool CtsCount(int fd, std::uint64_t& count);
        // Sleeps until CTS changes (TIOCMIWAIT). Interrupted when a signal
        // arrived instead; Unsupported when the driver cannot wait this way.
        enum class Wake { Changed, Interrupted, Unsupported };
        virtual Wake WaitCtsChange(int fd);
    };

    // How often a wait looks at the lines itself: kIdlePoll behind a watcher
    // (a safety net) or when the counter has been quiet for kBusyFor;
    // kBusyPoll while the counter shows edges, or for the CTS level when it
    // has been quiet; kLevelPoll for the level while edges come.
    static constexpr std::chrono::milliseconds kIdlePoll{5};
    static constexpr std::chrono::milliseconds kBusyPoll{1};
    static constexpr std::chrono::milliseconds kBusyFor{1000};
    static constexpr std::chrono::microseconds kLevelPoll{200};
    // How long Close keeps interrupting a watcher that does not return before
    // it abandons it (with the descriptor, which stays open until it returns).
    static constexpr int kWatcherReleaseMs = 2000;
    static constexpr std::size_t kNominalOutputBuffer = 4096;

    explicit PosixSerialPort(std::string device, std::shared_ptr<ModemIo> io = nullptr);
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    bool Open(const SerialSettings& settings) override;
    void Close() override;
    bool IsOpen() const override;

    bool SetRts(bool on) override;
    bool SetDtr(bool on) override;
    std::optional<ModemLines> GetModemLines() override;
    SerialWait WaitForCtsChange(std::chrono::milliseconds timeout) override;

    void Purge() override;
    bool Write(std::string_view bytes, std::chrono::milliseconds timeout) override;
    std::string ReadExactly(std::size_t n, std::chrono::milliseconds timeout) override;
    std::size_t ReadSome(char* buffer, std::size_t max, std::chrono::milliseconds timeout) override;
    std::size_t OutputFree() const override;
    std::uint64_t UncertainCtsEdges() const override;

    // The open descriptor (-1 when closed), for tests that inspect the line
    // settings. Not for I/O.
    int NativeHandle() const;

private:
    class Use;  // keeps the descriptor alive for one call
    struct Edges;  // CTS edge tracking, shared with the watcher thread
    enum class Poll { Ready, TimedOut, Woken, Failed };

    void CloseLocked();
    // Stops and joins the watcher; false when it had to be abandoned.
    bool StopWatcher();
    static Poll WaitFor(int fd, int wakeFd, short events, std::chrono::steady_clock::time_point deadline);
    std::size_t Read(const Use& use, char* buffer, std::size_t max,
                     std::chrono::steady_clock::time_point deadline) const;
    // The device hung up or failed: the port reads closed from now on.
    void HangUp(const Use& use) const;
    // Whether the device has hung up, without waiting.
    static bool HungUp(int fd);

    const std::shared_ptr<ModemIo> io_;

    std::mutex openMutex_;  // one Open or Close at a time
    mutable std::mutex mutex_;
    mutable std::condition_variable idle_;
    int fd_ = -1;
    int wakeFd_ = -1;
    bool closing_ = false;
    mutable bool hungUp_ = false;  // the device went away; Close still lets the descriptor go
    mutable int users_ = 0;
    SerialSettings settings_;

    TimedMutex readMutex_;
    TimedMutex writeMutex_;

    std::shared_ptr<Edges> edges_;  // set while open (written under openMutex_ and mutex_)
    std::unique_ptr<WorkerThread> watcher_;
};

}  // namespace kv
