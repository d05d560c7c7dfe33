// The serial devices this machine has, for the user to choose from instead of
// typing device paths into the settings file.
//
// Listed: the stable names under /dev/serial/by-id/ (they survive re-plugging
// and name the adapter), then every USB serial adapter (/dev/ttyUSB*) and
// modem-class device (/dev/ttyACM*) that no stable name already covers, then
// the built-in ports (/dev/ttyS*) that have hardware behind them: the kernel
// makes ttyS0..ttyS31 whether or not a UART is there, and marks a missing one
// with port type 0 in sysfs.
#pragma once

#include <string>
#include <vector>

namespace kv {

struct SerialDevice {
    std::string path;         // what goes into [Ports]: COMn=<path>
    std::string description;  // what the list shows beside it
    bool operator==(const SerialDevice&) const = default;
};

// Where to look; tests point these at folders of their own.
struct SerialRoots {
    std::string dev = "/dev";
    std::string sysClassTty = "/sys/class/tty";
};

std::vector<SerialDevice> ListSerialDevices(const SerialRoots& roots = {});

}  // namespace kv
