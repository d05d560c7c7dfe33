// The buffered, trigger-reporting serial port of the self-positioning focusers.
//
// The RoboFocus and Optec drivers do not poll their line: a reader thread owned
// by this object takes whatever arrives and hands it on in arrival order. Two
// kinds of notification come from that one thread:
//   - the received characters (every character, trigger characters included),
//   - a data trigger: a one-character string registered with AddDataTrigger,
//     reported right after the chunk that ends with it, so a driver always sees
//     the characters before a trigger before the trigger itself;
//   - the loss of the device: the serial port closed itself (the device hung
//     up or failed), once, after which the reader ends. Close never raises it.
// The port is created closed and opens only on Open. Close (and destruction)
// stops and joins the reader, so no callback runs once Close has returned,
// unless Close was called from inside a callback, in which case the reader is
// joined by the next Open or by the destructor.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/serial_port.h"

namespace kv {

class TBufferedPort {
public:
    using ReceiveFn = std::function<void(std::string_view chars)>;
    using TriggerFn = std::function<void(int handle)>;
    using LostFn = std::function<void()>;
    using FactoryFn = std::function<std::unique_ptr<ISerialPort>(const std::string& device)>;

    // How long one read waits before the reader re-checks its stop request.
    static constexpr std::chrono::milliseconds kReadSlice{100};

    TBufferedPort();
    ~TBufferedPort();
    TBufferedPort(const TBufferedPort&) = delete;
    TBufferedPort& operator=(const TBufferedPort&) = delete;

    // Takes effect on the next Open.
    void SetDevice(std::string device);
    std::string Device() const;
    void SetSettings(const SerialSettings& settings);
    void SetFactory(FactoryFn factory);

    // Set before Open; called on the reader thread.
    void SetOnReceive(ReceiveFn handler);
    void SetOnTrigger(TriggerFn handler);
    void SetOnLost(LostFn handler);

    // False when the device cannot be made or opened (the port stays closed).
    bool Open();
    // Why the last Open failed ("open: No such file or directory"); empty when it did not.
    std::string OpenError() const;
    void Close();
    bool IsOpen() const;

    // One case-sensitive character; returns a handle > 0.
    int AddDataTrigger(char c);
    // Unknown handles (0 included) are ignored.
    void RemoveDataTrigger(int handle);

    // False when closed, or when the device did not take every byte in time.
    bool WriteString(std::string_view text);
    bool WriteBlock(const void* data, std::size_t size);
    // Room in the output buffer; 0 when closed.
    std::size_t OutputFree() const;
    // Drops input that has arrived but was not yet delivered.
    void DiscardInput();

private:
    struct Trigger {
        int handle;
        char c;
    };

    void ReaderLoop(std::shared_ptr<ISerialPort> port);
    void Deliver(std::string_view chunk);
    void JoinReader();
    std::shared_ptr<ISerialPort> CurrentPort() const;

    mutable std::mutex mutex_;  // device, settings, factory, handlers, triggers, port pointer
    std::string device_;
    SerialSettings settings_;
    FactoryFn factory_;
    ReceiveFn onReceive_;
    TriggerFn onTrigger_;
    LostFn onLost_;
    std::vector<Trigger> triggers_;
    int nextHandle_ = 1;
    std::shared_ptr<ISerialPort> port_;
    std::string openError_;

    std::mutex writeMutex_;  // one write at a time, so frames never interleave
    std::mutex lifeMutex_;   // Open against Close
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> discard_{false};
};

}  // namespace kv
