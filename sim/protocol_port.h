// What every protocol simulator needs besides its device logic: the port a
// driver opens (bytes in go to the device, the device's bytes come out), and
// one device per name, kept while the program runs so a reopened port finds
// the focuser where it left it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/protocol_device.h"
#include "sim/sim_port.h"

namespace kvsim {

// The driver owns the port, the registry the device.
class ProtocolDevicePort final : public SimulatedSerialPort {
public:
    ProtocolDevicePort(std::string device, std::shared_ptr<ProtocolDevice> logic);
    ~ProtocolDevicePort() override;

protected:
    bool OnOpen(const kv::SerialSettings& settings) override;
    void OnClose() override;
    void OnReceived(std::string_view bytes) override;

private:
    std::shared_ptr<ProtocolDevice> logic_;
};

template <class Device>
class NamedDevices {
public:
    // The device for this name (without "sim:"), made on first use.
    std::shared_ptr<Device> For(const std::string& name) {
        std::lock_guard lock(mutex_);
        auto& d = devices_[name];
        if (!d) d = std::make_shared<Device>();
        return d;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Device>> devices_;
};

}  // namespace kvsim
