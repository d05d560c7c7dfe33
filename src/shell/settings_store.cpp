#include "shell/settings_store.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <variant>

namespace kv {

namespace {

// Order of the keys written by WriteSettings; keys new to a file are appended in
// this order, so a file written from scratch reads naturally.
constexpr std::string_view kWriteOrder[] = {
    "Camera", "Focuser", "CameraIO", "ComPort", "ParPort", "Commands",
    "ExposureTimeDefault", "FocusGain", "ROIOn", "ROIValue", "MaskROI", "StretchImage", "StretchFocus",
    "WhiteLevel", "BlackLevel",
    "NudgeTime", "CloseNudgeTime", "NudgeDelay", "BackLashValue", "StopFactor", "ReverseDirection",
    "HiResPositioning", "SBIGInterlock", "NudgePriority", "CodesPerRev", "TravelPerRev",
    "CursorType", "FocusSamples", "SmoothData", "InitialStep", "ComLogging", "ProgLogging", "NoSplashScreen",
    "Voice", "FigureMerit",
    "SavePosition",
    "Enabled", "MinCorrection", "IgnoreMoveOn", "IgnoreMove", "TempCompRate", "DefaultCoefficient",
    "TempReadingRate",
};

std::string BuildFactoryText() {
    static const char* const kLines[] = {
        "[Device/Ports]", "Camera=", "Focuser=Default", "CameraIO=1", "ComPort=1", "ParPort=1", "Commands=1", "",
        "[CameraControl]", "ExposureTimeDefault=1", "FocusGain=1.0", "ROIOn=1", "ROIValue=40", "MaskROI=1",
        "StretchImage=2", "StretchFocus=2", "WhiteLevel=40000", "BlackLevel=200", "",
        "[FocusControl]", "NudgeTime=0.015", "CloseNudgeTime=0.010", "NudgeDelay=0.150", "BackLashValue=0.010",
        "StopFactor=12", "ReverseDirection=0", "HiResPositioning=0", "SBIGInterlock=0", "CodesPerRev=512",
        "TravelPerRev=0.58", "NudgePriority=0", "",
        "[TempControl]", "Enabled=0", "MinCorrection=1", "IgnoreMoveOn=0", "IgnoreMove=250", "TempCompRate=5",
        "DefaultCoefficient=1", "TempReadingRate=3", "",
        "[Misc]", "CursorType=0", "FocusSamples=5", "SmoothData=1", "InitialStep=4", "FigureMerit=0",
        "ComLogging=0", "ProgLogging=1", "NoSplashScreen=0", "Voice=0", "",
        "[Position]", "SavePosition=1",
    };
    std::string text;
    for (const char* line : kLines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void Store(Settings& s, const SettingField& field, double value) {
    std::visit(
        [&s, value](auto member) {
            using M = std::remove_reference_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<M, int>) {
                s.*member = static_cast<int>(value);
            } else if constexpr (std::is_same_v<M, bool>) {
                s.*member = value != 0;
            } else if constexpr (std::is_same_v<M, double>) {
                s.*member = value;
            }
        },
        field);
}

double Fetch(const Settings& s, const SettingField& field) {
    return std::visit(
        [&s](auto member) -> double {
            using M = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<M, std::string>) {
                return 0;
            } else {
                return static_cast<double>(s.*member);
            }
        },
        field);
}

std::string FileText(const SettingSpec& setting, const Settings& s) {
    if (setting.type == SettingType::Text) {
        if (auto member = std::get_if<std::string Settings::*>(&setting.field)) return s.**member;
        return {};
    }
    double value = Fetch(s, setting.field);
    switch (setting.type) {
        case SettingType::Float:
            return FormatIniFloat(value);
        case SettingType::Boolean:
            return value != 0 ? "1" : "0";
        case SettingType::IndexPlusOne:
            return std::to_string(static_cast<std::int64_t>(value) + 1);
        case SettingType::WholeOfFloat: {
            // The file holds whole numbers only; a half step is rounded to the even neighbour.
            if (!std::isfinite(value)) value = setting.missing;
            double whole = std::nearbyint(std::fmin(std::fmax(value, double{INT_MIN}), double{INT_MAX}));
            return std::to_string(static_cast<std::int64_t>(whole));
        }
        default:
            return std::to_string(static_cast<std::int64_t>(value));
    }
}

// Loads the file that is about to be updated. A file that exists but cannot be
// read, or is too large to be kept whole, is refused rather than replaced by a
// copy that would lose its contents.
bool LoadForUpdate(const std::string& path, IniFile& ini, WriteResult& failure) {
    ini = IniFile::Load(path);
    if (!ini.Loaded() && ini.Exists()) {
        failure = {false, ini.LoadError()};
        return false;
    }
    if (ini.Truncated()) {
        failure = {false, "Could not write the settings file " + path +
                              ": the file is too large to be updated safely"};
        return false;
    }
    return true;
}

}  // namespace

const std::string& FactorySettingsText() {
    static const std::string text = BuildFactoryText();
    return text;
}

namespace {

// The raw text a key would have in the factory file; nullopt for keys the
// factory file leaves out (window positions, the interrupt lamp).
std::optional<std::string> FactoryRaw(const SettingSpec& setting) {
    static const IniFile factory = IniFile::Parse(FactorySettingsText());
    return factory.Get(setting.section, setting.key);
}

// The value a key takes from its raw text, in control terms; nullopt when the
// text is no value of the key's type.
std::optional<double> Interpret(const SettingSpec& setting, const std::string& raw) {
    if (setting.type == SettingType::Float) {
        if (auto v = ParseIniFloat(raw)) return *v;
        return std::nullopt;
    }
    auto n = ParseIniInteger(raw);
    if (!n) return std::nullopt;
    bool fitsInt = *n >= INT_MIN && *n <= INT_MAX;
    // A whole number too large for the field is as unreadable as text;
    // bounded controls clamp it instead.
    if (!fitsInt && !setting.hasRange && setting.type == SettingType::Integer) return std::nullopt;
    double value = static_cast<double>(*n);
    return setting.type == SettingType::IndexPlusOne ? value - 1 : value;
}

// Reads one key. A value that cannot be read takes the factory value, not the
// missing one, whose bottom-of-range numbers would quietly change how the
// program works; so does an absent key when `absentIsLost` (a damaged file may
// have lost it). False when the key was there but could not be read.
bool ReadOne(const IniFile& ini, std::string_view section, const SettingSpec& setting, Settings& s,
             bool absentIsLost) {
    std::optional<std::string> raw = ini.Get(section, setting.key);
    const bool useFactory = raw ? false : absentIsLost;
    if (setting.type == SettingType::Text) {
        if (auto member = std::get_if<std::string Settings::*>(&setting.field)) {
            if (raw) {
                s.**member = *raw;
            } else if (auto factory = FactoryRaw(setting); useFactory && factory) {
                s.**member = *factory;
            } else {
                s.**member = std::string(setting.missingText);
            }
        }
        return true;
    }
    std::optional<double> value;
    if (raw) value = Interpret(setting, *raw);
    const bool unreadable = raw && !value;
    if (!value && (unreadable || useFactory)) {
        if (auto factory = FactoryRaw(setting)) value = Interpret(setting, *factory);
    }
    if (!value) value = setting.type == SettingType::IndexPlusOne ? setting.missing - 1 : setting.missing;
    Store(s, setting.field, ClampToControl(setting, *value));
    return !unreadable;
}

}  // namespace

void ReadSetting(const IniFile& ini, std::string_view section, const SettingSpec& setting, Settings& s) {
    ReadOne(ini, section, setting, s, false);
}

SettingsReading ReadSettingsReporting(const IniFile& ini) {
    SettingsReading reading;
    reading.unreadableLines = ini.UnreadableLines();
    const bool damaged = !reading.unreadableLines.empty();
    Settings& s = reading.settings;
    for (const SettingSpec& setting : SettingSpecs()) {
        bool windowEdge = setting.section == "Position" && (setting.key == "Left" || setting.key == "Top");
        if (windowEdge && !s.savePosition) continue;
        if (!ReadOne(ini, setting.section, setting, s, damaged)) {
            reading.unreadableLines.push_back(ini.LineOf(setting.section, setting.key));
        }
    }
    if (const auto allow = ini.Get("Misc", kAllowOtherProgramsKey); allow && !ParseIniBool(*allow)) {
        reading.unreadableLines.push_back(ini.LineOf("Misc", kAllowOtherProgramsKey));
    }
    std::sort(reading.unreadableLines.begin(), reading.unreadableLines.end());
    reading.unreadableLines.erase(std::unique(reading.unreadableLines.begin(), reading.unreadableLines.end()),
                                  reading.unreadableLines.end());
    return reading;
}

Settings ReadSettings(const IniFile& ini) { return ReadSettingsReporting(ini).settings; }

std::string UnreadableSettingsText(const std::string& path, const std::vector<std::size_t>& lines) {
    if (lines.empty()) return {};
    std::string where = "line " + std::to_string(lines.front());
    if (lines.size() > 1) where = "lines " + std::to_string(lines.front());
    constexpr std::size_t kNamed = 5;
    for (std::size_t i = 1; i < lines.size() && i < kNamed; ++i) {
        where += (i + 1 == lines.size() ? " and " : ", ") + std::to_string(lines[i]);
    }
    if (lines.size() > kNamed) where += " and " + std::to_string(lines.size() - kNamed) + " more";
    return "The settings file " + path + " could not be read at " + where +
           ". The settings there have their factory values; check them on the Settings pages and press Save "
           "Settings to write a whole file.";
}

Settings ReadSettings(const std::string& path) { return ReadSettings(IniFile::Load(path)); }

void WriteSettings(IniFile& ini, const Settings& s) {
    for (std::string_view key : kWriteOrder) {
        const SettingSpec* setting = FindSettingSpec(key);
        if (setting == nullptr || !setting->written) continue;
        ini.Set(setting->section, setting->key, FileText(*setting, s));
    }
}

WriteResult WriteSettings(const std::string& path, const Settings& s) {
    IniFile ini;
    WriteResult failure;
    if (!LoadForUpdate(path, ini, failure)) return failure;
    WriteSettings(ini, s);
    return ini.Save(path);
}

WriteResult WriteFactorySettings(const std::string& path) {
    return WriteFileAtomically(path, FactorySettingsText());
}

WriteResult SaveWindowPosition(const std::string& path, int left, int top) {
    IniFile ini;
    WriteResult failure;
    if (!LoadForUpdate(path, ini, failure)) return failure;
    ini.SetInteger("Position", "Left", left);
    ini.SetInteger("Position", "Top", top);
    return ini.Save(path);
}

bool ReadStoreAfterAutoFocus(const IniFile& ini) {
    return ini.GetBool("TempControl", kStoreAfterAutoFocusKey, false);
}

bool ReadAllowOtherPrograms(const IniFile& ini) {
    const auto text = ini.Get("Misc", kAllowOtherProgramsKey);
    if (!text) return true;
    // Permission fails closed: a value that does not read is off (and is
    // reported with the other unreadable lines).
    return ParseIniBool(*text).value_or(false);
}

WriteResult SaveAllowOtherPrograms(const std::string& path, bool on) {
    IniFile ini;
    WriteResult failure;
    if (!LoadForUpdate(path, ini, failure)) return failure;
    ini.SetBool("Misc", kAllowOtherProgramsKey, on);
    return ini.Save(path);
}

bool ReadLogResultsOnly(const IniFile& ini) {
    const std::string view = ini.GetString("Misc", kProgramLogViewKey, "Everything");
    return view.size() == 7 && std::equal(view.begin(), view.end(), "results", [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

WriteResult SaveLogResultsOnly(const std::string& path, bool resultsOnly) {
    return SaveSettingValue(path, "Misc", kProgramLogViewKey, resultsOnly ? "Results" : "Everything");
}

WriteResult SaveStoreAfterAutoFocus(const std::string& path, bool on) {
    IniFile ini;
    WriteResult failure;
    if (!LoadForUpdate(path, ini, failure)) return failure;
    ini.SetBool("TempControl", kStoreAfterAutoFocusKey, on);
    return ini.Save(path);
}

WriteResult SaveSettingValue(const std::string& path, std::string_view section, std::string_view key,
                             std::string_view value) {
    IniFile ini;
    WriteResult failure;
    if (!LoadForUpdate(path, ini, failure)) return failure;
    ini.Set(section, key, value);
    return ini.Save(path);
}

}  // namespace kv
