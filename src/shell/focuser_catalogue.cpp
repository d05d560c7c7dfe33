#include "shell/focuser_catalogue.h"

#include <algorithm>

#include "shell/settings_store.h"

namespace kv {

namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool Contains(const std::string& haystack, std::string_view word) {
    return haystack.find(word) != std::string::npos;
}

}  // namespace

std::vector<std::string> CatalogueModelNames(const IniFile& catalogue) {
    std::vector<std::string> names = catalogue.Keys(kCatalogueModelsSection);  // already without repeats
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        std::string ua = Upper(a);
        std::string ub = Upper(b);
        return ua != ub ? ua < ub : a < b;
    });
    return names;
}

std::vector<std::string> CatalogueModelNames(const std::string& path) {
    return CatalogueModelNames(IniFile::Load(path));
}

void ApplyCatalogueModel(const IniFile& catalogue, const std::string& name, Settings& s) {
    for (std::string_view key : kCatalogueKeys) {
        if (const SettingSpec* setting = FindSettingSpec(key)) ReadSetting(catalogue, name, *setting, s);
    }
}

void ApplyCatalogueModel(const std::string& path, const std::string& name, Settings& s) {
    ApplyCatalogueModel(IniFile::Load(path), name, s);
}

bool FocuserParametersGroupVisible(const std::string& name, bool current) {
    const std::string upper = Upper(name);
    bool visible = current;
    if (Contains(upper, "JMI") || Contains(upper, "DEFAULT") || Contains(upper, "MEADE")) visible = true;
    if (Contains(upper, "ROBO") || Contains(upper, "VANSLYKE")) visible = false;
    if (Contains(upper, "OPTEC")) visible = false;
    return visible;
}

FocuserKind FocuserKindFromName(const std::string& name) {
    struct Word {
        std::string_view text;
        FocuserKind kind;
    };
    static constexpr Word kWords[] = {
        {"JMI", FocuserKind::JMI},         {"MEADE", FocuserKind::JMI},          {"DEFAULT", FocuserKind::JMI},
        {"ROBO", FocuserKind::RoboFocus}, {"VANSLYKE", FocuserKind::RoboFocus}, {"OPTEC", FocuserKind::Optec},
    };
    const std::string upper = Upper(name);
    // A focuser behind a server may carry any maker's name ("INDI Optec TCF-S").
    if (Contains(upper, "INDI")) return FocuserKind::Indi;
    for (const Word& w : kWords) {
        if (Contains(upper, w.text)) return w.kind;
    }
    return FocuserKind::Unknown;
}

}  // namespace kv
