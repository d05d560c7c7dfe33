#include "shell/port_map.h"

namespace kv {

std::string PortDevice(const IniFile& ini, int comNumber) {
    if (comNumber < kFirstComPort || comNumber > kLastComPort) return {};
    auto mapped = ini.Get(kPortsSection, "COM" + std::to_string(comNumber));
    if (mapped && !mapped->empty()) return *mapped;
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

std::string PortDeviceFromFile(const std::string& settingsPath, int comNumber) {
    return PortDevice(IniFile::Load(settingsPath), comNumber);
}

std::optional<IndiAddress> ParseIndiAddress(const std::string& device) {
    const std::string scheme = kIndiScheme;
    if (device.rfind(scheme, 0) != 0) return std::nullopt;
    const std::string rest = device.substr(scheme.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 >= rest.size()) return std::nullopt;
    IndiAddress address;
    address.device = rest.substr(slash + 1);
    std::string hostPort = rest.substr(0, slash);
    if (const auto colon = hostPort.rfind(':'); colon != std::string::npos) {
        const std::string digits = hostPort.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        address.port = std::stoi(digits);
        if (address.port < 1 || address.port > 65535) return std::nullopt;
        hostPort.resize(colon);
    }
    if (hostPort.empty()) return std::nullopt;
    address.host = hostPort;
    return address;
}

}  // namespace kv
