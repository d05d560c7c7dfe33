#include "driver_rules.h"

#include <filesystem>

#include "service/face_text.h"
#include "shell/focuser_catalogue.h"

namespace kv::indi {

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

std::string FaceText(const std::string& engineText, const std::string& device, std::int32_t position) {
    static const FaceWords kWords{
        "for a hub also check the model chosen in KV_HUB_MODEL.",
        "If the hub's motor is wired the other way round, switch FOCUS_REVERSE_MOTION on; if it is on, switch it off."};
    return kv::FaceText(engineText, device, position, kWords);
}

}  // namespace kv::indi
