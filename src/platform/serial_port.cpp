#include "platform/serial_port.h"

#include <mutex>

#include "platform/posix_serial_port.h"

namespace kv {

namespace {

constexpr std::string_view kSimulatedPrefix = "sim:";

struct FactorySlot {
    std::mutex mutex;
    SimulatedPortFactory factory;
};

FactorySlot& Slot() {
    static FactorySlot slot;
    return slot;
}

}  // namespace

std::unique_ptr<ISerialPort> CreateSerialPort(const std::string& device) {
    if (device.compare(0, kSimulatedPrefix.size(), kSimulatedPrefix) == 0) {
        SimulatedPortFactory factory;
        {
            std::lock_guard lock(Slot().mutex);
            factory = Slot().factory;
        }
        // Called outside the lock: a factory may take its time or install another.
        if (!factory) return nullptr;
        return factory(device.substr(kSimulatedPrefix.size()));
    }
    return std::make_unique<PosixSerialPort>(device);
}

void SetSimulatedPortFactory(SimulatedPortFactory factory) {
    std::lock_guard lock(Slot().mutex);
    Slot().factory = std::move(factory);
}

}  // namespace kv
