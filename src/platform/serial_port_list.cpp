#include "platform/serial_port_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>

namespace kv {
namespace {

namespace fs = std::filesystem;

// ttyS10 after ttyS9: by the number, not the text.
bool NaturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        const std::size_t digits = s.find_last_not_of("0123456789") + 1;
        return std::pair(s.substr(0, digits), digits < s.size() ? std::stol(s.substr(digits)) : -1L);
    };
    return split(a) < split(b);
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
