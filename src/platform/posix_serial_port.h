// A serial device opened through termios.
//
// Raw 8N1 at the given baud, no flow control of any kind, exclusive access,
// non-blocking descriptor; every blocking call is a poll() bounded by its
// time-out that also watches a wake-up descriptor, so Close from any thread
// releases it at once. The descriptor is only closed once no call is using it,
// so a late call never touches a closed or reused descriptor.
//
// CTS edges are found by polling the driver's modem-line counters
// (TIOCGICOUNT) every millisecond: unlike TIOCMIWAIT, a poll can be bounded
// and released by Close on every driver (TIOCMIWAIT holds the file open
// against close() and only returns on a line change), and the counters miss
// no edge however fast they come. Several edges found in one poll are handed
// out one by one, each with the CTS level it produced, which GetModemLines
// reports until the next WaitForCtsChange. Drivers without counters are
// polled for the CTS level instead, which can miss edges shorter than the poll.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/serial_port.h"

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
    };

    // How often an idle wait looks at the lines, and how often once edges come.
    static constexpr std::chrono::milliseconds kIdlePoll{5};
    static constexpr std::chrono::milliseconds kBusyPoll{1};
    static constexpr std::chrono::milliseconds kBusyFor{1000};
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

    // The open descriptor (-1 when closed), for tests that inspect the line
    // settings. Not for I/O.
    int NativeHandle() const;

private:
    class Use;  // keeps the descriptor alive for one call
    struct Edge {
        bool cts;
        bool dsr;
    };
    enum class Poll { Ready, TimedOut, Woken, Failed };

    void CloseLocked();
    static Poll WaitFor(int fd, int wakeFd, short events, std::chrono::steady_clock::time_point deadline);
    // Looks at the lines once; queues the edges found. False on failure.
    bool SampleLines(int fd);
    static std::size_t Read(const Use& use, char* buffer, std::size_t max,
                            std::chrono::steady_clock::time_point deadline);

    const std::shared_ptr<ModemIo> io_;

    std::mutex openMutex_;  // one Open or Close at a time
    mutable std::mutex mutex_;
    mutable std::condition_variable idle_;
    int fd_ = -1;
    int wakeFd_ = -1;
    bool closing_ = false;
    mutable int users_ = 0;
    SerialSettings settings_;

    std::timed_mutex readMutex_;
    std::timed_mutex writeMutex_;

    // CTS edge tracking (under linesMutex_).
    std::mutex linesMutex_;
    bool haveCounter_ = false;
    std::uint64_t lastCount_ = 0;
    bool lastCts_ = false;
    std::deque<Edge> edges_;
    std::optional<Edge> reported_;
    std::chrono::steady_clock::time_point lastEdgeAt_{};
};

}  // namespace kv
