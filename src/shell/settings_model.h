// The settings model: one typed copy of every value that the settings pages
// show, and one table that says, for each key, where it lives in the settings
// file, which control shows it, and how that control bounds it.
//
// The desktop builds and binds its controls from the same table, so the rules
// for a key (range, step, rounding, choices, missing value) are stated once and
// the engine can apply them without a display: reading a file here yields
// exactly what the controls would show after reading it.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kv {

// Readings averaged per focus value: one range for the settings' default and
// the read-out panel's working value, so a stored value is the one in use.
inline constexpr int kFocusSamplesMin = 1, kFocusSamplesMax = 20;

struct Settings {
    // [Device/Ports]
    std::string camera = "None";   // camera name; resolved against the plug-in list by the desktop
    std::string focuser = "None";  // catalogue name; resolved against the catalogue by the desktop
    int cameraIO = 0;              // item indexes: -1 means nothing selected
    int comPort = 0;               // index into COM1..COM20 (file value minus one)
    int parPort = 0;               // index into LPT1..LPT3 (file value minus one)
    int commands = 1;

    // [CameraControl]
    double exposureTimeDefault = 0.5;
    double focusGain = 0.1;
    bool roiOn = false;
    int roiValue = 20;
    bool maskROI = false;
    int stretchImage = 0;
    int stretchFocus = 0;
    int whiteLevel = 100;
    int blackLevel = 1;

    // [FocusControl]
    double nudgeTime = 0.005;
    double closeNudgeTime = 0.005;
    double nudgeDelay = 0.025;
    double backLashValue = 0.0;
    int stopFactor = 10;
    bool reverseDirection = false;
    bool hiResPositioning = false;
    bool sbigInterlock = false;
    int nudgePriority = 0;
    int codesPerRev = 256;
    double travelPerRev = 0.2;

    // [TempControl]
    bool tcEnabled = false;
    int minCorrection = 1;
    bool ignoreMoveOn = false;
    int ignoreMove = 250;
    double tempCompRate = 5;  // a half-step control whose file value is a whole number
    double defaultCoefficient = 1.0;
    int tempReadingRate = 3;

    // [Misc]
    int cursorType = 0;
    int focusSamples = 1;
    bool smoothData = false;
    int initialStep = 0;
    int figureMerit = 0;
    bool comLogging = false;
    bool progLogging = false;
    bool noSplashScreen = false;
    int voice = 0;
    int interruptsLite = 0;  // read only

    // [Position]
    bool savePosition = false;
    int left = 0;    // main window, applied at start only when savePosition
    int top = 0;
    int tcLeft = 0;  // compensation window; read only
    int tcTop = 0;

    bool operator==(const Settings&) const = default;
};

// How a key is encoded in the file.
enum class SettingType {
    Text,          // stored as is
    Integer,       // decimal (or 0x hex) whole number
    Boolean,       // "1"/"0"; read as an integer, non-zero is true
    Float,         // general format, up to 15 significant digits
    Index,         // zero-based item index of a choice list
    IndexPlusOne,  // item index + 1
    WholeOfFloat,  // whole number in the file, half-step float control (rounded half to even on write)
};

using SettingField = std::variant<std::string Settings::*, int Settings::*, double Settings::*, bool Settings::*>;

struct SettingSpec {
    std::string_view section;
    std::string_view key;
    SettingType type;
    SettingField field;
    std::string_view control;   // object name of the bound control; empty when no control shows it
    std::string_view caption;   // check-box or group caption; empty when none
    // Spin range; hasRange false means the control is unbounded (BackLashValue).
    bool hasRange = false;
    double min = 0, max = 0, step = 1;
    int decimals = 0;
    std::vector<std::string_view> choices;  // for Index / IndexPlusOne keys with a fixed list
    double missing = 0;                     // numeric value when the key is absent, as the file holds it
                                            // (IndexPlusOne: index + 1)
    std::string_view missingText;           // Text keys: value when absent
    bool hidden = false;                    // control exists but is not shown
    bool disabled = false;
    bool written = true;                    // false: read only, never written by WriteSettings
};

// Every key of the settings file, in the order ReadSettings visits them.
const std::vector<SettingSpec>& SettingSpecs();
const SettingSpec* FindSettingSpec(std::string_view key);  // case-insensitive

// Brings a numeric value inside the key's control: nearest bound, whole-number
// controls rounded (half to even), fractional controls rounded to their
// decimals as the spin box shows them, choice indexes -1 when too small and the
// last entry when too large, booleans 0 or 1. `value` is in control terms (an
// item index, never index + 1). A value that is not a number gives the missing
// value, clamped.
double ClampToControl(const SettingSpec& setting, double value);

// The values of the Factory Defaults button: the factory column, except that no
// camera is selected, the focuser is "Default" and the voice is "None".
Settings FactoryDefaultsButtonValues();

}  // namespace kv
