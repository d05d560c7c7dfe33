// COM port numbers to serial devices. The settings file may map a number to a
// device in its [Ports] section ("COM1=/dev/ttyUSB0", or "sim:hub" for a
// simulator); unmapped numbers follow the usual Linux naming, COMn -> /dev/ttyS<n-1>.
// The factory file never writes this section: it is for the user to add.
#pragma once

#include <optional>
#include <string>

#include "shell/ini_file.h"

namespace kv {

inline constexpr const char* kPortsSection = "Ports";
inline constexpr int kFirstComPort = 1;
inline constexpr int kLastComPort = 20;

// The device for COM`comNumber`; empty when the number is outside 1..20.
std::string PortDevice(const IniFile& ini, int comNumber);
// The same, reading the settings file at `settingsPath` (a missing file maps nothing).
std::string PortDeviceFromFile(const std::string& settingsPath, int comNumber);

// A focuser reached through a device server: "indi://host[:port]/device name".
struct IndiAddress {
    std::string host;
    int port = 7624;
    std::string device;
};
inline constexpr const char* kIndiScheme = "indi://";
// nullopt unless `device` has the scheme, a host and a device name; a missing
// port is 7624, a port outside 1..65535 or not a number refuses the address.
std::optional<IndiAddress> ParseIndiAddress(const std::string& device);

}  // namespace kv
