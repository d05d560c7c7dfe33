// Arbitrary bytes as a settings file or a focuser catalogue: nothing may crash,
// every value read must sit inside its control, a written file must read back
// as written, and keys the program does not own must survive a write.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "shell/focuser_catalogue.h"
#include "shell/ini_file.h"
#include "shell/port_map.h"
#include "shell/settings_model.h"
#include "shell/settings_store.h"

namespace {

using namespace kv;

[[noreturn]] void Fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void Require(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) Fail(what, detail);
}

double Value(const Settings& s, const SettingField& field) {
    return std::visit(
        [&s](auto member) -> double {
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(s.*member)>, std::string>) {
                return 0;
            } else {
                return static_cast<double>(s.*member);
            }
        },
        field);
}

// Every numeric value is one its control can show.
void CheckInsideControls(const Settings& s) {
    for (const SettingSpec& setting : SettingSpecs()) {
        if (setting.type == SettingType::Text) continue;
        double v = Value(s, setting.field);
        Require(std::isfinite(v), "value is finite", setting.key);
        if (setting.hasRange) Require(v >= setting.min && v <= setting.max, "value inside range", setting.key);
        if (!setting.choices.empty()) {
            Require(v >= -1 && v < static_cast<double>(setting.choices.size()), "index inside list", setting.key);
        }
        Require(ClampToControl(setting, v) == v, "clamping is idempotent", setting.key);
    }
}

// Two files that must read the same: every section and key of `a` is in `b` with the same value.
void CheckSameContent(const IniFile& a, const IniFile& b, const char* what) {
    Require(a.Sections() == b.Sections(), what, "sections");
    for (const std::string& section : a.Sections()) {
        Require(a.Keys(section) == b.Keys(section), what, section);
        for (const std::string& key : a.Keys(section)) Require(a.Get(section, key) == b.Get(section, key), what, key);
    }
}

bool OwnedBySettings(std::string_view section, std::string_view key) {
    const SettingSpec* setting = FindSettingSpec(key);
    if (setting == nullptr || !setting->written) return false;
    if (setting->section.size() != section.size()) return false;
    for (std::size_t i = 0; i < section.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(section[i])) !=
            std::tolower(static_cast<unsigned char>(setting->section[i]))) {
            return false;
        }
    }
    return true;
}

void CheckCatalogue(const IniFile& catalogue) {
    std::vector<std::string> names = CatalogueModelNames(catalogue);
    for (std::size_t i = 1; i < names.size(); ++i) {
        std::string a = names[i - 1];
        std::string b = names[i];
        for (char& c : a) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : b) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        Require(a < b, "catalogue names sorted and distinct", names[i]);
    }
    std::size_t tried = 0;
    for (const std::string& name : names) {
        if (++tried > 8) break;
        Settings s;
        ApplyCatalogueModel(catalogue, name, s);
        CheckInsideControls(s);
        if (FocuserKindFromName(name) == FocuserKind::Unknown) {
            Require(FocuserParametersGroupVisible(name, true) && !FocuserParametersGroupVisible(name, false),
                    "a name of no kind leaves the group alone", name);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    IniFile ini = IniFile::Parse(text);

    // Text() is stable and loses nothing.
    const std::string first = ini.Text();
    IniFile reparsed = IniFile::Parse(first);
    CheckSameContent(ini, reparsed, "re-parse keeps content");
    Require(reparsed.Text() == first, "Text() is a fixed point");

    // Reading clamps; writing then reading again settles at once.
    Settings s = ReadSettings(ini);
    CheckInsideControls(s);
    IniFile written = ini;
    WriteSettings(written, s);
    IniFile writtenAgain = IniFile::Parse(written.Text());
    CheckSameContent(written, writtenAgain, "written file re-parses the same");
    for (const SettingSpec& setting : SettingSpecs()) {
        if (!setting.written) continue;
        auto v = writtenAgain.Get(setting.section, setting.key);
        Require(v.has_value(), "written key present", setting.key);
        if (setting.type == SettingType::Float) Require(ParseIniFloat(*v).has_value(), "written float readable", *v);
        if (setting.type != SettingType::Float && setting.type != SettingType::Text) {
            Require(ParseIniInteger(*v).has_value(), "written integer readable", *v);
        }
    }
    // What was written reads back as it was; only text loses line breaks, and a
    // backlash beyond 15 significant digits keeps just those.
    Settings s2 = ReadSettings(writtenAgain);
    Settings expected = s;
    for (std::string* field : {&expected.camera, &expected.focuser}) {
        for (char& c : *field) {
            if (c == '\r' || c == '\n') c = ' ';
        }
        *field = IniFile::Parse("[s]\nk=" + *field).GetString("s", "k", "");
    }
    if (std::fabs(s.backLashValue) >= 1e12) {
        Require(std::fabs(s2.backLashValue - s.backLashValue) <= std::fabs(s.backLashValue) * 1e-14, "backlash kept");
        expected.backLashValue = s2.backLashValue;
    }
    Require(s2 == expected, "settings read back as written");

    // Keys the settings do not own keep their values.
    for (const std::string& section : ini.Sections()) {
        for (const std::string& key : ini.Keys(section)) {
            if (OwnedBySettings(section, key)) continue;
            Require(ini.Get(section, key) == writtenAgain.Get(section, key), "foreign key kept", key);
        }
    }

    // Arbitrary names and values through Set: accepted ones read back, refused ones change nothing.
    const std::size_t cut1 = size / 3;
    const std::size_t cut2 = 2 * size / 3;
    const std::string section(text.substr(0, cut1 > 40 ? 40 : cut1));
    const std::string key(text.substr(cut1, (cut2 - cut1) > 40 ? 40 : cut2 - cut1));
    const std::string value(text.substr(cut2));
    IniFile edited = ini;
    const std::string before = edited.Text();
    if (edited.Set(section, key, value)) {
        std::string flat = value;
        for (char& c : flat) {
            if (c == '\r' || c == '\n') c = ' ';
        }
        IniFile back = IniFile::Parse(edited.Text());
        auto got = back.Get(section, key);
        Require(got.has_value(), "set key present", key);
        auto expectedTrimmed = IniFile::Parse("[s]\nk=" + flat).Get("s", "k");
        Require(got == expectedTrimmed, "set value reads back", *got);
    } else {
        Require(edited.Text() == before, "refused Set changes nothing");
    }

    CheckCatalogue(ini);
    for (int com = kFirstComPort; com <= kLastComPort; ++com) Require(!PortDevice(ini, com).empty(), "port device");
    (void)FocuserKindFromName(std::string(text));
    return 0;
}
