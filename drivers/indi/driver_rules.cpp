#include "driver_rules.h"

#include <cctype>
#include <filesystem>
#include <regex>
#include <string_view>
#include <utility>

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

namespace {

// Every match of `pattern` becomes `literal`: a device path may hold '$'.
std::string ReplaceAll(const std::string& text, const std::regex& pattern, const std::string& literal) {
    std::string out;
    auto last = text.cbegin();
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
        out.append(last, (*m)[0].first);
        out += literal;
        last = (*m)[0].second;
    }
    out.append(last, text.cend());
    return out;
}

}  // namespace

std::string FaceText(const std::string& engineText, const std::string& device, std::int32_t position) {
    // "COM1 (/dev/ttyUSB0)" or a bare "COM1".
    static const std::regex kPort(R"(\bCOM[0-9]+( \([^)]*\))?)");
    static const std::regex kCount(R"(stayed at position -?[0-9]+)");
    static const std::pair<std::string_view, std::string_view> kSettings[] = {
        {"for a hub focuser also check \"High Resolution Positioning\" against the encoder, and the motor timing "
         "settings.",
         "for a hub also check the model chosen in KV_HUB_MODEL."},
        {"If it is wired the other way round, tick \"Reverse Focuser Direction\"; if that is ticked, untick it.",
         "If the hub's motor is wired the other way round, switch FOCUS_REVERSE_MOTION on; if it is on, switch it "
         "off."},
    };
    std::string text = ReplaceAll(engineText, kPort, device);
    text = ReplaceAll(text, kCount, "stayed at position " + std::to_string(position));
    for (const auto& [desktop, face] : kSettings) {
        if (const auto at = text.find(desktop); at != std::string::npos) text.replace(at, desktop.size(), face);
    }
    return text;
}

}  // namespace kv::indi
