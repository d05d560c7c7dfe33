#include "platform/serial_port_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <tuple>

namespace kv {
namespace {

namespace fs = std::filesystem;

// ttyS10 after ttyS9: by the number, not the text. The number is compared
// as digits (fewer digits first once leading zeros are gone), so a name in
// /dev/serial/by-id ending in a serial number of any length still sorts.
bool NaturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        const std::size_t digits = s.find_last_not_of("0123456789") + 1;
        std::string_view number(s.data() + digits, s.size() - digits);
        while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
        return std::tuple(std::string_view(s.data(), digits), number.size(), number);
    };
    const auto ka = split(a), kb = split(b);
    return ka != kb ? ka < kb : a < b;
}

std::vector<std::string> Names(const fs::path& folder, std::string_view prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (prefix.empty() || name.starts_with(prefix)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

// The kernel's port type of a built-in port; 0 (or unreadable) means no UART.
bool HasUart(const SerialRoots& roots, const std::string& name) {
    std::ifstream type(fs::path(roots.sysClassTty) / name / "type");
    int value = 0;
    return static_cast<bool>(type >> value) && value != 0;
}

}  // namespace

std::vector<SerialDevice> ListSerialDevices(const SerialRoots& roots) {
    std::vector<SerialDevice> list;
    std::set<std::string> covered;
    const fs::path byId = fs::path(roots.dev) / "serial" / "by-id";
    for (const std::string& name : Names(byId, "")) {
        std::error_code ec;
        const fs::path link = byId / name;
        const fs::path target = fs::weakly_canonical(link, ec);
        if (ec || !fs::exists(target, ec)) continue;  // an adapter unplugged since
        covered.insert(target.string());
        list.push_back({link.string(), name + " (" + target.filename().string() + ")"});
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const std::string& name : Names(roots.dev, prefix)) {
            const fs::path path = fs::path(roots.dev) / name;
            std::error_code ec;
            if (covered.count(fs::weakly_canonical(path, ec).string()) != 0) continue;
            list.push_back({path.string(), name + (name.starts_with("ttyUSB") ? " (USB serial adapter)" : " (USB modem-class device)")});
        }
    }
    for (const std::string& name : Names(roots.dev, "ttyS")) {
        if (!HasUart(roots, name)) continue;
        list.push_back({(fs::path(roots.dev) / name).string(), name + " (built-in serial port)"});
    }
    return list;
}

}  // namespace kv
