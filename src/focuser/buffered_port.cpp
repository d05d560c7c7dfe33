#include "focuser/buffered_port.h"

#include <chrono>
#include <exception>

namespace kv {

TBufferedPort::TBufferedPort() : factory_(CreateSerialPort) {}

TBufferedPort::~TBufferedPort() {
    Close();
    JoinReader();
}

void TBufferedPort::SetDevice(std::string device) {
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

std::string TBufferedPort::Device() const {
    std::lock_guard lock(mutex_);
    return device_;
}

void TBufferedPort::SetSettings(const SerialSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

void TBufferedPort::SetFactory(FactoryFn factory) {
    std::lock_guard lock(mutex_);
    factory_ = factory ? std::move(factory) : FactoryFn(CreateSerialPort);
}

void TBufferedPort::SetOnReceive(ReceiveFn handler) {
    std::lock_guard lock(mutex_);
    onReceive_ = std::move(handler);
}

void TBufferedPort::SetOnTrigger(TriggerFn handler) {
    std::lock_guard lock(mutex_);
    onTrigger_ = std::move(handler);
}

void TBufferedPort::SetOnLost(LostFn handler) {
    std::lock_guard lock(mutex_);
    onLost_ = std::move(handler);
}

std::shared_ptr<ISerialPort> TBufferedPort::CurrentPort() const {
    std::lock_guard lock(mutex_);
    return port_;
}

bool TBufferedPort::Open() {
    std::lock_guard life(lifeMutex_);
    if (CurrentPort()) return true;
    JoinReader();  // a reader left behind by a Close from inside a callback
    std::string device;
    SerialSettings settings;
    FactoryFn factory;
    {
        std::lock_guard lock(mutex_);
        device = device_;
        settings = settings_;
        factory = factory_;
    }
    std::shared_ptr<ISerialPort> port;
    auto refuse = [this](std::string why) {
        std::lock_guard lock(mutex_);
        openError_ = std::move(why);
        return false;
    };
    try {
        if (device.empty() || !factory) return refuse("no device");
        port = factory(device);
        if (!port) return refuse("no such device");
        if (!port->Open(settings)) return refuse(port->OpenError());
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
    refuse({});
    {
        std::lock_guard lock(mutex_);
        port_ = port;
    }
    stop_.store(false);
    discard_.store(false);
    reader_ = std::thread([this, port] { ReaderLoop(port); });
    return true;
}

void TBufferedPort::Close() {
    std::lock_guard life(lifeMutex_);
    std::shared_ptr<ISerialPort> port;
    {
        std::lock_guard lock(mutex_);
        port.swap(port_);
    }
    stop_.store(true);
    if (port) port->Close();  // releases the reader's pending read
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

void TBufferedPort::JoinReader() {
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

std::string TBufferedPort::OpenError() const {
    std::lock_guard lock(mutex_);
    return openError_;
}

bool TBufferedPort::IsOpen() const {
    const auto port = CurrentPort();
    return port && port->IsOpen();
}

int TBufferedPort::AddDataTrigger(char c) {
    std::lock_guard lock(mutex_);
    const int handle = nextHandle_++;
    triggers_.push_back({handle, c});
    return handle;
}

void TBufferedPort::RemoveDataTrigger(int handle) {
    std::lock_guard lock(mutex_);
    std::erase_if(triggers_, [handle](const Trigger& t) { return t.handle == handle; });
}

bool TBufferedPort::WriteString(std::string_view text) { return WriteBlock(text.data(), text.size()); }

bool TBufferedPort::WriteBlock(const void* data, std::size_t size) {
    const auto port = CurrentPort();
    if (!port) return false;
    std::lock_guard lock(writeMutex_);
    return port->Write(std::string_view(static_cast<const char*>(data), size), kSerialWriteTimeout);
}

std::size_t TBufferedPort::OutputFree() const {
    const auto port = CurrentPort();
    return port ? port->OutputFree() : 0;
}

void TBufferedPort::DiscardInput() {
    discard_.store(true);
    if (const auto port = CurrentPort()) port->Purge();
}

void TBufferedPort::ReaderLoop(std::shared_ptr<ISerialPort> port) {
    char buffer[256];
    while (!stop_.load()) {
        const auto asked = std::chrono::steady_clock::now();
        const std::size_t n = port->ReadSome(buffer, sizeof buffer, kReadSlice);
        if (n == 0) {
            if (!port->IsOpen()) {
                // Close stops the reader before it closes the port: anything
                // else that closed it was the device going away.
                LostFn onLost;
                {
                    std::lock_guard lock(mutex_);
                    onLost = onLost_;
                }
                if (!stop_.load() && onLost) onLost();
                return;
            }
            // A device that has gone away fails every read at once: do not spin on it.
            if (std::chrono::steady_clock::now() - asked < kReadSlice / 10) {
                std::this_thread::sleep_for(kReadSlice / 10);
            }
            continue;
        }
        if (discard_.exchange(false) || stop_.load()) continue;
        Deliver(std::string_view(buffer, n));
    }
}

void TBufferedPort::Deliver(std::string_view chunk) {
    ReceiveFn onReceive;
    TriggerFn onTrigger;
    std::vector<Trigger> triggers;
    {
        std::lock_guard lock(mutex_);
        onReceive = onReceive_;
        onTrigger = onTrigger_;
        triggers = triggers_;
    }
    std::size_t from = 0;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        int handle = 0;
        for (const auto& t : triggers) {
            if (t.c == chunk[i]) {
                handle = t.handle;
                break;
            }
        }
        if (handle == 0) continue;
        if (onReceive) onReceive(chunk.substr(from, i + 1 - from));
        from = i + 1;
        if (onTrigger) onTrigger(handle);
        if (stop_.load()) return;
    }
    if (from < chunk.size() && onReceive) onReceive(chunk.substr(from));
}

}  // namespace kv
