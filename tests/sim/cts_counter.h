// Counts encoder edges on a port the way the focuser's counting thread does:
// a rising CTS counts -1 with DSR high and +1 with DSR low; with dualSense a
// falling CTS counts the other way round.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/serial_port.h"

namespace kvsim::testing {

class CtsCounter {
public:
    CtsCounter(kv::ISerialPort& port, bool dualSense)
        : port_(port), dualSense_(dualSense), thread_([this] { Run(); }) {}
    ~CtsCounter() { Stop(); }
    CtsCounter(const CtsCounter&) = delete;
    CtsCounter& operator=(const CtsCounter&) = delete;

    std::int64_t Count() const { return count_.load(); }
    std::int64_t Edges() const { return edges_.load(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run() {
        using namespace std::chrono_literals;
        while (!stop_) {
            const kv::SerialWait r = port_.WaitForCtsChange(20ms);
            if (r != kv::SerialWait::Changed) {
                if (r != kv::SerialWait::TimedOut) std::this_thread::sleep_for(5ms);
                continue;
            }
            const auto lines = port_.GetModemLines();
            if (!lines) continue;
            ++edges_;
            if (lines->cts) {
                count_ += lines->dsr ? -1 : +1;
            } else if (dualSense_) {
                count_ += lines->dsr ? +1 : -1;
            }
        }
    }

    kv::ISerialPort& port_;
    const bool dualSense_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> count_{0};
    std::atomic<std::int64_t> edges_{0};
    std::thread thread_;
};

}  // namespace kvsim::testing
