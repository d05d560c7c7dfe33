#include "service/position_store.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "service/focuser_service.h"
#include "shell/ini_file.h"

namespace kv {

namespace {

static_assert(kStoredPositionLimit == kServiceMaxPosition, "a kept position is one the service can move to");

// Larger files are not a state file this service wrote.
constexpr std::size_t kMaxStateBytes = 4096;

std::optional<std::int32_t> ParseInt(std::string_view text) {
    std::int32_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

}  // namespace

std::string FormatPositionState(const PositionState& state) {
    // Device and model are the user's own texts; a line break in them would
    // start a key of its own.
    auto oneLine = [](std::string text) {
        for (char& c : text)
            if (c == '\n' || c == '\r') c = ' ';
        return text;
    };
    return "position=" + std::to_string(state.position) + "\nclean=" + (state.clean ? "1" : "0") +
           "\ndevice=" + oneLine(state.device) + "\nmodel=" + oneLine(state.model) + "\n";
}

std::optional<PositionState> ParsePositionState(const std::string& text) {
    PositionState state;
    bool havePosition = false;
    bool haveClean = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string_view key(line.data(), eq);
        const std::string_view value(line.data() + eq + 1, line.size() - eq - 1);
        if (key == "position") {
            const auto p = ParseInt(value);
            if (!p || *p < -kStoredPositionLimit || *p > kStoredPositionLimit) return std::nullopt;
            state.position = *p;
            havePosition = true;
        } else if (key == "clean") {
            if (value != "0" && value != "1") return std::nullopt;
            state.clean = value == "1";
            haveClean = true;
        } else if (key == "device") {
            state.device = value;
        } else if (key == "model") {
            state.model = value;
        }
    }
    if (!havePosition || !haveClean) return std::nullopt;
    return state;
}

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

std::string FocuserStatePath(const std::string& device, const char* xdgStateHome, const char* home) {
    std::string base;
    if (xdgStateHome != nullptr && xdgStateHome[0] == '/') {
        base = xdgStateHome;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/state";
    } else {
        return {};
    }
    return base + "/kessivane/focuser-" + SanitisedDevice(device) + ".state";
}

std::optional<PositionState> PositionStore::Load(std::string* error) const {
    if (path_.empty()) return std::nullopt;
    std::ifstream file(path_, std::ios::binary);
    if (!file) {
        // There but not readable (its permissions, a folder of that name):
        // not the same as a focuser never counted here.
        std::error_code ec;
        if (error && std::filesystem::exists(path_, ec)) *error = "The focuser state file " + path_ + " cannot be read.";
        return std::nullopt;
    }
    std::string text(kMaxStateBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    auto state = text.size() > kMaxStateBytes ? std::nullopt : ParsePositionState(text);
    if (!state && error) *error = "The focuser state file " + path_ + " does not read as one this program wrote.";
    return state;
}

StoreResult PositionStore::Save(const PositionState& state) const {
    if (path_.empty()) return {};
    // The state folder of a new user does not exist yet; a failure to make
    // it shows in the write's own message.
    std::error_code ignored;
    const auto parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    const WriteResult written = WriteFileAtomically(path_, FormatPositionState(state), "focuser state file");
    if (written.ok) return {};
    return {false, written.message};
}

}  // namespace kv
