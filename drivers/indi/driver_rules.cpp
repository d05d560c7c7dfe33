#include "driver_rules.h"

#include <cctype>
#include <filesystem>

#include "shell/focuser_catalogue.h"

namespace kv::indi {

std::string SanitisedDevice(const std::string& device) {
    std::string out;
    for (const char c : device) {
        const bool keep = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
        if (keep) {
            out += c;
        } else if (!out.empty() && out.back() != '_') {
            out += '_';
        }
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    // "." and ".." would name a folder, not a file part.
    if (out.empty() || out.find_first_not_of('.') == std::string::npos) out = "device" + out;
    return out;
}

std::string StateFilePath(const std::string& device, const char* xdgStateHome, const char* home) {
    std::string base;
    if (xdgStateHome != nullptr && xdgStateHome[0] == '/') {
        base = xdgStateHome;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/state";
    } else {
        return {};
    }
    return base + "/kessivane/indi-" + SanitisedDevice(device) + ".state";
}

std::string FindCatalogue(const std::string& programDir) {
    std::error_code ec;
    if (!programDir.empty()) {
        const std::string beside = programDir + "/Focusers.ini";
        if (std::filesystem::is_regular_file(beside, ec)) return beside;
    }
    if (std::filesystem::is_regular_file(kInstalledCatalogue, ec)) return kInstalledCatalogue;
    return {};
}

std::vector<std::string> HubModels(const std::string& cataloguePath) {
    std::vector<std::string> models;
    if (!cataloguePath.empty()) {
        for (const std::string& name : CatalogueModelNames(cataloguePath)) {
            if (FocuserKindFromName(name) == FocuserKind::JMI) models.push_back(name);
        }
    }
    if (models.empty()) models.emplace_back("Default");
    return models;
}

EndState StateForEnd(MoveEnd end) {
    switch (end) {
        case MoveEnd::Arrived: return EndState::Ok;
        case MoveEnd::Halted: return EndState::Idle;
        case MoveEnd::Replaced: return EndState::Unchanged;
        case MoveEnd::Stalled:
        case MoveEnd::Lost:
        case MoveEnd::TimedOut: return EndState::Alert;
    }
    return EndState::Alert;
}

bool IsSimulatedDevice(const std::string& device) { return device.rfind("sim:", 0) == 0; }

}  // namespace kv::indi
