// What the critical focus zone is made of here: the telescope's focal ratio
// and the focuser's step in µm. The user sets both on the Auto Focus page; a
// focuser catalogue entry may know its model's step ("StepSize"), and the
// user's own value wins over it. Both keys live in [AutoFocus] and, like the
// page's other values, are written only once the user changes them.
//
// A box at its lowest value (0) is "not set": an optics value that is absent,
// unreadable or not above 0 counts as not set, and the zone is then unknown.
#pragma once

#include <optional>
#include <string>

#include "shell/ini_file.h"

namespace kv {

inline constexpr const char* kFocusZoneSection = "AutoFocus";
inline constexpr const char* kFocalRatioKey = "FocalRatio";
inline constexpr const char* kStepSizeKey = "StepSize";  // µm; also the catalogue's key

// The boxes' ranges and places; 0 is "not set".
inline constexpr double kFocalRatioMax = 40.0;
inline constexpr int kFocalRatioDecimals = 1;
inline constexpr double kStepMicronsMax = 100.0;
inline constexpr int kStepMicronsDecimals = 3;  // fine focusers step 0.045 µm

struct FocusZoneOptics {
    std::optional<double> focalRatio;
    std::optional<double> stepMicrons;           // the user's own
    std::optional<double> catalogueStepMicrons;  // the chosen focuser model's

    std::optional<double> StepMicrons() const { return stepMicrons ? stepMicrons : catalogueStepMicrons; }
    std::optional<double> CfzMicrons() const;
    std::optional<double> CfzSteps() const;
};

// An optics value as its box shows it: nullopt for not set, else rounded to
// the box's places and brought under its maximum.
std::optional<double> FocalRatioValue(double value);
std::optional<double> StepMicronsValue(double value);

// The model's step from the focuser catalogue; nullopt when its section has
// none or an unusable one.
std::optional<double> CatalogueStepMicrons(const IniFile& catalogue, const std::string& model);

// The user's values from the settings file, with the catalogue's step for
// `model` beside them.
FocusZoneOptics ReadFocusZoneOptics(const IniFile& settings, const IniFile& catalogue, const std::string& model);

// The value as the file keeps it ("0" for not set), with a decimal point in
// any locale.
std::string FocusZoneFileValue(std::optional<double> value);

// The page's caption: "CFZ: 34 steps (107 µm)", or what is missing for it
// (two short lines at most in the page's narrow column).
std::string FocusZoneCaption(const FocusZoneOptics& optics);

// Steps as the results give them: one decimal below 10, whole above.
std::string StepsText(double steps);

// What an auto-focus result says of the zone, to follow its summary: the
// zone in steps and the answer's error in steps and in zones, as far as each
// is known; empty when neither is.
std::string FocusZoneResultText(std::optional<double> cfzSteps, std::optional<double> errorSteps);

}  // namespace kv
