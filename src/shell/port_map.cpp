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

}  // namespace kv
