#include "sim/protocol_port.h"

namespace kvsim {

ProtocolDevicePort::ProtocolDevicePort(std::string device, std::shared_ptr<ProtocolDevice> logic)
    : SimulatedSerialPort(std::move(device)), logic_(std::move(logic)) {}

ProtocolDevicePort::~ProtocolDevicePort() { Close(); }

bool ProtocolDevicePort::OnOpen(const kv::SerialSettings&) {
    logic_->Attach([this](std::string_view bytes) { DeviceSend(bytes); });
    return true;
}

void ProtocolDevicePort::OnClose() { logic_->Detach(); }

void ProtocolDevicePort::OnReceived(std::string_view bytes) { logic_->Feed(bytes); }

}  // namespace kvsim
