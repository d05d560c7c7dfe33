#include "shell/settings_model.h"

#include <charconv>
#include <climits>
#include <cmath>

#include "shell/ini_file.h"
#include "shell/settings_store.h"

namespace kv {

namespace {

using T = SettingType;

SettingSpec Make(std::string_view section, std::string_view key, SettingType type, SettingField field,
                 std::string_view control = {}) {
    SettingSpec setting;
    setting.section = section;
    setting.key = key;
    setting.type = type;
    setting.field = field;
    setting.control = control;
    return setting;
}

SettingSpec Check(std::string_view section, std::string_view key, bool Settings::*field, std::string_view control,
                  std::string_view caption) {
    SettingSpec setting = Make(section, key, T::Boolean, field, control);
    setting.caption = caption;
    return setting;
}

SettingSpec Range(SettingSpec setting, double min, double max, double step, int decimals, double missing, bool hidden) {
    setting.hasRange = true;
    setting.min = min;
    setting.max = max;
    setting.step = step;
    setting.decimals = decimals;
    setting.missing = missing;
    setting.hidden = hidden;
    return setting;
}

SettingSpec Spin(std::string_view section, std::string_view key, int Settings::*field, std::string_view control,
                 double min, double max, double step, double missing, bool hidden = false) {
    return Range(Make(section, key, T::Integer, field, control), min, max, step, 0, missing, hidden);
}

SettingSpec FloatSpin(std::string_view section, std::string_view key, double Settings::*field,
                      std::string_view control, double min, double max, double step, int decimals, double missing,
                      bool hidden = false) {
    return Range(Make(section, key, T::Float, field, control), min, max, step, decimals, missing, hidden);
}

SettingSpec Choice(std::string_view section, std::string_view key, int Settings::*field, std::string_view control,
                   std::vector<std::string_view> choices, double missing, SettingType type = T::Index) {
    SettingSpec setting = Make(section, key, type, field, control);
    setting.choices = std::move(choices);
    setting.missing = missing;
    return setting;
}

SettingSpec Text(std::string_view section, std::string_view key, std::string Settings::*field,
                 std::string_view control, std::string_view missing) {
    SettingSpec setting = Make(section, key, T::Text, field, control);
    setting.missingText = missing;
    return setting;
}

// Keys that no settings control shows: window positions and the interrupt lamp.
SettingSpec Plain(std::string_view section, std::string_view key, int Settings::*field) {
    SettingSpec setting = Make(section, key, T::Integer, field);
    setting.written = false;
    return setting;
}

std::vector<std::string_view> ComPortNames() {
    static const char* const kNames[] = {"COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",
                                         "COM8",  "COM9",  "COM10", "COM11", "COM12", "COM13", "COM14",
                                         "COM15", "COM16", "COM17", "COM18", "COM19", "COM20"};
    return {std::begin(kNames), std::end(kNames)};
}

std::vector<SettingSpec> BuildSpecs() {
    const std::string_view dev = "Device/Ports";
    const std::string_view cam = "CameraControl";
    const std::string_view foc = "FocusControl";
    const std::string_view tmp = "TempControl";
    const std::string_view misc = "Misc";
    const std::string_view pos = "Position";
    const std::vector<std::string_view> stretch = {"None", "Manual", "Auto"};

    std::vector<SettingSpec> v;
    // The window position comes first so the window can move before the rest fills in.
    v.push_back(Check(pos, "SavePosition", &Settings::savePosition, "SavePosCB", "Save Position on Shutdown"));
    v.push_back(Plain(pos, "Left", &Settings::left));
    v.push_back(Plain(pos, "Top", &Settings::top));

    v.push_back(Text(dev, "Camera", &Settings::camera, "CameraComboBox", "None"));
    v.push_back(Text(dev, "Focuser", &Settings::focuser, "FocuserComboBox", "None"));
    {
        SettingSpec io = Choice(dev, "CameraIO", &Settings::cameraIO, "CameraIORG",
                                {"Parallel", "Fast Parallel", "USB", "SCSI"}, 0);
        io.hidden = true;
        io.disabled = true;
        v.push_back(std::move(io));
    }
    v.push_back(Choice(dev, "ComPort", &Settings::comPort, "ComPortRG", ComPortNames(), 1, T::IndexPlusOne));
    v.push_back(Choice(dev, "ParPort", &Settings::parPort, "ParPortRG", {"LPT1 (378)", "LPT2 (278)", "LPT3 (3BC)"},
                       1, T::IndexPlusOne));
    v.push_back(Choice(dev, "Commands", &Settings::commands, "CommandRG", {"LX-200 Commands", "Direct to Focuser"}, 1));

    v.push_back(FloatSpin(cam, "ExposureTimeDefault", &Settings::exposureTimeDefault, "ExposureTimeDefaultSE", 0.5,
                          8.0, 0.1, 1, 0));
    v.push_back(FloatSpin(cam, "FocusGain", &Settings::focusGain, "DefaultGainSE", 0.1, 4.0, 0.1, 1, 0));
    v.push_back(Check(cam, "ROIOn", &Settings::roiOn, "ROIOnCB", "ROI On"));
    v.push_back(Spin(cam, "ROIValue", &Settings::roiValue, "ROIValueSE", 20, 75, 1, 0));
    v.push_back(Check(cam, "MaskROI", &Settings::maskROI, "MaskROICB", "Mask ROI"));
    v.push_back(Choice(cam, "StretchImage", &Settings::stretchImage, "ImageStretchDefaultRG", stretch, 0));
    v.push_back(Choice(cam, "StretchFocus", &Settings::stretchFocus, "FocusStretchDefaultRG", stretch, 0));
    v.push_back(Spin(cam, "WhiteLevel", &Settings::whiteLevel, "WhiteLevelSE", 100, 65535, 100, 0));
    v.push_back(Spin(cam, "BlackLevel", &Settings::blackLevel, "BlackLevelSE", 1, 10000, 100, 0));

    v.push_back(FloatSpin(foc, "NudgeTime", &Settings::nudgeTime, "NudgeTimeSE", 0.005, 0.1, 0.001, 3, 0));
    v.push_back(FloatSpin(foc, "CloseNudgeTime", &Settings::closeNudgeTime, "CloseNudgeTimeSE", 0.005, 0.1, 0.001, 3, 0));
    v.push_back(FloatSpin(foc, "NudgeDelay", &Settings::nudgeDelay, "NudgeDelaySE", 0.025, 0.3, 0.005, 3, 0));
    {
        // No range: the spin box takes any value, only its step and places are set.
        SettingSpec backlash = Make(foc, "BackLashValue", T::Float, &Settings::backLashValue, "BackLashSE");
        backlash.step = 0.001;
        backlash.decimals = 3;
        backlash.hidden = true;
        backlash.disabled = true;
        v.push_back(std::move(backlash));
    }
    v.push_back(Spin(foc, "StopFactor", &Settings::stopFactor, "StopFactorSE", 10, 50, 1, 0));
    v.push_back(Check(foc, "ReverseDirection", &Settings::reverseDirection, "ReverseDirCB", "Reverse Focuser Direction"));
    v.push_back(Check(foc, "HiResPositioning", &Settings::hiResPositioning, "DualSenseCB", "High Resolution Positioning"));
    v.push_back(Check(foc, "SBIGInterlock", &Settings::sbigInterlock, "SBIGInterlockCB", "Continous Focus Interlock"));
    v.push_back(Choice(foc, "NudgePriority", &Settings::nudgePriority, "PriorityRG", {"Normal", "High", "Time Critical"}, 0));
    v.push_back(Spin(foc, "CodesPerRev", &Settings::codesPerRev, "CodesPerRevSE", 256, 1024, 1, 0, true));
    v.push_back(FloatSpin(foc, "TravelPerRev", &Settings::travelPerRev, "TravelPerRevSE", 0.2, 1.0, 0.001, 3, 0, true));

    v.push_back(Choice(misc, "CursorType", &Settings::cursorType, "CursorTypeRG", {"Target", "CrossHair"}, 0));
    v.push_back(Spin(misc, "FocusSamples", &Settings::focusSamples, "FocusSamplesSE", kFocusSamplesMin, kFocusSamplesMax, 1, 0));
    v.push_back(Check(misc, "SmoothData", &Settings::smoothData, "SmoothDataCB", "Smooth Data"));
    v.push_back(Choice(misc, "InitialStep", &Settings::initialStep, "DefaultInitialStepRG",
                       {"10", "25", "50", "75", "100", "150", "200", "250", "500", "750"}, 0));
    v.push_back(Choice(misc, "FigureMerit", &Settings::figureMerit, "FMKind",
                       {"FWHM", "xFWHM", "yFWHM", "Peak", "Half Flux Diameter"}, 0));
    v.push_back(Check(misc, "ComLogging", &Settings::comLogging, "ComLogCB", "Log"));
    v.push_back(Check(misc, "ProgLogging", &Settings::progLogging, "ProgLogCB", "Log"));
    v.push_back(Check(misc, "NoSplashScreen", &Settings::noSplashScreen, "NoSplashScreen", "No Splash Screen"));
    v.push_back(Choice(misc, "Voice", &Settings::voice, "VoiceRG", {"Female Voice", "Male Voice", "None"}, 0));
    {
        // Not a setting the user makes: the lamp and its label appear when it is non-zero.
        SettingSpec lite = Plain(misc, "InterruptsLite", &Settings::interruptsLite);
        lite.control = "IntLite";
        lite.caption = "Hardware Interrupts State";
        v.push_back(std::move(lite));
    }

    v.push_back(Plain(pos, "TCLeft", &Settings::tcLeft));
    v.push_back(Plain(pos, "TCTop", &Settings::tcTop));

    v.push_back(Check(tmp, "Enabled", &Settings::tcEnabled, "TCEnableCB", "Enable Temperature Compensation"));
    v.push_back(Spin(tmp, "MinCorrection", &Settings::minCorrection, "MinCorrectSE", 1, 100, 1, 1));
    v.push_back(Check(tmp, "IgnoreMoveOn", &Settings::ignoreMoveOn, "IgnoreCB", "Ignore Move >"));
    v.push_back(Spin(tmp, "IgnoreMove", &Settings::ignoreMove, "IgnoreSE", 1, 1000, 1, 250));
    v.push_back(Range(Make(tmp, "TempCompRate", T::WholeOfFloat, &Settings::tempCompRate, "CompRateSE"), 0.5, 30,
                      0.5, 1, 5, false));
    v.push_back(FloatSpin(tmp, "DefaultCoefficient", &Settings::defaultCoefficient, "DefCoefSE", -100, 100, 0.1, 2, 1));
    v.push_back(Spin(tmp, "TempReadingRate", &Settings::tempReadingRate, "TempUpdateSE", 1, 30, 1, 3));
    return v;
}

bool SameKey(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The value a spin box with `decimals` places holds after being given `value`:
// the shortest text with that many places, read back.
double RoundToDecimals(double value, int decimals) {
    if (std::fabs(value) >= 1e15) return value;  // no fraction left to round
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return value;
    double rounded = value;
    std::from_chars(buf, end, rounded);
    return rounded == 0 ? 0.0 : rounded;  // no "-0" in the file
}

}  // namespace

const std::vector<SettingSpec>& SettingSpecs() {
    static const std::vector<SettingSpec> specs = BuildSpecs();
    return specs;
}

const SettingSpec* FindSettingSpec(std::string_view key) {
    for (const SettingSpec& setting : SettingSpecs()) {
        if (SameKey(setting.key, key)) return &setting;
    }
    return nullptr;
}

double ClampToControl(const SettingSpec& setting, double value) {
    if (std::isnan(value)) {
        double missing = setting.type == SettingType::IndexPlusOne ? setting.missing - 1 : setting.missing;
        return std::isnan(missing) ? 0 : ClampToControl(setting, missing);
    }
    switch (setting.type) {
        case SettingType::Text:
            return value;
        case SettingType::Boolean:
            return value != 0 ? 1 : 0;
        case SettingType::Index:
        case SettingType::IndexPlusOne: {
            double rounded = std::nearbyint(value);
            if (setting.choices.empty()) return rounded < -1 ? -1 : std::fmin(rounded, INT_MAX);
            if (rounded < 0) return -1;
            double last = static_cast<double>(setting.choices.size() - 1);
            return rounded > last ? last : rounded;
        }
        case SettingType::Integer: {
            double rounded = std::nearbyint(value);
            if (setting.hasRange) return std::fmin(std::fmax(rounded, setting.min), setting.max);
            return std::fmin(std::fmax(rounded, static_cast<double>(INT_MIN)), static_cast<double>(INT_MAX));
        }
        case SettingType::Float:
        case SettingType::WholeOfFloat: {
            if (setting.hasRange) {
                value = std::fmin(std::fmax(value, setting.min), setting.max);
            } else if (!std::isfinite(value)) {
                return ClampToControl(setting, setting.missing);
            }
            double rounded = RoundToDecimals(value, setting.decimals);
            // Rounding to the shown places must not step outside the range.
            if (setting.hasRange) rounded = std::fmin(std::fmax(rounded, setting.min), setting.max);
            return rounded;
        }
    }
    return value;
}

Settings FactoryDefaultsButtonValues() {
    Settings s = ReadSettings(IniFile::Parse(FactorySettingsText()));
    s.camera.clear();
    s.focuser = "Default";
    s.voice = 2;  // "None"
    s.left = 1;
    s.top = 1;
    return s;
}

}  // namespace kv
